// Tests of the table of program handles: values are never reused, and
// anything not issued or already removed is refused.
#include "platform/storage/handle_table.h"

#include <gtest/gtest.h>

#include <set>

namespace platform::storage {
namespace {

TEST(HandleTableTest, ReusedSlotsGiveNewValuesAndOldOnesAreRefused) {
    HandleTable table;
    std::set<HANDLE> seen;
    HANDLE previous = nullptr;
    for (int round = 0; round < 100; ++round) {
        auto entry = std::make_shared<OpenHandle>();
        const HANDLE handle = table.Insert(entry);
        ASSERT_NE(handle, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        EXPECT_TRUE(seen.insert(handle).second) << "value issued twice";
        EXPECT_EQ(table.Find(handle), entry);
        if (previous != nullptr) {
            EXPECT_EQ(table.Find(previous), nullptr);
        }
        table.Remove(handle);
        EXPECT_EQ(table.Find(handle), nullptr);
        previous = handle;
    }
    EXPECT_EQ(table.Size(), 0u);
}

TEST(HandleTableTest, RefusesValuesNeverIssued) {
    HandleTable table;
    const HANDLE live = table.Insert(std::make_shared<OpenHandle>());
    const auto value = reinterpret_cast<std::uintptr_t>(live);
    const HANDLE forged[] = {
        nullptr,
        INVALID_HANDLE_VALUE,
        reinterpret_cast<HANDLE>(value + 1),                     // the next slot, never used
        reinterpret_cast<HANDLE>(value ^ (std::uintptr_t{1} << 32)),  // the slot, another generation
        reinterpret_cast<HANDLE>(value & 0xFFFFFFFFu),           // the slot, generation 0
        reinterpret_cast<HANDLE>(&table),                        // some pointer
    };
    for (HANDLE h : forged) EXPECT_EQ(table.Find(h), nullptr) << h;
    // Removing a value that is not live changes nothing.
    for (HANDLE h : forged) table.Remove(h);
    EXPECT_NE(table.Find(live), nullptr);
    EXPECT_EQ(table.Size(), 1u);
}

TEST(HandleTableTest, ListsTheHandlesOfOneCard) {
    HandleTable table;
    auto on_card = [](const std::shared_ptr<Card>& card) {
        auto entry = std::make_shared<OpenHandle>();
        entry->card = card;
        return entry;
    };
    // Cards are only compared by address here; aliasing pointers to ints
    // stand for two cards.
    auto a = std::shared_ptr<Card>(std::shared_ptr<int>(new int(1)), reinterpret_cast<Card*>(0x10));
    auto b = std::shared_ptr<Card>(std::shared_ptr<int>(new int(2)), reinterpret_cast<Card*>(0x20));
    const HANDLE a1 = table.Insert(on_card(a));
    table.Insert(on_card(b));
    const HANDLE a2 = table.Insert(on_card(a));
    const auto listed = table.OfCard(a.get());
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].first, a1);
    EXPECT_EQ(listed[1].first, a2);
}

}  // namespace
}  // namespace platform::storage
