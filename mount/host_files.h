// What the card's host folder holds behind a name, read past the platform
// for the two things its file API has no call for: how much room a file
// takes on the card (st_blocks, for du) and, for a compressed file that is
// not open, the size of its plain data, summed from its block headers
// without decoding anything. Names are looked up as the FAT layer looks
// them up (without regard to case, never leaving the folder).
//
// Plain sizes are remembered by name, the host file's identity,
// modification time and size, so a file that changes on the card
// underneath the mount (or is replaced by a close's recompression) is
// scanned afresh. A FAT card keeps modification times to 2 seconds, so a
// file changed again within the same 2 seconds may keep all four: a size is
// remembered only once the file's time is more than that behind the clock,
// and until then every look scans the file. Nothing here writes to the card.
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
    // Regular files: the size programs see. For a compressed file whose
    // blocks end in damage, it takes in the damaged tail too (a block cut
    // short, or one byte), which reads refuse.
    std::uint64_t plain_size = 0;
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
    // What a plain size is remembered by: the name it was asked for and
    // the host file's identity. Some FAT hosts number files afresh as they
    // look them up and give a number to another file later, so the number
    // alone is no identity.
    struct Key {
        std::u16string volume_path;
        dev_t device;
        ino_t inode;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& key) const noexcept {
            return std::hash<std::u16string>()(key.volume_path) ^ std::hash<ino_t>()(key.inode) ^ key.device;
        }
    };
    struct Remembered {
        timespec modified;
        off_t size;
        std::uint64_t plain_size;
        bool compressed;
    };

    int OpenEntry(const platform::fat::Resolved& resolved, platform::fat::UniqueFd& fd) const;
    // Fills `file` from what is remembered for its status; false when nothing is.
    bool Recall(std::u16string_view volume_path, HostFile& file);
    // Describes the regular file open at `fd`, from memory or by a scan.
    int Examine(std::u16string_view volume_path, int fd, HostFile& file);
    int Scan(int fd, const struct stat& status, HostFile& file) const;

    platform::fat::UniqueFd root_;
    // Case variants found without listing big folders, as the FAT layer finds them.
    mutable platform::fat::NameIndex names_;
    std::mutex mutex_;
    std::unordered_map<Key, Remembered, KeyHash> remembered_;
};

}  // namespace quillane::mount
