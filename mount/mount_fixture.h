// A real mount for the mount's tests: a fresh card folder and mount point on
// the real disk (under the build tree), a registry store of its own, and the
// mount driver (RunMount, with the real storage manager loading the real
// Quillane.so) serving the folder in the foreground as a child process.
// Tests work through the mount point with ordinary system calls and tools,
// and look at the card folder behind the mount's back with the codec.
//
// With QUILLANE_TEST_CARD_HOST set, the card folder is a real FAT file
// system (tests/fat_host), checked with fsck after each test.
//
// Where /dev/fuse is missing or mounting is not permitted, tests are
// skipped with a message saying so. Teardown always unmounts (lazily if it
// must) and reaps the driver; no wait is unbounded.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fat_host/fat_host.h"

namespace quillane::mount_test {

using Bytes = std::string;

// Bytes that zlib compresses well but not trivially (text-like), and bytes
// that it cannot compress.
Bytes CompressibleBytes(size_t size, unsigned seed);
Bytes RandomBytes(size_t size, unsigned seed);

// A host file's whole content, or nullopt when it cannot be read.
std::optional<Bytes> ReadFile(const std::string& path);
// Writes `bytes` as the whole of a host file (through the mount or not);
// returns the errno of the first failing call, 0 on success.
int WriteFile(const std::string& path, const Bytes& bytes);

// The compressed format, as the card holds it.
bool HasSignature(const Bytes& bytes);
// The plain data of a compressed file's bytes; nullopt when they are not a
// sound compressed file.
std::optional<Bytes> Decode(const Bytes& compressed);

// `text` as one word for bash.
std::string ShellQuote(const std::string& text);

// Runs `command` with bash, bounded by `timeout`, from the folder `folder`
// (when given); returns its exit status and, when `output` is given, its
// standard output.
int Shell(const std::string& command, std::string* output = nullptr, int timeout_seconds = 120);

class MountTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Paths through the mount and behind it.
    std::string Mounted(std::string_view name) const { return mount_point_ + "/" + std::string(name); }
    std::string OnCard(std::string_view name) const { return card_ + "/" + std::string(name); }
    const std::string& mount_point() const { return mount_point_; }
    const std::string& card() const { return card_; }
    const std::string& scratch() const { return scratch_; }

    // The card file's plain content: decoded when it is compressed.
    std::optional<Bytes> CardContent(std::string_view name) const;
    bool IsCompressedOnCard(std::string_view name) const;
    // Names at the card root other than the ones a test made: expansion,
    // staging or hidden files left behind.
    std::vector<std::string> CardRootNames() const;
    // The card root's names once they are `expected`, or as they are after a
    // bounded wait. The kernel sends a file's release after close(2) has
    // returned, and an unlinked file's hidden copy goes only then.
    std::vector<std::string> CardRootNamesOnceSettled(const std::vector<std::string>& expected) const;

    // Stores the exempt list as the settings program does.
    void SetExceptions(std::u16string_view text);

    // Starts the driver and waits until the mount is there (SetUp does it).
    void Mount();
    // Ends the mount as a user would (fusermount3 -u, lazily if it must) and
    // waits for the driver to end; returns its exit status, -1 if it had to
    // be killed.
    int Unmount();
    // Ends the mount with a signal to the driver; returns its exit status.
    int StopWithSignal(int signal_number);
    bool IsMounted() const;
    // The log of the mount driver's output.
    std::string DriverLog() const;

    // What the next Mount() serves, when not the card folder, and the
    // options it gives the driver before the folders.
    std::string served_card_;
    std::vector<std::string> driver_options_;

private:
    int WaitForDriver();

    std::string root_;
    std::string card_;
    std::string mount_point_;
    std::string scratch_;
    std::string registry_;
    std::string driver_log_;
    pid_t driver_ = -1;
    // The card's FAT file system when QUILLANE_TEST_CARD_HOST asks for one.
    std::unique_ptr<test::FatHost> fat_host_;
};

}  // namespace quillane::mount_test
