// The per-thread last-error code (see last_error.h).
#include "platform/core/last_error.h"

namespace platform {
namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}

void SetLastError(DWORD error) { last_error = error; }
DWORD GetLastError() { return last_error; }

}  // namespace platform
