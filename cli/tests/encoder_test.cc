// The block encoders from the command line: `encoder` shows and stores the
// filter's choice as the filter reads it, and `pack --encoder` writes files
// that `unpack` (and a card) reads back whichever encoder wrote them.
#include "cli/tests/cli_test_support.h"

namespace quillane::cli::test {
namespace {

class EncoderTest : public CliTest {};

TEST_F(EncoderTest, ShowsAndStoresTheFiltersEncoder) {
    const RunResult uninstalled = Run({"encoder", "libdeflate"});
    EXPECT_EQ(uninstalled.status, 1);
    EXPECT_TRUE(Holds(uninstalled.err, "quillane install")) << uninstalled.err;
    ASSERT_EQ(Run({"install"}).status, 0);
    struct {
        std::vector<std::string> arguments;
        int status;
        std::string shown;  // what `encoder` prints afterwards
    } steps[] = {
        {{"encoder"}, 0, "zlib\n"},
        {{"encoder", "libdeflate"}, 0, "libdeflate\n"},
        {{"encoder", "gzip"}, 2, "libdeflate\n"},  // refused: nothing stored
        {{"encoder", "zlib", "libdeflate"}, 2, "libdeflate\n"},
        {{"encoder", "zlib"}, 0, "zlib\n"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.arguments.back());
        EXPECT_EQ(Run(step.arguments).status, step.status);
        const RunResult shown = Run({"encoder"});
        EXPECT_EQ(shown.status, 0);
        EXPECT_EQ(shown.out, step.shown);
    }
}

TEST_F(EncoderTest, PackWithEitherEncoderUnpacksExactly) {
    const std::string data = TextOfSize(3 * 131072 + 17) + RandomOfSize(5000);
    WriteFile("in", data);
    std::string packed[2];
    const std::vector<std::string> ways[] = {
        {"pack", "--encoder", "zlib", Path("in"), Path("z")},
        {"pack", Path("in"), Path("d"), "--encoder=libdeflate"},
    };
    for (int i = 0; i < 2; ++i) {
        const RunResult pack = Run(ways[i]);
        ASSERT_EQ(pack.status, 0) << pack.err;
        const std::string name = i == 0 ? "z" : "d";
        packed[i] = ReadFile(name);
        ASSERT_EQ(Run({"unpack", Path(name), Path(name + ".out")}).status, 0);
        EXPECT_EQ(ReadFile(name + ".out"), data);
    }
    EXPECT_NE(packed[0], packed[1]);
    // The default is zlib.
    ASSERT_EQ(Run({"pack", Path("in"), Path("default")}).status, 0);
    EXPECT_EQ(ReadFile("default"), packed[0]);

    const RunResult unknown = Run({"pack", "-e", "lz4", Path("in"), Path("x")});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(Holds(unknown.err, "unknown encoder")) << unknown.err;
    EXPECT_FALSE(Exists("x"));
}

}  // namespace
}  // namespace quillane::cli::test
