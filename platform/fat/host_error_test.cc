// Tests of the host errno <-> platform error translation.
#include "platform/fat/host_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace platform::fat {
namespace {

TEST(HostErrorTest, HostErrorsMapToThePlatformsCodes) {
    struct {
        int host_errno;
        DWORD error;
    } cases[] = {
        {0, ERROR_SUCCESS},
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {ENOSPC, ERROR_DISK_FULL},
        {EDQUOT, ERROR_DISK_FULL},
        {EFBIG, ERROR_DISK_FULL},
        {EACCES, ERROR_ACCESS_DENIED},
        {EPERM, ERROR_ACCESS_DENIED},
        {ELOOP, ERROR_ACCESS_DENIED},
        {EROFS, ERROR_WRITE_PROTECT},
        {EEXIST, ERROR_ALREADY_EXISTS},
        {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
        {EBUSY, ERROR_BUSY},
        {EIO, ERROR_GEN_FAILURE},
        {ENOMEDIUM, ERROR_NOT_READY},
        {EINVAL, ERROR_INVALID_PARAMETER},
        {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
        {EBADF, ERROR_INVALID_HANDLE},
        {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
        {EILSEQ, ERROR_INVALID_NAME},
        {EHOSTDOWN, ERROR_GEN_FAILURE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.host_errno);
        EXPECT_EQ(ErrorFromErrno(c.host_errno), c.error);
    }
}

TEST(HostErrorTest, PlatformCodesMapBackForPosixCallers) {
    struct {
        DWORD error;
        int host_errno;
    } cases[] = {
        {ERROR_SUCCESS, 0},
        {ERROR_FILE_NOT_FOUND, ENOENT},
        {ERROR_PATH_NOT_FOUND, ENOENT},
        {ERROR_NO_MORE_FILES, ENOENT},
        {ERROR_ACCESS_DENIED, EACCES},
        {ERROR_SHARING_VIOLATION, EBUSY},
        {ERROR_DISK_FULL, ENOSPC},
        {ERROR_HANDLE_DISK_FULL, ENOSPC},
        {ERROR_FILE_EXISTS, EEXIST},
        {ERROR_ALREADY_EXISTS, EEXIST},
        {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
        {ERROR_INVALID_NAME, EINVAL},
        {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
        {ERROR_NEGATIVE_SEEK, EINVAL},
        {ERROR_NOT_SUPPORTED, EOPNOTSUPP},
        {ERROR_WRITE_PROTECT, EROFS},
        {ERROR_INVALID_HANDLE, EBADF},
        {ERROR_DIRECTORY, ENOTDIR},
        {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
        {ERROR_BADDB, EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        EXPECT_EQ(ErrnoFromError(c.error), c.host_errno);
    }
}

TEST(HostErrorTest, EveryMappedErrnoComesBackToItself) {
    for (int host_errno : {ENOENT, EACCES, ENOSPC, EROFS, EEXIST, ENOTEMPTY, ENAMETOOLONG, EMFILE, EBUSY,
                           EIO, EINVAL, ENOMEM, EBADF, EOPNOTSUPP}) {
        SCOPED_TRACE(host_errno);
        EXPECT_EQ(ErrnoFromError(ErrorFromErrno(host_errno)), host_errno);
    }
}

}  // namespace
}  // namespace platform::fat
