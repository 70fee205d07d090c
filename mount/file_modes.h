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
    kNone,           // accepted; nothing on the card changes (a folder)
    kSetReadOnly,    // no write bit: the file becomes read-only
    kClearReadOnly,  // some write bit: it becomes writable
};

// What chmod(`requested`) on a file or folder means. Returns EPERM for the
// set-user-id, set-group-id and sticky bits, which a card cannot hold;
// otherwise 0 with `change`. Only a file's write bits count, as the read-only
// attribute is all a card keeps: `chmod a-w` or `chmod 444` makes it
// read-only, `chmod u+w` or `chmod 644` writable; read and execute bits are
// accepted and change nothing, and so is any mode of a folder. (A vfat
// mount ignores instead a whole mode whose read or execute bits differ from
// what its masks give, or that has only some of the write bits they allow:
// there `chmod 444` of a file shown rwxr-xr-x changes nothing.)
int ReadModeChange(bool directory, mode_t requested, ModeChange& change);

}  // namespace quillane::mount
