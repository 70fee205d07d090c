// Tests of the table of program handles: values are never reused, anything
// not issued or already retired is refused, and a close waits for the calls
// pinning the handle while refusing new ones.
#include "platform/storage/handle_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

namespace platform::storage {
namespace {

void Retire(HandleTable& table, HANDLE handle) {
    std::shared_ptr<OpenHandle> entry;
    ASSERT_TRUE(table.BeginClose(handle, false, &entry));
    table.EndClose(handle);
}

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
        EXPECT_EQ(&*table.Acquire(handle), entry.get());
        if (previous != nullptr) {
            EXPECT_FALSE(table.Acquire(previous));
        }
        Retire(table, handle);
        EXPECT_FALSE(table.Acquire(handle));
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
        reinterpret_cast<HANDLE>(value + 1),                          // the next slot, never used
        reinterpret_cast<HANDLE>(value + 5000),                       // a slot past every chunk made
        reinterpret_cast<HANDLE>(value ^ (std::uintptr_t{1} << 32)),  // the slot, another generation
        reinterpret_cast<HANDLE>(value & 0xFFFFFFFFu),                // the slot, generation 0
        reinterpret_cast<HANDLE>(&table),                             // some pointer
    };
    std::shared_ptr<OpenHandle> entry;
    for (HANDLE h : forged) {
        EXPECT_FALSE(table.Acquire(h)) << h;
        EXPECT_FALSE(table.BeginClose(h, true, &entry)) << h;
    }
    EXPECT_TRUE(table.Acquire(live));
    EXPECT_EQ(table.Size(), 1u);
}

TEST(HandleTableTest, AHandleBeingClosedTakesNoPinsAndNoSecondClose) {
    HandleTable table;
    const HANDLE handle = table.Insert(std::make_shared<OpenHandle>());
    std::shared_ptr<OpenHandle> entry;
    ASSERT_TRUE(table.BeginClose(handle, false, &entry));
    EXPECT_FALSE(table.Acquire(handle));
    std::shared_ptr<OpenHandle> second;
    EXPECT_FALSE(table.BeginClose(handle, false, &second));
    table.EndClose(handle);
    EXPECT_FALSE(table.Acquire(handle));
    EXPECT_FALSE(table.BeginClose(handle, false, &second));
}

TEST(HandleTableTest, CloseWaitsForPinsAndUnmountWaitsForAClose) {
    HandleTable table;
    const HANDLE handle = table.Insert(std::make_shared<OpenHandle>());
    auto pin = std::make_unique<HandleTable::Pin>(table.Acquire(handle));
    ASSERT_TRUE(*pin);
    std::atomic<bool> begun{false};
    std::thread closer([&] {
        std::shared_ptr<OpenHandle> entry;
        EXPECT_TRUE(table.BeginClose(handle, false, &entry));
        begun = true;
        table.EndClose(handle);
    });
    // The closer marks the handle closing, so new pins are refused, but it
    // cannot go on while the pin lives.
    while (table.Acquire(handle)) std::this_thread::yield();
    EXPECT_FALSE(begun);
    pin.reset();
    closer.join();
    EXPECT_TRUE(begun);
    std::shared_ptr<OpenHandle> entry;
    EXPECT_FALSE(table.BeginClose(handle, true, &entry));
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
    auto a = std::shared_ptr<Card>(std::make_shared<int>(1), reinterpret_cast<Card*>(0x10));
    auto b = std::shared_ptr<Card>(std::make_shared<int>(2), reinterpret_cast<Card*>(0x20));
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
