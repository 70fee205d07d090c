// Tests of search pattern matching against card names.
#include "platform/fat/wildcard.h"

#include <gtest/gtest.h>

namespace platform::fat {
namespace {

TEST(WildcardTest, PatternsMatchThePlatformsWay) {
    struct {
        const char16_t* pattern;
        const char16_t* name;
        bool matches;
    } cases[] = {
        {u"*", u"readme", true},
        {u"*", u"notes.txt", true},
        {u"*.*", u"readme", true},
        {u"*.*", u"notes.txt", true},
        {u"*.*", u"archive.tar.gz", true},
        {u"*.txt", u"notes.txt", true},
        {u"*.txt", u"NOTES.TXT", true},
        {u"*.TXT", u"notes.txt", true},
        {u"*.txt", u"notes.txt.bak", false},
        {u"*.txt", u"txt", false},
        {u"*.", u"readme", true},
        {u"*.", u"notes.txt", false},
        {u"n?tes.txt", u"notes.txt", true},
        {u"n?tes.txt", u"ntes.txt", false},
        {u"???", u"abc", true},
        {u"???", u"abcd", false},
        {u"ab?", u"ab", true},
        {u"a*b*c", u"aXXbYYc", true},
        {u"a*b*c", u"aXXbYY", false},
        {u"*a*a*a*a*a*b", u"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false},
        {u"v*.tmp", u"v1A2B.TMP", true},
        {u"readme", u"README", true},
        {u"readme", u"readme2", false},
        {u"quillane.x13", u"QUILLANE.X13", true},
        {u"\u00e9t\u00e9*", u"\u00c9T\u00c9.doc", true},
        {u"", u"x", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "pattern " << std::u16string_view(c.pattern).size() << " units, case "
                                        << (&c - cases));
        EXPECT_EQ(MatchesPattern(c.pattern, c.name), c.matches);
    }
}

}  // namespace
}  // namespace platform::fat
