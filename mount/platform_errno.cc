// Platform error codes to errno (see platform_errno.h).
#include "mount/platform_errno.h"

#include <cerrno>

#include "platform/core/last_error.h"
#include "platform/fat/host_error.h"

namespace quillane::mount {

int ErrnoFrom(DWORD error) {
    const int mapped = platform::fat::ErrnoFromError(error);
    return mapped != 0 ? mapped : EIO;
}

int LastErrno() { return ErrnoFrom(platform::GetLastError()); }

}  // namespace quillane::mount
