// Several threads opening, writing and closing different files and one file
// at once. The filter takes no lock: every file ends with one complete
// version of what some thread wrote, never a mix, and nothing is left at the
// root.
#include <gtest/gtest.h>

#include <thread>

#include "filter/tests/card_fixture.h"

namespace quillane_test {
namespace {

constexpr int kThreads = 4;
constexpr int kRounds = 12;

Bytes Version(int thread, int round) {
    return CompressibleBytes(20000 + 997 * thread + 31 * round, static_cast<unsigned>(thread * 1000 + round));
}

TEST(ThreadsTest, ConcurrentClosesKeepWholeVersions) {
    TestRegistry registry;
    Card card;
    // Compressed from the start, so that every open of it gets its own
    // expansion file.
    ASSERT_TRUE(card.WriteThrough(u"\\shared.txt", Version(0, 0)));
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::u16string own = u"\\own" + std::u16string(1, static_cast<char16_t>(u'0' + t)) + u".txt";
            for (int round = 0; round < kRounds; ++round) {
                if (!card.WriteThrough(own, Version(t, round))) ++failures;
                // The shared file: each handle works on its own expansion
                // file, and the close that comes last decides the content.
                HANDLE shared = card.Open(u"\\shared.txt", GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
                if (shared == INVALID_HANDLE_VALUE) {
                    ++failures;
                    continue;
                }
                SetEndOfFile(shared);
                if (!card.Write(shared, Version(t, round))) ++failures;
                if (!CloseFile(shared)) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);

    for (int t = 0; t < kThreads; ++t) {
        const std::string own = "own" + std::to_string(t) + ".txt";
        EXPECT_EQ(card.Content(own), Version(t, kRounds - 1));
    }
    const auto shared = card.Content("shared.txt");
    ASSERT_TRUE(shared.has_value());
    bool whole = false;
    for (int t = 0; t < kThreads && !whole; ++t) {
        for (int round = 0; round < kRounds && !whole; ++round) whole = *shared == Version(t, round);
    }
    EXPECT_TRUE(whole) << "the shared file holds no single version";
    EXPECT_TRUE(card.StrayTempFiles().empty());
    EXPECT_EQ(card.FatOpenHandles(), 0u);
}

}  // namespace
}  // namespace quillane_test
