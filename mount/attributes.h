// How the card's attributes and times read as POSIX ones: the mode bits and
// the owner (as the owner and mask options say, file_modes.h), sizes (st_size what
// programs read, st_blocks what the card holds) and the three times. Every
// stat the mount answers is made here.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "mount/mount_options.h"
#include "mount/node_table.h"
#include "platform/core/types.h"

namespace quillane::mount {

// The I/O size programs are told to prefer: one block of the compressed format.
inline constexpr blksize_t kPreferredBlockSize = 131072;

bool IsDirectory(DWORD attributes);
bool IsReadOnly(DWORD attributes);
// The storable part of `attributes`, as SetFileAttributesW takes it.
DWORD Stored(DWORD attributes);

// A host time as the card keeps it (FILETIME, 100 ns steps), so that a
// file's times read the same whether they come from the card's directory
// entry or from an open handle.
timespec CardTime(const timespec& host);

// What one regular file shows, wherever the figures come from.
struct FileFigures {
    NodeNumber number = 0;
    DWORD card_attributes = 0;
    std::uint64_t plain_size = 0;
    blkcnt_t blocks = 0;  // the room taken on the card, in 512-byte units
    timespec last_access{};
    timespec last_write{};
    bool unlinked = false;
};

class AttributeMap {
public:
    explicit AttributeMap(const OwnerOptions& options) : options_(options) {}

    const OwnerOptions& Options() const { return options_; }

    // A folder, from the host's status of it.
    struct stat Folder(NodeNumber number, const struct stat& host) const;
    struct stat File(const FileFigures& figures) const;

private:
    const OwnerOptions options_;
};

// POSIX removes a file whatever its own mode says; FAT refuses a read-only
// one. Runs `step` (true on success, the platform's last error set on
// failure); refused for a read-only file, it clears the attribute for the
// step and puts it back if the step fails again.
bool EvenIfReadOnly(const std::u16string& path, const std::function<bool()>& step);

bool DeleteEvenIfReadOnly(const std::u16string& path);

}  // namespace quillane::mount
