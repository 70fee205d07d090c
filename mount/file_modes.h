// The mode bits of what the mount shows, and what a chmod(2) through it
// does, as a vfat mount has them: a FAT card stores no mode, only the
// read-only attribute of a file, so a file's mode is what the file mask
// leaves of rwxrwxrwx, less every write bit while it is read-only, and a
// folder's is what the folder mask leaves. The kernel checks every access
// against these bits (the mount asks it to), so they are the whole of who
// may do what. Used by the mount's attribute mapping; knows nothing of FUSE.
#pragma once

#include <sys/types.h>

#include "mount/mount_options.h"

namespace quillane::mount {

// The permission bits (no file type) of a file or folder.
mode_t ShownPermissions(const OwnerOptions& options, bool directory, bool read_only);

enum class ModeChange {
    kNone,           // accepted; nothing on the card changes
    kSetReadOnly,    // no write bit left: the file becomes read-only
    kClearReadOnly,  // every write bit the mask allows: it becomes writable
};

// What chmod(`requested`) on a file or folder means. Returns EPERM for the
// set-user-id, set-group-id and sticky bits, which a card cannot hold;
// otherwise 0 with `change`. As on vfat, a mode the card cannot show (other
// read or execute bits than the masks give, or only some of the write bits)
// is accepted and changes nothing, and a folder's mode never changes.
int ReadModeChange(const OwnerOptions& options, bool directory, bool read_only, mode_t requested,
                   ModeChange& change);

}  // namespace quillane::mount
