// The FUSE low-level operations table of the mount: thin C trampolines that
// turn each kernel request into a call of CardFileSystem and its result into
// the reply, catching everything on the way (an exception never crosses into
// libfuse; it becomes EIO, or ENOMEM for a failed allocation).
//
// The low-level interface lets the mount answer with its own inode numbers
// and keep serving a file that was unlinked while open (fstat included),
// which a path-based interface cannot. Not the place for file-system logic.
#pragma once

#include <fuse_lowlevel.h>

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "mount/card_file_system.h"

namespace quillane::mount {

// What the trampolines reach through fuse_req_userdata.
struct MountSession {
    explicit MountSession(CardFileSystem& file_system) : file_system(file_system) {}

    CardFileSystem& file_system;

    // Folder listings taken at opendir (and again at a rewind), by the
    // number handed to the kernel as the directory's file handle.
    struct Listing {
        std::vector<DirectoryEntry> entries;
        bool read = false;  // some entries were given out
    };
    std::mutex listings_mutex;
    std::unordered_map<std::uint64_t, Listing> listings;
    std::uint64_t next_listing = 1;
};

// The one table of operations, for fuse_session_new.
fuse_lowlevel_ops MountOperations();

}  // namespace quillane::mount
