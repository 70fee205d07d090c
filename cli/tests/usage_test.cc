// The command line of every subcommand: --help answers with exit 0, a wrong
// command line with exit 2 and a message on standard error, never output.
#include "cli/tests/cli_test_support.h"

namespace quillane::cli::test {
namespace {

class UsageTest : public CliTest {};

TEST_F(UsageTest, HelpOfTheCommandAndOfEverySubcommandExitsZero) {
    const RunResult overview = Run({"--help"});
    EXPECT_EQ(overview.status, 0);
    EXPECT_TRUE(Holds(overview.out, "usage: quillane SUBCOMMAND"));
    EXPECT_EQ(overview.err, "");
    for (const char* name :
         {"demo", "mount", "convert", "recover", "exceptions", "pack", "unpack", "cat", "info", "install", "reg", "stats", "cards"}) {
        for (const char* flag : {"--help", "-h"}) {
            const RunResult help = Run({name, flag});
            EXPECT_EQ(help.status, 0) << name << " " << flag;
            EXPECT_TRUE(Holds(help.out, std::string("usage: quillane ") + name)) << help.out;
            EXPECT_EQ(help.err, "") << name;
        }
        EXPECT_TRUE(Holds(overview.out, std::string("  ") + name)) << name;
    }
    const RunResult help_of = Run({"help", "pack"});
    EXPECT_EQ(help_of.status, 0);
    EXPECT_TRUE(Holds(help_of.out, "usage: quillane pack [--encoder zlib|libdeflate] IN OUT"));
}

TEST_F(UsageTest, WrongCommandLinesExitTwoWithTheReasonOnStandardError) {
    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } cases[] = {
        {{}, "needs a subcommand"},
        {{"frobnicate"}, "unknown subcommand 'frobnicate'"},
        {{"help", "frobnicate"}, "unknown subcommand 'frobnicate'"},
        {{"pack"}, "needs IN and OUT"},
        {{"pack", "a"}, "needs IN and OUT"},
        {{"pack", "a", "b", "c"}, "needs IN and OUT"},
        {{"pack", "-x", "a", "b"}, "unknown option -x"},
        {{"pack", "--fast", "a", "b"}, "unknown option --fast"},
        {{"unpack", "a"}, "needs IN and OUT"},
        {{"cat"}, "needs at least one FILE"},
        {{"info"}, "needs at least one FILE"},
        {{"convert"}, "needs CARD_DIR"},
        {{"convert", "a", "b"}, "needs CARD_DIR"},
        {{"recover"}, "needs CARD_DIR"},
        {{"recover", "--apply"}, "needs CARD_DIR"},
        {{"recover", "a", "b"}, "needs CARD_DIR"},
        {{"recover", "--force", "a"}, "unknown option --force"},
        {{"mount", "card"}, "mount"},
        {{"mount", "-o"}, ""},
        {{"exceptions", "add"}, "add needs at least one TYPE"},
        {{"exceptions", "delete"}, "delete needs at least one TYPE"},
        {{"exceptions", "list", "mp3"}, "list takes no TYPE"},
        {{"exceptions", "clear", "mp3"}, "clear takes no TYPE"},
        {{"exceptions", "remove", "mp3"}, "unknown action remove"},
        {{"install", "extra"}, "takes no arguments"},
        {{"reg"}, "needs an action"},
        {{"reg", "set", "HKLM\\x"}, "set needs KEY, VALUE, TYPE and DATA"},
        {{"reg", "frob"}, "unknown action frob"},
        {{"stats"}, "needs at least one PATH"},
        {{"cards", "add", "x"}, "add needs NAME and PATH"},
        {{"exceptions", "list", "--media"}, "--media goes with add"},
        {{"reg", "query"}, "query needs KEY"},
        {{"reg", "query", "HKXX\\System"}, "KEY must start with HKLM"},
        {{"demo", "extra"}, "takes no arguments"},
    };
    for (const auto& c : cases) {
        const RunResult result = Run(c.arguments);
        std::string shown;
        for (const auto& a : c.arguments) shown += a + " ";
        EXPECT_EQ(result.status, 2) << shown;
        EXPECT_TRUE(Holds(result.err, c.message)) << shown << "\n" << result.err;
        EXPECT_EQ(result.out, "") << shown;
    }
}

}  // namespace
}  // namespace quillane::cli::test
