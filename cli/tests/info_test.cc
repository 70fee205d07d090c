// info on ordinary files: what it reports for plain, compressed and
// damaged files, and that damage makes it fail naming the first damaged
// block's offset.
#include "cli/tests/cli_test_support.h"

namespace quillane::cli::test {
namespace {

// The stored length of the block whose header starts at `header`.
size_t StoredLength(const std::string& packed, size_t header) {
    size_t length = 0;
    for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(packed[header + 4 + i]);
    return length;
}

class InfoTest : public CliTest {
protected:
    std::string Pack(const std::string& name, const std::string& data) {
        WriteFile(name + ".plain", data);
        EXPECT_EQ(Run({"pack", Path(name + ".plain"), Path(name)}).status, 0);
        return ReadFile(name);
    }
};

TEST_F(InfoTest, ACompressedFileShowsItsSizesBlocksAndASoundCheck) {
    const std::string packed = Pack("mixed", TextOfSize(2 * 131072) + RandomOfSize(1000));
    const RunResult result = Run({"info", Path("mixed")});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(Holds(result.out, Path("mixed") + ": compressed\n"));
    EXPECT_TRUE(Holds(result.out, "plain size:   263144 bytes\n"));
    EXPECT_TRUE(Holds(result.out, "stored size:  " + std::to_string(packed.size()) + " bytes\n"));
    EXPECT_TRUE(Holds(result.out, "blocks:       2 compressed, 1 raw\n")) << result.out;
    EXPECT_TRUE(Holds(result.out, "% of the plain size"));
    EXPECT_TRUE(Holds(result.out, "check:        sound"));
    EXPECT_EQ(result.err, "");
}

TEST_F(InfoTest, APlainFileIsSaidToBePlain) {
    WriteFile("notes.txt", "hello");
    const RunResult result = Run({"info", Path("notes.txt")});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(Holds(result.out, "notes.txt: plain (not compressed)\n  plain size:   5 bytes\n"));
}

TEST_F(InfoTest, AnEmptyCompressedFileHoldsNoBlocks) {
    Pack("empty", "");
    const RunResult result = Run({"info", Path("empty")});
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(Holds(result.out, "plain size:   0 bytes\n"));
    EXPECT_TRUE(Holds(result.out, "blocks:       0 compressed, 0 raw\n"));
}

TEST_F(InfoTest, DamageFailsAndNamesTheFirstDamagedBlocksOffset) {
    const std::string packed = Pack("text", TextOfSize(3 * 131072));
    // The second block's header starts behind the signature, the first
    // header and the first payload.
    const size_t second = 4 + 8 + StoredLength(packed, 4);

    const struct {
        const char* name;
        size_t at;
        size_t expected_offset;
    } cases[] = {
        {"second block's zlib stream", second + 8 + 5, second},
        {"first block's zlib stream", 4 + 8 + 3, 4},
    };
    for (const auto& c : cases) {
        std::string damaged = packed;
        damaged[c.at] = static_cast<char>(damaged[c.at] ^ 0xFF);
        WriteFile("damaged", damaged);
        const RunResult result = Run({"info", Path("damaged")});
        EXPECT_EQ(result.status, 1) << c.name;
        EXPECT_TRUE(Holds(result.out, "DAMAGED, first damaged block at offset " + std::to_string(c.expected_offset)))
            << c.name << "\n" << result.out;
        EXPECT_TRUE(Holds(result.err, "first damaged block starts at offset " + std::to_string(c.expected_offset)))
            << result.err;
    }
}

TEST_F(InfoTest, AFileCutShortIsDamagedWhereTheCutBlockStarts) {
    const std::string packed = Pack("text", TextOfSize(131072 + 5000));
    const size_t second = 4 + 8 + StoredLength(packed, 4);
    WriteFile("cut", packed.substr(0, packed.size() - 3));
    const RunResult result = Run({"info", Path("cut")});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Holds(result.err, "offset " + std::to_string(second))) << result.err;
    // Three stray bytes behind the last whole block: a header cut short.
    WriteFile("trailing", packed + "abc");
    const RunResult trailing = Run({"info", Path("trailing")});
    EXPECT_EQ(trailing.status, 1);
    EXPECT_TRUE(Holds(trailing.err, "offset " + std::to_string(packed.size()))) << trailing.err;
}

TEST_F(InfoTest, SeveralFilesAreEachDescribedAndOneFailureFailsTheWhole) {
    Pack("good", TextOfSize(1000));
    const RunResult result = Run({"info", Path("good"), Path("missing"), Path("good.plain")});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Holds(result.out, Path("good") + ": compressed"));
    EXPECT_TRUE(Holds(result.out, Path("good.plain") + ": plain"));
    EXPECT_TRUE(Holds(result.err, "missing: No such file or directory"));
}

TEST_F(InfoTest, StandardInputCanBeDescribed) {
    const std::string packed = Pack("text", TextOfSize(10000));
    const RunResult result = Run({"info", "-"}, packed);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(Holds(result.out, "standard input: compressed"));
    EXPECT_TRUE(Holds(result.out, "plain size:   10000 bytes"));
}

}  // namespace
}  // namespace quillane::cli::test
