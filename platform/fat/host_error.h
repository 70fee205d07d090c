// The one translation between host errno values and the platform's error
// codes. The FAT layer maps every failed host call through ErrorFromErrno;
// the FUSE front end maps platform errors back with ErrnoFromError. Both
// directions come from one table, so they cannot drift apart. Not a place
// for errors the layer decides itself (sharing violations, invalid names).
#pragma once

#include "platform/core/types.h"

namespace platform::fat {

// The platform's code for a host errno; ERROR_GEN_FAILURE for one the table
// does not know, ERROR_SUCCESS for 0.
DWORD ErrorFromErrno(int host_errno);

// The errno that best tells a POSIX caller what the platform error means;
// EIO for a code the table does not know, 0 for ERROR_SUCCESS.
int ErrnoFromError(DWORD error);

// Sets the last error from `host_errno` and returns FALSE, the usual ending
// of a failed operation.
BOOL FailWithErrno(int host_errno);

// Sets the last error to `error` and returns FALSE.
BOOL FailWith(DWORD error);

}  // namespace platform::fat
