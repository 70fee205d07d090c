// Host errno <-> platform error code (see host_error.h).
#include "platform/fat/host_error.h"

#include <cerrno>

#include "platform/core/last_error.h"

namespace platform::fat {
namespace {

struct ErrorPair {
    int host_errno;
    DWORD error;
};

// Read in both directions: ErrorFromErrno takes the first row with the errno,
// ErrnoFromError the first row with the code. Rows are ordered so that each
// direction meets its preferred partner first (ENOENT is the POSIX answer for
// both a missing file and a missing folder on the way).
constexpr ErrorPair kErrorTable[] = {
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ENOENT, ERROR_PATH_NOT_FOUND},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {ENOTDIR, ERROR_DIRECTORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EPERM, ERROR_ACCESS_DENIED},
    {EISDIR, ERROR_ACCESS_DENIED},
    {ELOOP, ERROR_ACCESS_DENIED},
    {EXDEV, ERROR_ACCESS_DENIED},
    {ENOSPC, ERROR_DISK_FULL},
    {EDQUOT, ERROR_DISK_FULL},
    {EFBIG, ERROR_DISK_FULL},
    {ENOSPC, ERROR_HANDLE_DISK_FULL},
    {EROFS, ERROR_WRITE_PROTECT},
    {EEXIST, ERROR_ALREADY_EXISTS},
    {EEXIST, ERROR_FILE_EXISTS},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EBUSY, ERROR_BUSY},
    {EBUSY, ERROR_SHARING_VIOLATION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EAGAIN, ERROR_LOCK_VIOLATION},
    {EIO, ERROR_GEN_FAILURE},
    {EIO, ERROR_READ_FAULT},
    {EIO, ERROR_WRITE_FAULT},
    {EIO, ERROR_INVALID_DATA},
    {EIO, ERROR_HANDLE_EOF},
    {ENOMEDIUM, ERROR_NOT_READY},
    {ENODEV, ERROR_NOT_READY},
    {ENXIO, ERROR_NOT_READY},
    {ESTALE, ERROR_NOT_READY},
    {ENODEV, ERROR_DEVICE_NOT_AVAILABLE},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {EINVAL, ERROR_INVALID_NAME},
    {EINVAL, ERROR_NEGATIVE_SEEK},
    {EILSEQ, ERROR_INVALID_NAME},
    {EILSEQ, ERROR_NO_UNICODE_TRANSLATION},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {ENOMEM, ERROR_OUTOFMEMORY},
    {EBADF, ERROR_INVALID_HANDLE},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ENOSYS, ERROR_INVALID_FUNCTION},
    {ENOSYS, ERROR_NOT_SUPPORTED},
    {EPIPE, ERROR_BROKEN_PIPE},
    {ERANGE, ERROR_INSUFFICIENT_BUFFER},
    {ERANGE, ERROR_MORE_DATA},
    {ENOENT, ERROR_NO_MORE_FILES},
    {ENOENT, ERROR_MOD_NOT_FOUND},
    {ENOENT, ERROR_PROC_NOT_FOUND},
};

}  // namespace

DWORD ErrorFromErrno(int host_errno) {
    if (host_errno == 0) return ERROR_SUCCESS;
    for (const ErrorPair& pair : kErrorTable) {
        if (pair.host_errno == host_errno) return pair.error;
    }
    return ERROR_GEN_FAILURE;
}

int ErrnoFromError(DWORD error) {
    if (error == ERROR_SUCCESS) return 0;
    for (const ErrorPair& pair : kErrorTable) {
        if (pair.error == error) return pair.host_errno;
    }
    return EIO;
}

BOOL FailWithErrno(int host_errno) { return FailWith(ErrorFromErrno(host_errno)); }

BOOL FailWith(DWORD error) {
    SetLastError(error);
    return FALSE;
}

}  // namespace platform::fat
