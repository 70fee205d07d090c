// The per-thread last-error code of the platform. Every platform call that
// fails leaves its reason here; a call that succeeds may leave it alone.
// Lives in the shared core library so that a filter loaded into a program and
// the layers below it see one and the same value for a thread.
#pragma once

#include "platform/core/types.h"

namespace platform {

void SetLastError(DWORD error);
DWORD GetLastError();

}  // namespace platform
