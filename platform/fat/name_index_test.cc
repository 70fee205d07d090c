// Tests of the index of folded names: it finds what a listing finds, sees
// every change made from outside the layer at once (with inotify and
// without), keeps right through the layer's own creates, renames and
// removals, and stays within its bounds.
#include "platform/fat/name_index.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/fat/names.h"
#include "platform/fat/test_card.h"

namespace platform::fat {
namespace {

class NameIndexTest : public TestCard, public ::testing::WithParamInterface<bool> {
protected:
    std::string Variant(NameIndex& index, const std::string& folder, std::u16string_view wide) {
        UniqueFd dir(open(Host(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        EXPECT_TRUE(dir.Valid());
        std::string host_name = "unset";
        EXPECT_EQ(index.FindCaseVariant(dir.Get(), wide, host_name), ERROR_SUCCESS);
        return host_name;
    }
};

// Every step changes the folder from outside right after the index looked
// at it, within the same tick of any host clock, and the next look sees it.
TEST_P(NameIndexTest, SeesOutsideChangesAtOnce) {
    NameIndex index(GetParam());
    std::filesystem::create_directories(Host("docs"));
    WriteHostFile("docs/other.txt", "x");
    enum class Change { kNone, kCreate, kRename, kRemove };
    struct {
        Change change;
        std::string from, to;
        std::u16string wanted;
        std::string found;
    } steps[] = {
        {Change::kNone, "", "", u"report.txt", ""},
        {Change::kCreate, "", "docs/REPORT.TXT", u"report.txt", "REPORT.TXT"},
        {Change::kCreate, "", "docs/Report.txt", u"report.TXT", "REPORT.TXT"},  // the smallest host name
        {Change::kRemove, "docs/REPORT.TXT", "", u"report.txt", "Report.txt"},
        {Change::kRename, "docs/Report.txt", "docs/summary.TXT", u"report.txt", ""},
        {Change::kNone, "", "", u"SUMMARY.txt", "summary.TXT"},
        {Change::kRename, "docs/other.txt", "docs/Report.Txt", u"REPORT.TXT", "Report.Txt"},
        {Change::kRemove, "docs/Report.Txt", "", u"report.txt", ""},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(testing::Message() << "step " << (&step - steps));
        switch (step.change) {
            case Change::kNone:
                break;
            case Change::kCreate:
                WriteHostFile(step.to, "new");
                break;
            case Change::kRename:
                std::filesystem::rename(Host(step.from), Host(step.to));
                break;
            case Change::kRemove:
                std::filesystem::remove(Host(step.from));
                break;
        }
        EXPECT_EQ(Variant(index, "docs", step.wanted), step.found);
    }
    EXPECT_EQ(index.FolderCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutWatching, NameIndexTest, ::testing::Bool());

TEST_P(NameIndexTest, PassesOverNamesNoCardCouldHold) {
    NameIndex index(GetParam());
    WriteHostFile("a:b", "x");
    WriteHostFile("trailing.", "x");
    EXPECT_EQ(Variant(index, ".", u"A:B"), "");
    EXPECT_EQ(Variant(index, ".", u"TRAILING."), "");
    WriteHostFile("Fine", "x");
    EXPECT_EQ(Variant(index, ".", u"FINE"), "Fine");
}

TEST_P(NameIndexTest, KeepsWithinItsFolderLimit) {
    NameIndex index(GetParam());
    const size_t folders = NameIndex::kFolderLimit + 5;
    for (size_t i = 0; i < folders; ++i) {
        const std::string folder = "f" + std::to_string(i);
        WriteHostFile(folder + "/Name" + std::to_string(i), "x");
        EXPECT_EQ(Variant(index, folder, u"NAME" + std::u16string(u"x")), "");
        EXPECT_LE(index.FolderCount(), NameIndex::kFolderLimit);
    }
    EXPECT_EQ(index.FolderCount(), NameIndex::kFolderLimit);
    EXPECT_EQ(index.NameCount(), NameIndex::kFolderLimit);
    // A folder let go is listed again when looked in, and answers right.
    WriteHostFile("f0/Late", "x");
    EXPECT_EQ(Variant(index, "f0", u"LATE"), "Late");
}

using NameIndexLayerTest = TestCard;

TEST_F(NameIndexLayerTest, LooksUpThroughItsIndexAcrossItsOwnChanges) {
    // Names made, renamed and removed through the layer, then found by
    // another case in the same folder at once.
    MakeFile(u"\\Letter.txt", "one");
    HANDLE file = Open(u"\\LETTER.TXT", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(Close(file));
    ASSERT_TRUE(hooks_.MoveFileW(hooks_.volume, u"\\letter.TXT", u"\\Note.txt"));
    EXPECT_EQ(Attributes(u"\\LETTER.TXT"), INVALID_FILE_ATTRIBUTES);
    EXPECT_NE(Attributes(u"\\note.TXT"), INVALID_FILE_ATTRIBUTES);
    // Made outside, between two of the layer's own look-ups.
    WriteHostFile("Outside.txt", "two");
    EXPECT_EQ(ReadHostFile("Outside.txt"), "two");
    EXPECT_NE(Attributes(u"\\OUTSIDE.TXT"), INVALID_FILE_ATTRIBUTES);
    ASSERT_TRUE(hooks_.DeleteFileW(hooks_.volume, u"\\NOTE.txt"));
    EXPECT_EQ(Attributes(u"\\note.txt"), INVALID_FILE_ATTRIBUTES);
    file = Open(u"\\note.TXT", GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(Close(file));
    EXPECT_TRUE(std::filesystem::exists(Host("note.TXT")));
}

}  // namespace
}  // namespace platform::fat
