// quillane cards and reg set/delete: the registry entries the settings
// program and the mount read, written and removed from the command line.
#include "cli/tests/cli_test_support.h"

namespace quillane::cli::test {
namespace {

class CardsTest : public CliTest {};

TEST_F(CardsTest, AddListRemove) {
    WriteFile("one/a.txt", "a");
    WriteFile("two/b.txt", "b");
    EXPECT_EQ(Run({"cards"}).out, "");
    const RunResult added = Run({"cards", "add", "Storage Card", Path("one")});
    ASSERT_EQ(added.status, 0) << added.err;
    ASSERT_EQ(Run({"cards", "add", "SD", Path("two") + "/."}).status, 0);
    EXPECT_EQ(Run({"cards", "list"}).out, "SD\t" + Path("two") + "\nStorage Card\t" + Path("one") + "\n");
    const RunResult host_path = Run({"reg", "query", "HKLM\\System\\StorageManager\\Cards\\SD", "HostPath"});
    EXPECT_TRUE(Holds(host_path.out, "REG_SZ")) << host_path.out;
    EXPECT_TRUE(Holds(host_path.out, Path("two"))) << host_path.out;

    const RunResult again = Run({"cards", "add", "SD", Path("one")});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(Holds(again.err, "registered already")) << again.err;
    EXPECT_EQ(Run({"cards", "add", "X", Path("one/a.txt")}).status, 1);
    EXPECT_EQ(Run({"cards", "add", "X", Path("nowhere")}).status, 1);
    EXPECT_EQ(Run({"cards", "add", "a\\b", Path("one")}).status, 2);

    ASSERT_EQ(Run({"cards", "remove", "SD"}).status, 0);
    EXPECT_EQ(Run({"cards", "list"}).out, "Storage Card\t" + Path("one") + "\n");
    const RunResult gone = Run({"cards", "remove", "SD"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_TRUE(Holds(gone.err, "no card named SD")) << gone.err;
}

TEST_F(CardsTest, RegSetAndDelete) {
    const std::string key = "HKLM\\Software\\Test";
    ASSERT_EQ(Run({"reg", "set", key, "Name", "REG_SZ", "hello"}).status, 0);
    ASSERT_EQ(Run({"reg", "set", key, "Count", "reg_dword", "0x10"}).status, 0);
    const RunResult shown = Run({"reg", "query", key});
    EXPECT_TRUE(Holds(shown.out, "hello")) << shown.out;
    EXPECT_TRUE(Holds(shown.out, "16 (0x00000010)")) << shown.out;

    const struct {
        std::vector<std::string> arguments;
        std::string message;
    } refused[] = {
        {{"reg", "set", key, "Count", "REG_DWORD", "12abc"}, "must be a number"},
        {{"reg", "set", key, "Count", "REG_DWORD", "4294967296"}, "must be a number"},
        {{"reg", "set", key, "Count", "REG_BINARY", "00"}, "TYPE must be REG_SZ or REG_DWORD"},
        {{"reg", "set", "HKLM", "Count", "REG_SZ", "x"}, "needs a key below"},
    };
    for (const auto& c : refused) {
        const RunResult result = Run(c.arguments);
        EXPECT_EQ(result.status, 2) << c.message;
        EXPECT_TRUE(Holds(result.err, c.message)) << result.err;
    }

    ASSERT_EQ(Run({"reg", "delete", key, "Name"}).status, 0);
    EXPECT_FALSE(Holds(Run({"reg", "query", key}).out, "hello"));
    EXPECT_EQ(Run({"reg", "delete", key, "Name"}).status, 1);
    ASSERT_EQ(Run({"reg", "delete", key}).status, 0);
    EXPECT_EQ(Run({"reg", "query", key}).status, 1);
    EXPECT_EQ(Run({"reg", "delete", key}).status, 1);
}

TEST_F(CardsTest, ExceptionsAddMediaAddsTheCompressedTypesOnce) {
    ASSERT_EQ(Run({"install"}).status, 0);
    ASSERT_EQ(Run({"exceptions", "add", "MP3", "txt"}).status, 0);
    const RunResult media = Run({"exceptions", "add", "--media"});
    ASSERT_EQ(media.status, 0) << media.err;
    EXPECT_FALSE(Holds(media.out, "added mp3")) << media.out;
    const RunResult listed = Run({"exceptions"});
    for (const char* type : {"zip", "gz", "jpeg", "webm", "epub", "MP3", "txt"}) {
        EXPECT_TRUE(Holds(listed.out, std::string(type) + "\n")) << type << "\n" << listed.out;
    }
    EXPECT_FALSE(Holds(listed.out, "mp3\n"));
    const RunResult again = Run({"exceptions", "add", "--media", "iso"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(again.out, "added iso\n");
}

}  // namespace
}  // namespace quillane::cli::test
