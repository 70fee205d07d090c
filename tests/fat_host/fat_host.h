// A real FAT file system under a test's card folder: a small image made with
// the system's mkfs tools and served at the folder by a FUSE driver (FAT32 by
// fusefat, exFAT by mount.exfat-fuse over a loop device), as a user's card
// served by such a driver is. The test uses the folder as the card; taking
// the host down checks the image with the system's fsck, read-only, so a test
// can require that the FAT file system itself stayed clean.
//
// Which host a test run uses comes from QUILLANE_TEST_CARD_HOST ("fat32" or
// "exfat"); unset or empty, tests keep their card on the build disk. Used by
// the mount, command-line and crash tests' fixtures; not part of any program.
#pragma once

#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

namespace quillane::test {

enum class FatKind { kFat32, kExfat };

// The host QUILLANE_TEST_CARD_HOST asks for; nullopt when it names none.
// An unknown name sets `error`.
std::optional<FatKind> CardHostFromEnvironment(std::string* error);

class FatHost {
public:
    // Makes a fresh image `image` (96 MiB for FAT32, 64 MiB for exFAT) and
    // serves it at `folder`, an existing empty folder. On failure returns
    // null with `why`; `unavailable` tells that this machine cannot serve one
    // at all (no /dev/fuse, no loop device, a missing tool, mounting not
    // permitted), so the test should skip rather than fail.
    static std::unique_ptr<FatHost> Serve(FatKind kind, const std::string& image, const std::string& folder,
                                          std::string* why, bool* unavailable);

    // Takes the host down if TakeDownAndCheck has not (lazily if it must).
    ~FatHost();
    FatHost(const FatHost&) = delete;
    FatHost& operator=(const FatHost&) = delete;

    // Unmounts the folder, waits for the driver to have written everything
    // and ended, and checks the image with `fsck -n`. Returns an empty
    // string when it is clean, else what went wrong with fsck's report.
    std::string TakeDownAndCheck();

    FatKind Kind() const { return kind_; }
    const std::string& Folder() const { return folder_; }

private:
    FatHost(FatKind kind, std::string image, std::string folder) : kind_(kind), image_(std::move(image)),
                                                                   folder_(std::move(folder)) {}
    std::string Unmount();

    FatKind kind_;
    std::string image_;
    std::string folder_;
    std::string loop_device_;  // exFAT only
    pid_t driver_ = -1;
    bool served_ = false;
};

}  // namespace quillane::test
