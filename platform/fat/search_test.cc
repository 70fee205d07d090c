// Tests of the FAT layer's searches: patterns against a folder's names,
// find data, the end of a search, the errors of a search that cannot start.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "platform/core/utf.h"
#include "platform/fat/test_card.h"

namespace platform::fat {
namespace {

class SearchTest : public TestCard {
protected:
    // Every name the search yields, in order; empty with the last error set
    // when it could not start.
    std::set<std::string> Names(const std::u16string& spec) {
        std::set<std::string> names;
        WIN32_FIND_DATAW data{};
        HANDLE search = hooks_.FindFirstFileW(hooks_.volume, nullptr, spec.c_str(), &data);
        if (search == INVALID_HANDLE_VALUE) return names;
        do {
            names.insert(Utf8FromUtf16Lossy(data.cFileName));
        } while (hooks_.FindNextFileW(search, &data));
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
        EXPECT_TRUE(hooks_.FindClose(search));
        return names;
    }
};

TEST_F(SearchTest, PatternsFindTheirNames) {
    for (const char* name : {"notes.txt", "README", "photo.JPG", "v1A2B.TMP", "archive.tar.gz", "a.b"}) {
        WriteHostFile(name, "x");
    }
    std::filesystem::create_directory(Host("Folder"));
    using NameSet = std::set<std::string>;
    const NameSet all = {"notes.txt", "README", "photo.JPG", "v1A2B.TMP", "archive.tar.gz", "a.b", "Folder"};
    struct {
        const char16_t* spec;
        NameSet expected;
    } cases[] = {
        {u"*", all},
        {u"\\*", all},
        {u"*.*", all},
        {u"\\*.*", all},
        {u"*.txt", {"notes.txt"}},
        {u"*.TXT", {"notes.txt"}},
        {u"*.", {"README", "Folder"}},
        {u"?.?", {"a.b"}},
        {u"v*.tmp", {"v1A2B.TMP"}},
        {u"*.gz", {"archive.tar.gz"}},
        {u"readme", {"README"}},
        {u"\\folder", {"Folder"}},
        {u"*.doc", {}},
        {u"nothing", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8FromUtf16Lossy(c.spec));
        EXPECT_EQ(Names(c.spec), c.expected);
        if (c.expected.empty()) {
            EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        }
    }
}

TEST_F(SearchTest, SearchesBelowTheRootAndSkipWhatACardCouldNotHold) {
    WriteHostFile("Dir/Sub/inner.txt", "x");
    WriteHostFile("Dir/bad\xff", "x");
    WriteHostFile("Dir/what?", "x");
    WriteHostFile("Dir/dotted.", "x");
    std::filesystem::create_symlink("/etc/passwd", Host("Dir/link"));
    EXPECT_EQ(Names(u"\\dir\\*"), (std::set<std::string>{"Sub"}));
    EXPECT_EQ(Names(u"\\DIR\\SUB\\*.*"), (std::set<std::string>{"inner.txt"}));
}

TEST_F(SearchTest, FindDataDescribesTheEntries) {
    MakeFile(u"hidden.dat", "12345", FILE_ATTRIBUTE_HIDDEN);
    std::filesystem::create_directory(Host("sub"));
    WIN32_FIND_DATAW data{};
    HANDLE search = hooks_.FindFirstFileW(hooks_.volume, nullptr, u"hidden.dat", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::u16string(data.cFileName), u"hidden.dat");
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
    EXPECT_NE(data.ftLastWriteTime.dwHighDateTime, 0u);
    EXPECT_NE(data.ftCreationTime.dwHighDateTime, 0u);
    EXPECT_FALSE(hooks_.FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_FALSE(hooks_.FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(hooks_.FindClose(search));

    search = hooks_.FindFirstFileW(hooks_.volume, nullptr, u"SUB", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(data.nFileSizeLow, 0u);
    EXPECT_TRUE(hooks_.FindClose(search));
}

TEST_F(SearchTest, SearchesThatCannotStart) {
    WriteHostFile("file.txt", "x");
    struct {
        const char16_t* spec;
        DWORD error;
    } cases[] = {
        {u"\\missing\\*", ERROR_PATH_NOT_FOUND},
        {u"\\file.txt\\*", ERROR_PATH_NOT_FOUND},
        {u"\\*.none", ERROR_FILE_NOT_FOUND},
        {u"\\", ERROR_FILE_NOT_FOUND},
        {u"\\a|b*", ERROR_INVALID_NAME},
        {u"..\\*", ERROR_INVALID_NAME},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8FromUtf16Lossy(c.spec));
        WIN32_FIND_DATAW data{};
        EXPECT_EQ(hooks_.FindFirstFileW(hooks_.volume, nullptr, c.spec, &data), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), c.error);
    }
    EXPECT_EQ(hooks_.FindFirstFileW(hooks_.volume, nullptr, u"*", nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(volume_->OpenHandleCount(), 0u);
}

TEST_F(SearchTest, NamesGoneSinceTheStartAreSkipped) {
    for (const char* name : {"one", "two", "three"}) WriteHostFile(name, "x");
    WIN32_FIND_DATAW data{};
    HANDLE search = hooks_.FindFirstFileW(hooks_.volume, nullptr, u"*", &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    std::set<std::string> seen = {Utf8FromUtf16Lossy(data.cFileName)};
    for (const char* name : {"one", "two", "three"}) {
        if (!seen.contains(name)) std::filesystem::remove(Host(name));
    }
    EXPECT_FALSE(hooks_.FindNextFileW(search, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(hooks_.FindClose(search));
}

}  // namespace
}  // namespace platform::fat
