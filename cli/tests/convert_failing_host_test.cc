// convert on a card folder whose host closes fail (a FUSE-backed folder that
// cannot write its data back): a file whose close failed is never counted as
// converted, is left exactly as it was, and makes the exit status 1.
#include "cli/tests/cli_test_support.h"
#include "tests/hosts/failing_host.h"

namespace quillane::cli::test {
namespace {

const std::string kSignature("\xBE\xEF\x85\xA1", 4);

class ConvertFailingHostTest : public CliTest {};

TEST_F(ConvertFailingHostTest, AFileWhoseCloseFailsIsCountedFailedAndLeftAsItWas) {
    const std::string notes = TextOfSize(200000);
    const std::string data = TextOfSize(150000);
    WriteFile("backing/notes.txt", notes);
    WriteFile("backing/table.dat", data);
    test_hosts::FailingCloseHost host;
    std::string why;
    // Only the closes of *.txt fail, so the filter's own staging files close
    // soundly and nothing but the failed close stops the file's conversion.
    if (!host.Start(Path("backing"), Path("card"), &why, "*.txt")) GTEST_SKIP() << why;

    const RunResult result = Run({"convert", Path("card")});
    ASSERT_TRUE(host.Stop());
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_TRUE(Holds(result.out, "close failed:")) << result.out;
    EXPECT_TRUE(Holds(result.out, "notes.txt (")) << result.out;
    EXPECT_TRUE(Holds(result.out, "compressed:            1\n")) << result.out;
    EXPECT_EQ(ReadFile("backing/notes.txt"), notes) << "a file whose close failed is not replaced";
    EXPECT_EQ(ReadFile("backing/table.dat").substr(0, 4), kSignature);
    for (const auto& name : List("backing")) {
        EXPECT_TRUE(name == "notes.txt" || name == "table.dat" || name == "quillane.x13") << "left behind: " << name;
    }
}

}  // namespace
}  // namespace quillane::cli::test
