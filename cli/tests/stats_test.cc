// quillane stats: a card folder's files by how they are stored, their plain
// and stored bytes, the leftovers apart, in the table and in JSON.
#include <filesystem>

#include "cli/tests/cli_test_support.h"

namespace quillane::cli::test {
namespace {

class StatsTest : public CliTest {
protected:
    uint64_t SizeOf(const std::string& relative) const { return std::filesystem::file_size(Path(relative)); }

    // A card of one file of each kind, and a leftover at its root.
    void MakeCard() {
        WriteFile("text.txt", TextOfSize(300000));
        WriteFile("noise.bin", RandomOfSize(200000));
        std::filesystem::create_directories(Path("card/docs"));
        ASSERT_EQ(Run({"pack", Path("text.txt"), Path("card/docs/text.txt")}).status, 0);
        ASSERT_EQ(Run({"pack", Path("noise.bin"), Path("card/noise.bin")}).status, 0);
        WriteFile("card/plain.txt", TextOfSize(1000));
        WriteFile("card/docs/photo.JPG", RandomOfSize(5000, 2));
        WriteFile("card/empty.txt", "");
        WriteFile("card/v1A2B.TMP", TextOfSize(700));
        ASSERT_EQ(Run({"install"}).status, 0);
        ASSERT_EQ(Run({"exceptions", "add", "jpg"}).status, 0);
    }
};

TEST_F(StatsTest, JsonCountsEveryKindAndTheLeftoversApart) {
    MakeCard();
    const RunResult stats = Run({"stats", "--json", Path("card")});
    ASSERT_EQ(stats.status, 0) << stats.err;
    const uint64_t compressed = SizeOf("card/docs/text.txt");
    const uint64_t raw = SizeOf("card/noise.bin");
    const auto tally = [](uint64_t files, uint64_t plain, uint64_t stored) {
        return "{\"files\": " + std::to_string(files) + ", \"plain_bytes\": " + std::to_string(plain) +
               ", \"stored_bytes\": " + std::to_string(stored) + "}";
    };
    EXPECT_LT(compressed, 300000u / 4);
    EXPECT_GT(raw, 200000u);
    EXPECT_TRUE(Holds(stats.out, "\"compressed\": " + tally(1, 300000, compressed))) << stats.out;
    EXPECT_TRUE(Holds(stats.out, "\"raw_only\": " + tally(1, 200000, raw))) << stats.out;
    EXPECT_TRUE(Holds(stats.out, "\"plain\": " + tally(1, 1000, 1000))) << stats.out;
    EXPECT_TRUE(Holds(stats.out, "\"exempt\": " + tally(1, 5000, 5000))) << stats.out;
    EXPECT_TRUE(Holds(stats.out, "\"empty\": " + tally(1, 0, 0))) << stats.out;
    EXPECT_TRUE(Holds(stats.out, "\"damaged\": " + tally(0, 0, 0))) << stats.out;
    EXPECT_TRUE(Holds(stats.out, "\"leftovers\": " + tally(1, 0, 700))) << stats.out;
    EXPECT_TRUE(Holds(stats.out, "\"total\": " + tally(5, 506000, compressed + raw + 6000))) << stats.out;
    EXPECT_TRUE(Holds(stats.out, "\"folders\": 2")) << stats.out;
}

TEST_F(StatsTest, TableShowsTheRatioAndPartOfACardCountsAlone) {
    MakeCard();
    const RunResult whole = Run({"stats", Path("card")});
    ASSERT_EQ(whole.status, 0) << whole.err;
    for (const char* row : {"total", "compressed", "raw blocks only", "plain", "exempt type", "empty"}) {
        EXPECT_TRUE(Holds(whole.out, std::string("\n") + row + " ")) << row << "\n" << whole.out;
    }
    EXPECT_TRUE(Holds(whole.out, "Leftovers of the filter: 1 files")) << whole.out;

    const RunResult part = Run({"stats", "--json", Path("card/docs"), Path("card/plain.txt")});
    ASSERT_EQ(part.status, 0) << part.err;
    EXPECT_TRUE(Holds(part.out, "\"total\": {\"files\": 3,")) << part.out;
}

TEST_F(StatsTest, ADamagedFileIsCountedAsSuchAndAMissingPathFails) {
    WriteFile("text.txt", TextOfSize(300000));
    std::filesystem::create_directories(Path("card"));
    ASSERT_EQ(Run({"pack", Path("text.txt"), Path("card/text.txt")}).status, 0);
    std::filesystem::resize_file(Path("card/text.txt"), SizeOf("card/text.txt") - 10);
    const RunResult damaged = Run({"stats", "--json", Path("card")});
    EXPECT_EQ(damaged.status, 0) << damaged.err;
    EXPECT_TRUE(Holds(damaged.out, "\"damaged\": {\"files\": 1,")) << damaged.out;

    const RunResult missing = Run({"stats", Path("card"), Path("nowhere")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Holds(missing.err, "quillane stats: cannot read " + Path("nowhere"))) << missing.err;
    EXPECT_TRUE(Holds(missing.out, "total")) << missing.out;
}

}  // namespace
}  // namespace quillane::cli::test
