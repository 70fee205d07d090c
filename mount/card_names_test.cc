// Tests of the kernel-to-card name conversion and the case-insensitive keys
// the mount knows names by.
#include "mount/card_names.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace quillane::mount {
namespace {

TEST(CardNameTest, ConvertsOrRefuses) {
    struct {
        std::string utf8;
        int error;
        std::u16string name;
    } cases[] = {
        {"notes.txt", 0, u"notes.txt"},
        {"\xc3\xa9t\xc3\xa9.txt", 0, u"\u00e9t\u00e9.txt"},
        {"\xf0\x9f\x98\x80", 0, u"\U0001F600"},
        {"", EINVAL, u""},
        {".", EINVAL, u""},
        {"..", EINVAL, u""},
        {"a\\b", EINVAL, u""},
        {"a*", EINVAL, u""},
        {"what?", EINVAL, u""},
        {"bad\xff", EILSEQ, u""},
        {"\xc0\xaf", EILSEQ, u""},  // an overlong "/"
        {std::string(255, 'a'), 0, std::u16string(255, u'a')},
        {std::string(256, 'a'), ENAMETOOLONG, u""},
    };
    for (const auto& c : cases) {
        std::u16string name;
        EXPECT_EQ(CardName(c.utf8, name), c.error) << c.utf8;
        if (c.error == 0) {
            EXPECT_EQ(name, c.name) << c.utf8;
        }
    }
}

TEST(CardNameTest, KeysIgnoreCaseAndTrailingDotsAndSpaces) {
    EXPECT_EQ(NameKey(u"Notes.txt"), NameKey(u"NOTES.TXT"));
    EXPECT_EQ(NameKey(u"notes"), NameKey(u"notes. . "));
    EXPECT_EQ(NameKey(u"\u00e9t\u00e9"), NameKey(u"\u00c9T\u00c9"));
    EXPECT_NE(NameKey(u"notes"), NameKey(u"notes.txt"));
    EXPECT_NE(NameKey(u".profile"), NameKey(u"profile"));
}

TEST(CardNameTest, KnowsTheFilterWorkingNames) {
    struct {
        std::u16string name;
        bool working;
    } cases[] = {
        {u"v1A2B.TMP", true},  {u"y0000.tmp", true},  {u"VFFFF.Tmp", true},  {u"Yabcd.TMP", true},
        {u"v12.TMP", false},   {u"vXYZW.TMP", false}, {u"w1A2B.TMP", false}, {u"v1A2B.TMPX", false},
        {u"v1A2B.TXT", false}, {u"v1A2BC.TMP", false}, {u"notes.txt", false}, {u"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsFilterWorkingName(c.name), c.working) << KernelName(c.name);
    }
}

TEST(CardNameTest, KernelNamesRoundTrip) {
    std::u16string name;
    ASSERT_EQ(CardName("\xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt", name), 0);
    EXPECT_EQ(KernelName(name), "\xc3\xa9t\xc3\xa9 \xe2\x82\xac.txt");
}

}  // namespace
}  // namespace quillane::mount
