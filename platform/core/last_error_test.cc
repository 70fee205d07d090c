// Tests of the last-error code: each thread has its own.
#include "platform/core/last_error.h"

#include <gtest/gtest.h>

#include <thread>

namespace platform {
namespace {

TEST(LastErrorTest, KeepsTheLastValueSet) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
}

TEST(LastErrorTest, EachThreadHasItsOwn) {
    SetLastError(ERROR_SHARING_VIOLATION);
    DWORD seen_at_start = 0xFFFFFFFFu;
    DWORD seen_after_set = 0;
    std::thread other([&] {
        seen_at_start = GetLastError();
        SetLastError(ERROR_DISK_FULL);
        seen_after_set = GetLastError();
    });
    other.join();
    EXPECT_EQ(seen_at_start, ERROR_SUCCESS);
    EXPECT_EQ(seen_after_set, ERROR_DISK_FULL);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
}

}  // namespace
}  // namespace platform
