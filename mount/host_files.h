// What the card's host folder holds behind a name, read past the platform
// for the two things its file API has no call for: how much room a file
// takes on the card (st_blocks, for du) and, for a compressed file that is
// not open, the size of its plain data, summed from its block headers
// without decoding anything. Names are looked up as the FAT layer looks
// them up (without regard to case, never leaving the folder).
//
// Plain sizes are remembered by the host file's identity, modification time
// and size, so a file that changes on the card underneath the mount (or is
// replaced by a close's recompression) is scanned afresh. Nothing here
// writes to the card.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "platform/fat/name_index.h"
#include "platform/fat/names.h"
#include "platform/fat/unique_fd.h"

namespace quillane::mount {

struct HostFile {
    struct stat status {};     // the host's lstat of the file or folder
    std::uint64_t plain_size = 0;  // regular files: the size programs see
    bool compressed = false;       // the file begins with the signature
};

class HostFiles {
public:
    explicit HostFiles(platform::fat::UniqueFd root) : root_(std::move(root)) {}

    // Describes the object at `volume_path` ("\dir\name"; "" for the root).
    // Returns 0, ENOENT when nothing has that name, or another errno.
    int Describe(std::u16string_view volume_path, HostFile& file);

    // The host's status alone, without looking at a file's content.
    int Status(std::u16string_view volume_path, struct stat& status) const;

    // Opens the regular file at `volume_path` for reading, read-only on the
    // host, and describes what `fd` holds. EISDIR for a folder.
    int Open(std::u16string_view volume_path, platform::fat::UniqueFd& fd, HostFile& file);

private:
    struct Identity {
        dev_t device;
        ino_t inode;
        bool operator==(const Identity&) const = default;
    };
    struct IdentityHash {
        size_t operator()(const Identity& id) const noexcept { return std::hash<ino_t>()(id.inode) ^ id.device; }
    };
    struct Remembered {
        timespec modified;
        off_t size;
        std::uint64_t plain_size;
        bool compressed;
    };

    int OpenEntry(const platform::fat::Resolved& resolved, platform::fat::UniqueFd& fd) const;
    // Fills `file` from what is remembered for its status; false when nothing is.
    bool Recall(HostFile& file);
    // Describes the regular file open at `fd`, from memory or by a scan.
    int Examine(int fd, HostFile& file);
    int Scan(int fd, const struct stat& status, HostFile& file) const;

    platform::fat::UniqueFd root_;
    // Case variants found without listing big folders, as the FAT layer finds them.
    mutable platform::fat::NameIndex names_;
    std::mutex mutex_;
    std::unordered_map<Identity, Remembered, IdentityHash> remembered_;
};

}  // namespace quillane::mount
