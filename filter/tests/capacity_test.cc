// The filter's free-space report: doubled counts on a card whose root holds
// the marker file, the real ones elsewhere. The layer below reports counts
// chosen by the test; the marker probe goes to the real FAT layer.
#include <gtest/gtest.h>

#include "filter/tests/card_fixture.h"

namespace quillane_test {
namespace {

// Counts the stand-in layer reports; one test at a time uses them.
DWORD reported_total = 0;
DWORD reported_free = 0;
BOOL reported_result = TRUE;

BOOL ReportCounts(HANDLE, LPCWSTR, PDWORD sectors_per_cluster, PDWORD bytes_per_sector, PDWORD free_clusters,
                  PDWORD total_clusters) {
    if (sectors_per_cluster != nullptr) *sectors_per_cluster = 8;
    if (bytes_per_sector != nullptr) *bytes_per_sector = 512;
    if (free_clusters != nullptr) *free_clusters = reported_free;
    if (total_clusters != nullptr) *total_clusters = reported_total;
    return reported_result;
}

HookTable WithCounts(const HookTable& fat) {
    HookTable table = fat;
    table.GetDiskFreeSpaceW = ReportCounts;
    return table;
}

struct CapacityCase {
    bool marker;
    DWORD total, free;
    DWORD expect_total, expect_free;
};

const CapacityCase kCapacityCases[] = {
    {false, 100, 30, 100, 30},
    {true, 100, 30, 200, 130},   // used stays 70
    {true, 100, 0, 200, 100},    // full: half the reported total free
    {true, 100, 100, 200, 200},  // empty: all free
    {true, 0x0FFFFFFF, 5, 0x1FFFFFFE, 0x10000004},
};

TEST(CapacityTest, ConvertedCardReportsTwiceItsClusters) {
    TestRegistry registry;
    Card card(WithCounts);
    for (const auto& c : kCapacityCases) {
        SCOPED_TRACE(testing::Message() << "marker " << c.marker << " total " << c.total << " free " << c.free);
        if (c.marker) card.PutHostFile("quillane.x13", {});
        reported_total = c.total;
        reported_free = c.free;
        DWORD sectors = 0, bytes = 0, free_clusters = 0, total_clusters = 0;
        // The path does not change where the marker is looked for.
        EXPECT_TRUE(GetDiskFreeSpaceW(card.volume(), u"\\Music\\x", &sectors, &bytes, &free_clusters,
                                      &total_clusters));
        EXPECT_EQ(total_clusters, c.expect_total);
        EXPECT_EQ(free_clusters, c.expect_free);
        EXPECT_EQ(sectors, 8u);
        EXPECT_EQ(bytes, 512u);
        EXPECT_EQ(card.FatOpenHandles(), 0u) << "the probe leaves no handle open";
    }
}

TEST(CapacityTest, FailedQueryStillAdjustsAndReportsTheFailure) {
    TestRegistry registry;
    Card card(WithCounts);
    card.PutHostFile("quillane.x13", {});
    reported_total = 10;
    reported_free = 4;
    reported_result = FALSE;
    DWORD free_clusters = 0, total_clusters = 0;
    EXPECT_FALSE(GetDiskFreeSpaceW(card.volume(), u"\\", nullptr, nullptr, &free_clusters, &total_clusters));
    reported_result = TRUE;
    EXPECT_EQ(total_clusters, 20u);
    EXPECT_EQ(free_clusters, 14u);
}

TEST(CapacityTest, CountsTheCallerDidNotAskForAreNeverWritten) {
    TestRegistry registry;
    Card card(WithCounts);
    card.PutHostFile("quillane.x13", {});
    reported_total = 100;
    reported_free = 30;
    DWORD free_clusters = 0;
    EXPECT_TRUE(GetDiskFreeSpaceW(card.volume(), u"\\", nullptr, nullptr, &free_clusters, nullptr));
    EXPECT_EQ(free_clusters, 130u);
    DWORD total_clusters = 0;
    EXPECT_TRUE(GetDiskFreeSpaceW(card.volume(), u"\\", nullptr, nullptr, nullptr, &total_clusters));
    EXPECT_EQ(total_clusters, 200u);
    EXPECT_TRUE(GetDiskFreeSpaceW(card.volume(), u"\\", nullptr, nullptr, nullptr, nullptr));
}

TEST(CapacityTest, RealCardCountsFitAfterDoubling) {
    TestRegistry registry;
    Card card;
    card.PutHostFile("quillane.x13", {});
    DWORD sectors = 0, bytes = 0, free_clusters = 0, total_clusters = 0;
    ASSERT_TRUE(GetDiskFreeSpaceW(card.volume(), u"\\", &sectors, &bytes, &free_clusters, &total_clusters));
    EXPECT_EQ(total_clusters % 2, 0u);
    EXPECT_GE(total_clusters, free_clusters);
    EXPECT_GE(free_clusters, total_clusters / 2);
}

}  // namespace
}  // namespace quillane_test
