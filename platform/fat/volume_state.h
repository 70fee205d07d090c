// Inside the FAT layer: the volume's state and the objects behind its file
// and search handles, shared by the files that implement the operations.
// Not for use outside platform/fat/; callers see only fat_volume.h and the
// hook table.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fat/fat_volume.h"
#include "platform/fat/metadata.h"
#include "platform/fat/name_index.h"
#include "platform/fat/share_table.h"
#include "platform/fat/unique_fd.h"

namespace platform::fat {

// Largest size of a file on a FAT card: 4 GiB - 1 bytes.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

}  // namespace platform::fat

struct platform::fat::Volume::State {
    std::string host_dir;
    UniqueFd root;
    AttributeStore store;
    std::atomic<size_t> open_handles{0};
    mutable NameIndex names;  // folded names of the folders looked in lately
};

namespace platform::fat {

// What a file handle stands for. The magic number lets a file-level call
// refuse a handle of another kind cheaply.
struct FileObject {
    static constexpr std::uint32_t kMagic = 0x51464C45;  // "QFLE"
    std::uint32_t magic = kMagic;
    Volume::State* volume = nullptr;
    UniqueFd fd;
    DWORD access = 0;
    FileIdentity identity;
    ShareTable::Ticket share;
    // Serialises the file pointer and the kept times for calls on this one
    // handle; calls on different handles never meet here.
    std::mutex mutex;
    std::uint64_t pointer = 0;
    // Access and write times that SetFileTime set through this handle
    // (UTIME_OMIT where none was set). The platform does not move a time
    // set explicitly on a handle when that handle later reads or writes,
    // while the host does; they are put back after each such call.
    timespec kept_times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    bool keeps_times = false;
};

// What a search handle stands for: the names that matched when the search
// started, yielded one by one; a name gone since is passed over.
struct SearchObject {
    static constexpr std::uint32_t kMagic = 0x51534552;  // "QSER"
    std::uint32_t magic = kMagic;
    Volume::State* volume = nullptr;
    UniqueFd directory;
    std::vector<std::string> names;
    size_t next = 0;
};

// The operations of the hook table; the handle is the Volume::State, a
// FileObject or a SearchObject as the level says. They throw nothing.
namespace operations {
#define QUILLANE_FAT_DECLARE(level, result, name, params, args) result name(HANDLE h QUILLANE_EXPAND params) noexcept;
QUILLANE_HOOK_OPERATIONS(QUILLANE_FAT_DECLARE)
#undef QUILLANE_FAT_DECLARE
}  // namespace operations

}  // namespace platform::fat
