// Time services of the platform: the millisecond tick count and Sleep.
#pragma once

#include "platform/core/types.h"

namespace platform {

// Milliseconds since the machine started (CLOCK_MONOTONIC), wrapping at 2^32.
DWORD GetTickCount();

// Pauses the calling thread for at least `milliseconds`.
void Sleep(DWORD milliseconds);

}  // namespace platform
