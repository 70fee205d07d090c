// convert on a card folder on the real disk, through the real storage
// manager and Quillane.so: what each file becomes, the marker file, the
// summary's counts, and every way a file is passed over. Most cases run the
// built binary; a file held open needs the holder in the converting process
// (share modes hold within one process), so that case converts in-process.
#include <cstdlib>
#include <filesystem>

#include "cli/card_conversion.h"
#include "cli/card_session.h"
#include "cli/tests/cli_test_support.h"
#include "platform/registry/registry.h"
#include "platform/storage/file_api.h"
#include "platform/storage/storage_manager.h"
#include "tests/damaged_forms.h"

namespace quillane::cli::test {
namespace {

const std::string kSignature("\xBE\xEF\x85\xA1", 4);

class ConvertTest : public CliTest {
protected:
    bool IsCompressed(const std::string& relative) { return ReadFile(relative).substr(0, 4) == kSignature; }

    // The file as programs on the card see it.
    std::string Plain(const std::string& relative) {
        const RunResult cat = Run({"cat", Path(relative)});
        EXPECT_EQ(cat.status, 0) << relative << cat.err;
        return cat.out;
    }

    // A line of the summary, e.g. Count(out, "compressed:") gives its number.
    static std::string Count(const std::string& out, const std::string& label) {
        const size_t at = out.find("  " + label);
        if (at == std::string::npos) return "(none)";
        const size_t start = out.find_first_not_of(' ', at + 2 + label.size());
        return out.substr(start, out.find_first_of(" \n", start) - start);
    }

    // The attributes of a card file as the platform's file API reports them.
    DWORD CardAttributes(const std::string& card, const std::u16string& path) {
        std::string error;
        bool installed = false;
        const std::unique_ptr<CardSession> session = CardSession::Open(Path(card), &error, &installed);
        EXPECT_NE(session, nullptr) << error;
        if (session == nullptr) return INVALID_FILE_ATTRIBUTES;
        return platform::GetFileAttributesW((session->Root() + path).c_str());
    }
};

TEST_F(ConvertTest, CompressesEveryFileButExemptAndEmptyOnesAndWritesTheHiddenMarker) {
    const std::string text = TextOfSize(200000);
    const std::string log = TextOfSize(3 * 131072 + 11);
    const std::string song = RandomOfSize(150000);
    WriteFile("card/notes.txt", text);
    WriteFile("card/Docs/Reports/2024/summary.log", log);
    WriteFile("card/Music/song.MP3", song);
    WriteFile("card/empty.dat", "");
    WriteFile("card/tiny", "ab");
    ASSERT_EQ(Run({"install"}).status, 0);
    ASSERT_EQ(Run({"exceptions", "add", "mp3"}).status, 0);

    const RunResult result = Run({"convert", Path("card")});
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.err, "");

    EXPECT_TRUE(IsCompressed("card/notes.txt"));
    EXPECT_TRUE(IsCompressed("card/Docs/Reports/2024/summary.log"));
    EXPECT_TRUE(IsCompressed("card/tiny"));
    EXPECT_LT(ReadFile("card/notes.txt").size(), text.size() / 10);
    EXPECT_EQ(Plain("card/notes.txt"), text);
    EXPECT_EQ(Plain("card/Docs/Reports/2024/summary.log"), log);
    EXPECT_EQ(Plain("card/tiny"), "ab");
    EXPECT_EQ(ReadFile("card/Music/song.MP3"), song);  // exempt: left as it was
    EXPECT_EQ(ReadFile("card/empty.dat"), "");

    ASSERT_TRUE(Exists("card/quillane.x13"));
    EXPECT_EQ(ReadFile("card/quillane.x13"), "");
    const DWORD marker = CardAttributes("card", u"\\quillane.x13");
    ASSERT_NE(marker, INVALID_FILE_ATTRIBUTES);
    // Hidden is claimed exactly when the card keeps it: a FUSE-served FAT
    // host has no place for it.
    const bool hidden = (marker & FILE_ATTRIBUTE_HIDDEN) != 0;
    EXPECT_EQ(Holds(result.out, "quillane.x13 created (hidden, empty)"), hidden) << result.out;
    EXPECT_EQ(Holds(result.out, "quillane.x13 created (empty; this card keeps no hidden attribute)"), !hidden);
    if (std::getenv("QUILLANE_TEST_CARD_HOST") == nullptr) EXPECT_TRUE(hidden);

    EXPECT_EQ(Count(result.out, "files walked:"), "5") << result.out;
    EXPECT_EQ(Count(result.out, "compressed:"), "3");
    EXPECT_EQ(Count(result.out, "passed over:"), "2");
    EXPECT_EQ(Count(result.out, "exempt type:"), "1");
    EXPECT_EQ(Count(result.out, "empty:"), "1");
    EXPECT_TRUE(Holds(result.out, "Music/song.MP3"));
    EXPECT_TRUE(Holds(result.out, "stored before:         " +
                                      std::to_string(text.size() + log.size() + song.size() + 2) + " bytes"));
    EXPECT_TRUE(Holds(result.out, "quillane.x13 created"));
    // Plain lines, one per file, when the output is no terminal.
    EXPECT_TRUE(Holds(result.out, "converting 1/5 "));
    EXPECT_TRUE(Holds(result.out, "converting 5/5 "));
}

TEST_F(ConvertTest, DamagedFilesArePassedOverExactlyAsTheyAreAndListed) {
    WriteFile("plain", TextOfSize(3 * 131072 + 500));
    ASSERT_EQ(Run({"pack", Path("plain"), Path("sound")}).status, 0);
    const auto forms = test_forms::DamagedForms(ReadFile("sound"));
    for (size_t i = 0; i < forms.size(); ++i) WriteFile("card/Bad/d" + std::to_string(i) + ".txt", forms[i].bytes);
    WriteFile("card/good.txt", TextOfSize(5000));

    const RunResult result = Run({"convert", Path("card")});
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_EQ(Count(result.out, "damaged, left as is:"), std::to_string(forms.size())) << result.out;
    EXPECT_TRUE(Holds(result.err, "damaged files were left exactly as they are")) << result.err;
    EXPECT_EQ(Count(result.out, "compressed:"), "1");
    for (size_t i = 0; i < forms.size(); ++i) {
        SCOPED_TRACE(forms[i].what);
        EXPECT_EQ(ReadFile("card/Bad/d" + std::to_string(i) + ".txt"), forms[i].bytes) << "the card file changed";
    }
    EXPECT_EQ(List("card"), (std::vector<std::string>{"Bad", "good.txt", "quillane.x13"}));
    EXPECT_TRUE(IsCompressed("card/good.txt"));
}

TEST_F(ConvertTest, SubFoldersAreWalkedAsTheSearchYieldsThem) {
    WriteFile("card/a.txt", "a");
    WriteFile("card/Music/b.txt", "b");
    const RunResult result = Run({"convert", Path("card")});
    ASSERT_EQ(result.status, 0);
    // Whatever order the host gives, a folder's files come right where the
    // folder was met: both files are converted, each exactly once.
    EXPECT_TRUE(Holds(result.out, "converting 1/2 "));
    EXPECT_TRUE(Holds(result.out, "Music/b.txt\n"));
    EXPECT_TRUE(Holds(result.out, "a.txt\n"));
    EXPECT_FALSE(Holds(result.out, "converting 3/"));
}

TEST_F(ConvertTest, ASecondConversionKeepsEveryFileAndItsData) {
    const std::string text = TextOfSize(300000);
    WriteFile("card/notes.txt", text);
    ASSERT_EQ(Run({"convert", Path("card")}).status, 0);
    const RunResult again = Run({"convert", Path("card")});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_TRUE(IsCompressed("card/notes.txt"));
    EXPECT_EQ(Plain("card/notes.txt"), text);
    // The marker from the first conversion is said to be there, not walked.
    EXPECT_EQ(Count(again.out, "compressed:"), "1");
    EXPECT_FALSE(Holds(again.out, "empty:")) << again.out;
    EXPECT_FALSE(Holds(again.out, "converting 2/"));
    EXPECT_TRUE(Holds(again.out, "quillane.x13 was already there"));
    std::vector<std::string> names = List("card");
    EXPECT_EQ(names, (std::vector<std::string>{"notes.txt", "quillane.x13"}));  // no expansion or staging file left
}

TEST_F(ConvertTest, TheFiltersLeftoversArePassedOverForRecover) {
    WriteFile("card/notes.txt", TextOfSize(5000));
    WriteFile("card/y8344.TMP", "a close's unfinished staging file");
    WriteFile("card/V1A2B.tmp", "an open's expansion file");
    WriteFile("card/Docs/y8344.TMP", "a user's file that only looks alike");
    const RunResult result = Run({"convert", Path("card")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(Count(result.out, "files walked:"), "2") << result.out;
    EXPECT_EQ(Count(result.out, "filter's leftovers:"), "2");
    EXPECT_TRUE(Holds(result.out, "quillane recover " + Path("card")));
    EXPECT_FALSE(Holds(result.out, "converting 1/2 y8344.TMP"));
    EXPECT_EQ(ReadFile("card/y8344.TMP"), "a close's unfinished staging file");
    EXPECT_EQ(ReadFile("card/V1A2B.tmp"), "an open's expansion file");
    EXPECT_TRUE(IsCompressed("card/Docs/y8344.TMP"));
}

TEST_F(ConvertTest, PathsOver255CharactersArePassedOverNeverCut) {
    const std::string a(120, 'a');
    const std::string b(100, 'b');  // "\Storage Card\a...\b..." is 235 characters
    WriteFile("card/short.txt", TextOfSize(1000));
    WriteFile("card/" + a + "/" + b + "/long-name-of-a-file.txt", TextOfSize(1000));  // 259
    WriteFile("card/" + a + "/" + b + "/cccccccccccccccccccc/inside.txt", TextOfSize(1000));  // the folder: 256
    WriteFile("card/" + a + "/fits.txt", TextOfSize(1000));
    const RunResult result = Run({"convert", Path("card")});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Holds(result.err, "2 files or folders were not converted")) << result.err;
    EXPECT_EQ(Count(result.out, "path too long (>255):"), "2") << result.out;
    EXPECT_TRUE(Holds(result.out, "/long-name-of-a-file.txt\n"));
    EXPECT_TRUE(Holds(result.out, "/cccccccccccccccccccc/ (folder)\n"));
    EXPECT_TRUE(IsCompressed("card/short.txt"));
    EXPECT_TRUE(IsCompressed("card/" + a + "/fits.txt"));
    EXPECT_FALSE(IsCompressed("card/" + a + "/" + b + "/long-name-of-a-file.txt"));
    EXPECT_FALSE(IsCompressed("card/" + a + "/" + b + "/cccccccccccccccccccc/inside.txt"));
    EXPECT_TRUE(Exists("card/quillane.x13"));  // the marker comes whatever happened to single files
}

TEST_F(ConvertTest, ADeepTreeIsWalkedToThePathLimit) {
    // "\Storage Card" is 13 characters; every level adds 2.
    std::string folder = "card";
    for (int level = 1; level <= 125; ++level) {
        folder += "/d";
        if (level == 110) WriteFile(folder.substr(0) + "/f.txt", TextOfSize(5000));
    }
    WriteFile(folder + "/bottom.txt", TextOfSize(5000));
    const RunResult result = Run({"convert", Path("card")});
    EXPECT_EQ(result.status, 1);  // the bottom lies beyond the limit
    std::string level_110 = "card";
    for (int level = 1; level <= 110; ++level) level_110 += "/d";
    EXPECT_TRUE(IsCompressed(level_110 + "/f.txt"));
    EXPECT_FALSE(IsCompressed(folder + "/bottom.txt"));
    EXPECT_EQ(Count(result.out, "compressed:"), "1");
    EXPECT_EQ(Count(result.out, "path too long (>255):"), "1");  // the first folder whose search would not fit
}

TEST_F(ConvertTest, AFileHeldOpenElsewhereIsPassedOverAndTheRestConverted) {
    WriteFile("card/held.txt", TextOfSize(5000));
    WriteFile("card/free.txt", TextOfSize(5000));
    std::string error;
    bool installed = false;
    const std::unique_ptr<CardSession> session = CardSession::Open(Path("card"), &error, &installed);
    ASSERT_NE(session, nullptr) << error;
    EXPECT_TRUE(installed);
    const HANDLE holder = platform::CreateFileW((session->Root() + u"\\held.txt").c_str(), GENERIC_READ,
                                                FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const ConversionReport report = ConvertCard(*session, nullptr);
    EXPECT_TRUE(platform::CloseHandle(holder));

    EXPECT_EQ(report.files_total, 2u);
    EXPECT_EQ(report.compressed, 1u);
    EXPECT_EQ(report.held_open, std::vector<std::string>{"held.txt"});
    EXPECT_EQ(report.Failures(), 1u);
    EXPECT_TRUE(report.marker_created);
    EXPECT_TRUE(IsCompressed("card/free.txt"));
    EXPECT_FALSE(IsCompressed("card/held.txt"));
}

TEST_F(ConvertTest, AKeyWithoutItsDllGetsTheFilterInstalledFirst) {
    // The settings program may have made the key for the Exception value
    // alone; a card walked without the filter would stay as it is.
    HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\FATFS\\Filters\\Quillane", 0,
                                        nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    platform::RegCloseKey(key);
    WriteFile("card/notes.txt", TextOfSize(5000));
    const RunResult result = Run({"convert", Path("card")});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(Holds(result.out, "Installed the filter"));
    EXPECT_TRUE(IsCompressed("card/notes.txt"));
}

TEST_F(ConvertTest, ACardThatAMountServesIsRefused) {
    // The mount's storage manager would not see the conversion's handles,
    // nor the conversion the mount's: a file open through the mount could
    // be replaced under it.
    WriteFile("card/notes.txt", "text");
    std::filesystem::create_directories(Path("view"));
    const RunResult mount = Run({"mount", Path("card"), Path("view")});
    if (mount.status != 0) GTEST_SKIP() << "no FUSE mount here: " << mount.err;
    const RunResult result = Run({"convert", Path("card")});
    EXPECT_EQ(std::system(("fusermount3 -u " + Path("view")).c_str()), 0);
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Holds(result.err, "is already served by `quillane mount ")) << result.err;
    EXPECT_EQ(ReadFile("card/notes.txt"), "text");
    EXPECT_FALSE(Exists("card/quillane.x13"));
}

TEST_F(ConvertTest, AMissingFolderOrAFileIsNoCard) {
    const RunResult missing = Run({"convert", Path("nothing")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_TRUE(Holds(missing.err, "No such file or directory")) << missing.err;
    WriteFile("file", "x");
    const RunResult file = Run({"convert", Path("file")});
    EXPECT_EQ(file.status, 1);
    EXPECT_TRUE(Holds(file.err, "is not a folder"));
    EXPECT_EQ(ReadFile("file"), "x");
}

TEST_F(ConvertTest, AnEmptyCardGetsJustTheMarker) {
    std::filesystem::create_directories(Path("card"));
    const RunResult result = Run({"convert", Path("card")});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(Count(result.out, "files walked:"), "0");
    EXPECT_EQ(List("card"), std::vector<std::string>{"quillane.x13"});
}

TEST_F(ConvertTest, AFilterThatCannotBeLoadedStopsTheConversionBeforeAnyFile) {
    HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\FATFS\\Filters\\Quillane", 0,
                                        nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::u16string dll = u"/nonexistent/Quillane.so";
    ASSERT_EQ(platform::RegSetValueExW(key, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                                       static_cast<DWORD>((dll.size() + 1) * 2)),
              ERROR_SUCCESS);
    platform::RegCloseKey(key);
    WriteFile("card/notes.txt", "text");
    const RunResult result = Run({"convert", Path("card")});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Holds(result.err, "/nonexistent/Quillane.so")) << result.err;
    EXPECT_EQ(List("card"), std::vector<std::string>{"notes.txt"});
}

}  // namespace
}  // namespace quillane::cli::test
