// Tests of card names and their resolution: what a card could not hold is
// refused, nothing reaches outside the card folder, lookups ignore case.
#include "platform/fat/names.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "platform/fat/test_card.h"

namespace platform::fat {
namespace {

TEST(NamesTest, SplitPathChecksEveryComponent) {
    const std::u16string long_name(256, u'a');
    const std::u16string longest_name(255, u'a');
    const std::u16string unpaired{u'a', static_cast<char16_t>(0xD800), u'b'};
    struct {
        std::u16string path;
        DWORD error;
        size_t components;
    } cases[] = {
        {u"", ERROR_SUCCESS, 0},
        {u"\\", ERROR_SUCCESS, 0},
        {u"quillane.x13", ERROR_SUCCESS, 1},
        {u"\\quillane.x13", ERROR_SUCCESS, 1},
        {u"\\a\\b\\c.txt", ERROR_SUCCESS, 3},
        {u"\\a\\\\b", ERROR_SUCCESS, 2},
        {u"\\folder\\", ERROR_SUCCESS, 1},
        {u"\\" + longest_name, ERROR_SUCCESS, 1},
        {u"\\" + long_name, ERROR_FILENAME_EXCED_RANGE, 0},
        {u"\\" + std::u16string(300, u'b'), ERROR_FILENAME_EXCED_RANGE, 0},
        {u"..\\x", ERROR_INVALID_NAME, 0},
        {u"\\a\\..\\..\\x", ERROR_INVALID_NAME, 0},
        {u"\\.\\x", ERROR_INVALID_NAME, 0},
        {u"a*b", ERROR_INVALID_NAME, 0},
        {u"a?b", ERROR_INVALID_NAME, 0},
        {u"a:b", ERROR_INVALID_NAME, 0},
        {u"a<b", ERROR_INVALID_NAME, 0},
        {u"a>b", ERROR_INVALID_NAME, 0},
        {u"a|b", ERROR_INVALID_NAME, 0},
        {u"a\"b", ERROR_INVALID_NAME, 0},
        {u"a/b", ERROR_INVALID_NAME, 0},
        {u"/etc/passwd", ERROR_INVALID_NAME, 0},
        {u"C:\\x", ERROR_INVALID_NAME, 0},
        {u"a\tb", ERROR_INVALID_NAME, 0},
        {std::u16string(u"a\x01"), ERROR_INVALID_NAME, 0},
        {unpaired, ERROR_INVALID_NAME, 0},
        {u"...", ERROR_INVALID_NAME, 0},
        {u"  ", ERROR_INVALID_NAME, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        std::vector<NameComponent> components;
        EXPECT_EQ(SplitPath(c.path.c_str(), components), c.error);
        if (c.error == ERROR_SUCCESS) {
            EXPECT_EQ(components.size(), c.components);
        }
    }
    std::vector<NameComponent> components;
    EXPECT_EQ(SplitPath(nullptr, components), ERROR_INVALID_PARAMETER);
}

TEST(NamesTest, TrailingDotsAndSpacesAreDroppedAsOnFat) {
    std::vector<NameComponent> components;
    ASSERT_EQ(SplitPath(u"\\dir. \\name.txt..", components), ERROR_SUCCESS);
    ASSERT_EQ(components.size(), 2u);
    EXPECT_EQ(components[0].host, "dir");
    EXPECT_EQ(components[1].host, "name.txt");
}

TEST(NamesTest, HostNamesACardCouldNotHoldAreNoCardNames) {
    std::u16string wide;
    EXPECT_TRUE(IsCardName("notes.txt", wide));
    EXPECT_EQ(wide, u"notes.txt");
    EXPECT_TRUE(IsCardName("\xc3\xa9t\xc3\xa9", wide));
    EXPECT_EQ(wide, u"\u00e9t\u00e9");
    EXPECT_FALSE(IsCardName("bad\xff", wide));
    EXPECT_FALSE(IsCardName("what?", wide));
    EXPECT_FALSE(IsCardName("a:b", wide));
    EXPECT_FALSE(IsCardName("trailing.", wide));
    EXPECT_FALSE(IsCardName(std::string(256, 'x'), wide));
}

class ResolveTest : public TestCard {};

TEST_F(ResolveTest, NamesNeverReachOutsideTheCard) {
    const std::filesystem::path outside = dir_.string() + "-outside";
    std::filesystem::create_directories(outside);
    std::ofstream(outside / "secret.txt") << "secret";
    std::filesystem::create_directory_symlink(outside, Host("escape"));
    std::filesystem::create_symlink(outside / "secret.txt", Host("secret-link.txt"));
    std::filesystem::create_directory(Host("a"));

    const std::u16string refused[] = {
        u"..\\x",
        u"\\a\\..\\..\\x",
        u"\\escape\\secret.txt",
        u"escape\\secret.txt",
        u"\\secret-link.txt",
        u"/etc/passwd",
        u"\\..\\" + std::u16string(u"card-outside"),
    };
    for (const std::u16string& name : refused) {
        SCOPED_TRACE(testing::Message() << "case " << (&name - refused));
        HANDLE file = Open(name, GENERIC_READ, OPEN_EXISTING);
        EXPECT_EQ(file, INVALID_HANDLE_VALUE);
        if (file != INVALID_HANDLE_VALUE) Close(file);
        // Nor may an overwrite or a new file land outside.
        file = Open(name, GENERIC_WRITE, CREATE_ALWAYS);
        EXPECT_EQ(file, INVALID_HANDLE_VALUE);
        if (file != INVALID_HANDLE_VALUE) Close(file);
        EXPECT_EQ(Attributes(name), INVALID_FILE_ATTRIBUTES);
        EXPECT_FALSE(hooks_.DeleteFileW(hooks_.volume, name.c_str()));
    }
    EXPECT_FALSE(hooks_.MoveFileW(hooks_.volume, u"\\escape\\secret.txt", u"\\taken.txt"));
    MakeFile(u"\\a\\new.txt", "new");
    EXPECT_FALSE(hooks_.DeleteAndRenameFileW(hooks_.volume, u"\\secret-link.txt", u"\\a\\new.txt"));
    EXPECT_TRUE(std::filesystem::is_symlink(Host("secret-link.txt")));
    WIN32_FIND_DATAW data{};
    EXPECT_EQ(hooks_.FindFirstFileW(hooks_.volume, nullptr, u"\\escape\\*", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::filesystem::directory_iterator(outside)->path().filename(), "secret.txt");
    std::ifstream in(outside / "secret.txt");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "secret");
    std::filesystem::remove_all(outside);
}

TEST_F(ResolveTest, LookupIgnoresCase) {
    std::filesystem::create_directories(Host("Docs/Sub"));
    WriteHostFile("Docs/Sub/Letter.TXT", "dear");
    const UniqueFd root(open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    Resolved resolved;
    ASSERT_EQ(Resolve(root.Get(), u"\\DOCS\\sub\\letter.txt", resolved), ERROR_SUCCESS);
    EXPECT_TRUE(resolved.entry.exists);
    EXPECT_EQ(resolved.entry.host_name, "Letter.TXT");
    EXPECT_NE(Attributes(u"\\docs\\SUB\\LETTER.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Attributes(u"\\docs\\missing\\letter.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(ResolveTest, AnExactHostNameWinsOverCaseVariants) {
    WriteHostFile("readme", "lower");
    WriteHostFile("README", "upper");
    HANDLE file = Open(u"README", GENERIC_READ, OPEN_EXISTING);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    char buffer[8];
    DWORD read = 0;
    EXPECT_TRUE(hooks_.ReadFile(file, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "upper");
    EXPECT_TRUE(Close(file));
}

}  // namespace
}  // namespace platform::fat
