// The one place where the FUSE front end turns the platform's error codes
// into errno values. It reads the FAT layer's table backwards
// (platform::fat::ErrnoFromError), so the two directions cannot drift apart.
#pragma once

#include "platform/core/types.h"

namespace quillane::mount {

// The errno for a platform error code. A failure that left no code still
// fails: ERROR_SUCCESS gives EIO, never 0.
int ErrnoFrom(DWORD error);

// The errno for the calling thread's last platform error.
int LastErrno();

}  // namespace quillane::mount
