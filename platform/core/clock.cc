// Time services of the platform (see clock.h).
#include "platform/core/clock.h"

#include <chrono>
#include <thread>

namespace platform {

DWORD GetTickCount() {
    const auto since_boot = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_boot).count();
    return static_cast<DWORD>(static_cast<std::uint64_t>(ms));
}

void Sleep(DWORD milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

}  // namespace platform
