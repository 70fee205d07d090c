// demo runs to its end with exit 0, with a mount where FUSE works here and
// without one otherwise (saying so), and leaves the user's settings alone:
// without QUILLANE_REGISTRY it keeps its own store in its temporary folder.
#include <filesystem>
#include <fstream>
#include <map>

#include "cli/tests/cli_test_support.h"

namespace quillane::cli::test {
namespace {

const std::string kSignature("\xBE\xEF\x85\xA1", 4);

class DemoTest : public CliTest {
protected:
    // The demo's folder, as its last lines name it.
    std::string DemoFolder(const std::string& out) {
        const std::string lead = "The card folder is ";
        const size_t at = out.find(lead);
        if (at == std::string::npos) return {};
        const size_t start = at + lead.size();
        std::string card = out.substr(start, out.find('\n', start) - start);
        if (!card.empty() && card.back() == '.') card.pop_back();
        return std::filesystem::path(card).parent_path().string();
    }

    void ExpectConvertedCard(const std::string& folder) {
        const std::string card = folder + "/card";
        EXPECT_TRUE(std::filesystem::exists(card + "/quillane.x13"));
        EXPECT_EQ(std::filesystem::file_size(card + "/quillane.x13"), 0u);
        std::ifstream report(card + "/Documents/report.txt", std::ios::binary);
        std::string head(4, '\0');
        report.read(head.data(), 4);
        EXPECT_EQ(head, kSignature);
        std::ifstream song(card + "/Music/song.mp3", std::ios::binary);
        song.read(head.data(), 3);
        EXPECT_EQ(head.substr(0, 3), "ID3");  // exempt: left plain
    }

    std::map<std::string, std::string> OwnHome() {
        std::filesystem::create_directories(Path("home"));
        std::filesystem::create_directories(Path("tmp"));
        return {{"QUILLANE_REGISTRY", ""},
                {"HOME", Path("home")},
                {"XDG_CONFIG_HOME", Path("home/.config")},
                {"TMPDIR", Path("tmp")}};
    }
};

TEST_F(DemoTest, RunsToTheEndAndKeepsItsRegistryInItsOwnFolder) {
    const RunResult result = Run({"demo"}, {}, OwnHome());
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(Holds(result.out, "== Done =="));
    const bool mounted = Holds(result.out, "Mounted: view/ now serves card/");
    EXPECT_TRUE(mounted || Holds(result.out, "No mount here: ")) << result.out;
    if (mounted) {
        EXPECT_TRUE(Holds(result.out, "$ df -h view card"));
        EXPECT_TRUE(Holds(result.out, "Unmounted."));
    }
    EXPECT_TRUE(Holds(result.out, "That is 2.0 times the capacity before the conversion"));
    EXPECT_TRUE(Holds(result.out, "$ quillane convert card"));
    EXPECT_TRUE(Holds(result.out, "marker:                quillane.x13 created"));

    const std::string folder = DemoFolder(result.out);
    ASSERT_FALSE(folder.empty()) << result.out;
    EXPECT_EQ(folder.rfind(Path("tmp/quillane-demo-"), 0), 0u) << folder;
    ExpectConvertedCard(folder);
    EXPECT_TRUE(Holds(result.out, "Registry store: " + folder + "/registry"));
    EXPECT_TRUE(std::filesystem::exists(folder + "/registry"));
    // Nothing of the user's: neither the default store nor a test store.
    EXPECT_FALSE(std::filesystem::exists(Path("home/.config/quillane")));
    EXPECT_FALSE(std::filesystem::exists(RegistryPath()));
    // No mount is left behind: the mount point is an empty folder again.
    if (std::filesystem::exists(folder + "/view")) {
        EXPECT_TRUE(std::filesystem::is_empty(folder + "/view"));
    }
}

TEST_F(DemoTest, WithoutAMountItSaysSoAndShowsTheRestThroughTheStorageManager) {
    std::map<std::string, std::string> environment = OwnHome();
    environment["QUILLANE_DEMO_MOUNT"] = "0";
    const RunResult result = Run({"demo"}, {}, environment);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(Holds(result.out, "No mount here: QUILLANE_DEMO_MOUNT=0 asks for no mount"));
    EXPECT_FALSE(Holds(result.out, "Mounted:"));
    EXPECT_TRUE(Holds(result.out, "$ quillane pack card/Documents/report.txt report.packed"));
    EXPECT_TRUE(Holds(result.out, "Documents/letter.txt           text, new"));
    EXPECT_TRUE(Holds(result.out, "That is 2.0 times the capacity before the conversion"));
    ExpectConvertedCard(DemoFolder(result.out));
}

TEST_F(DemoTest, AStoreTheUserNamedIsTheOneUsed) {
    std::map<std::string, std::string> environment = OwnHome();
    environment["QUILLANE_REGISTRY"] = RegistryPath();
    environment["QUILLANE_DEMO_MOUNT"] = "0";
    const RunResult result = Run({"demo"}, {}, environment);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_TRUE(Holds(result.out, "Registry store: " + RegistryPath()));
    const RunResult list = Run({"exceptions", "list"});
    EXPECT_EQ(list.out, "jpg\nmp3\n");
}

}  // namespace
}  // namespace quillane::cli::test
