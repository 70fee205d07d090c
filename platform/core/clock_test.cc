// Tests of the tick count: it never runs backwards, and Sleep lets at least
// the time asked for pass on it.
#include "platform/core/clock.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(ClockTest, TickCountAdvancesAcrossASleep) {
    const DWORD before = GetTickCount();
    Sleep(20);
    const DWORD after = GetTickCount();
    // Unsigned difference, so a wrap of the count between the two reads
    // does not matter.
    EXPECT_GE(static_cast<DWORD>(after - before), 20u);
}

TEST(ClockTest, TickCountNeverRunsBackwards) {
    DWORD previous = GetTickCount();
    for (int i = 0; i < 10000; ++i) {
        const DWORD now = GetTickCount();
        EXPECT_LT(static_cast<DWORD>(now - previous), 0x80000000u);
        previous = now;
    }
}

}  // namespace
}  // namespace platform
