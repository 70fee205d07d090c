// The filter when the heap says no. The test program is linked with
// --wrap=malloc, so the filter's and the codec's allocations come here and
// can be refused one by one; everything else allocates as usual.
#include <gtest/gtest.h>

#include <cstdlib>

#include "filter/tests/card_fixture.h"
#include "platform/core/last_error.h"

extern "C" void* __real_malloc(size_t size);

namespace {
// Allocations still granted before the next one fails; negative: all granted.
thread_local long allocations_left = -1;
}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
    if (allocations_left == 0) return nullptr;
    if (allocations_left > 0) --allocations_left;
    return __real_malloc(size);
}

namespace quillane_test {
namespace {

struct RefusedHeap {
    explicit RefusedHeap(long granted) { allocations_left = granted; }
    ~RefusedHeap() { allocations_left = -1; }
};

TEST(AllocTest, HookVolumeWithoutMemoryReturnsNull) {
    HookTable table{};
    RefusedHeap refused(0);
    EXPECT_EQ(HookVolume(nullptr, &table), nullptr);
    EXPECT_EQ(platform::GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST(AllocTest, SearchWithoutRecordEndsTheNextLayersSearch) {
    TestRegistry registry;
    Card card;
    card.PutHostFile("a.txt", TextBytes("a"));
    WIN32_FIND_DATAW found{};
    {
        RefusedHeap refused(0);
        EXPECT_EQ(FindFirstFileW(card.volume(), nullptr, u"\\*", &found), INVALID_HANDLE_VALUE);
    }
    EXPECT_EQ(platform::GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(card.FatOpenHandles(), 0u);
}

// Every allocation an open makes, refused in turn: the open fails with
// ERROR_NOT_ENOUGH_MEMORY and leaves nothing open or behind, or succeeds
// with all of the data.
TEST(AllocTest, OpensRefusedAnyAllocationLeaveNothingBehind) {
    TestRegistry registry;
    Card card;
    const Bytes plain = CompressibleBytes(300000, 21);
    card.PutHostFile("packed.txt", Encode(plain));
    card.PutHostFile("plain.txt", plain);
    for (const char16_t* name : {u"\\packed.txt", u"\\plain.txt", u"\\new.txt"}) {
        for (long granted = 0;; ++granted) {
            SCOPED_TRACE(testing::Message() << "allocations granted: " << granted);
            HANDLE file;
            {
                RefusedHeap refused(granted);
                file = card.Open(name, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
            }
            if (file != INVALID_HANDLE_VALUE) {
                if (std::u16string_view(name) != u"\\new.txt") {
                    EXPECT_EQ(card.ReadAll(file), plain);
                }
                EXPECT_TRUE(CloseFile(file));
                break;
            }
            EXPECT_EQ(platform::GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
            EXPECT_EQ(card.FatOpenHandles(), 0u);
            EXPECT_TRUE(card.StrayTempFiles().empty());
            ASSERT_LT(granted, 10) << "the open should have succeeded by now";
        }
    }
}

TEST(AllocTest, CloseWithoutEncoderBuffersKeepsTheDataPlain) {
    TestRegistry registry;
    Card card;
    const Bytes plain = CompressibleBytes(50000, 22);
    card.PutHostFile("packed.txt", Encode(TextBytes("old")));
    for (const char16_t* name : {u"\\plain.txt", u"\\packed.txt"}) {
        HANDLE file = card.Open(name, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(SetEndOfFile(file));
        ASSERT_TRUE(card.Write(file, plain));
        {
            RefusedHeap refused(0);
            EXPECT_TRUE(CloseFile(file));
        }
        const std::string host(name + 1, name + std::char_traits<char16_t>::length(name));
        EXPECT_EQ(card.HostFile(host), plain) << "written data stays, uncompressed";
        EXPECT_TRUE(card.StrayTempFiles().empty());
        EXPECT_EQ(card.FatOpenHandles(), 0u);
    }
}

}  // namespace
}  // namespace quillane_test
