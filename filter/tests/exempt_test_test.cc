// The exempt test against the real registry store: which opened names the
// stored `Exception` text exempts.
#include <gtest/gtest.h>

#include "filter/exempt_test.h"
#include "filter/tests/card_fixture.h"

namespace quillane_test {
namespace {

struct ExemptCase {
    std::u16string_view stored;  // the Exception text
    std::u16string_view name;
    bool exempt;
};

const ExemptCase kExemptCases[] = {
    {u".wmv.mp3", u"\\music\\song.mp3", true},
    {u".wmv.mp3", u"\\music\\SONG.MP3", true},
    {u".wmv.mp3", u"\\video\\clip.WMV", true},
    {u".wmv.mp3", u"\\music\\song.mp", false},
    {u".wmv.mp3", u"\\music\\song.mp3x", false},
    {u".wmv.mp3", u"\\music\\song.p3", false},
    {u".wmv.mp3", u"\\music\\song.mp3.bak", false},
    {u".Mp3", u"\\x.mP3", true},
    // A dot only in a folder part: the token runs across the backslash.
    {u".wmv.mp3", u"\\my.dir\\readme", false},
    {u".dir\\readme", u"\\my.dir\\readme", true},
    {u".profile", u"\\.profile", true},
    {u".gz", u"\\archive.tar.gz", true},
    {u".tar", u"\\archive.tar.gz", false},
    {u".tar.gz", u"\\archive.tar.gz", true},
    {u".tar.gz", u"\\backup.tar", true},
    // A name ending in a dot matches only two dots in a row.
    {u".txt", u"\\file.", false},
    {u"..txt", u"\\file.", true},
    {u"", u"\\song.mp3", false},
    // No dot at all: no type, never exempt, even with an empty item listed.
    {u"..", u"\\README", false},
    {u".readme", u"\\readme", false},
    // Folding covers letters beyond ASCII.
    {u".été", u"\\chanson.ÉTÉ", true},
    {u".ЖУРНАЛ", u"\\заметки.журнал", true},
    {u".ß", u"\\x.SS", false},
};

TEST(ExemptTest, MatchesWholeItemsWithoutRegardToCase) {
    TestRegistry registry;
    for (const auto& c : kExemptCases) {
        registry.SetExceptions(c.stored);
        const std::u16string name(c.name);
        EXPECT_EQ(quillane_filter::IsExempt(name.c_str()), c.exempt ? TRUE : FALSE)
            << "case " << (&c - kExemptCases);
    }
}

TEST(ExemptTest, MissingValueOrKeyExemptsNothing) {
    TestRegistry registry;
    EXPECT_FALSE(quillane_filter::IsExempt(u"\\song.mp3"));  // key, no value
    registry.RemoveFilterKey();
    EXPECT_FALSE(quillane_filter::IsExempt(u"\\song.mp3"));
}

TEST(ExemptTest, ReadsTheStoredTextCutTo2048Characters) {
    TestRegistry registry;
    // 2046 characters of filler item, then ".mp3": the read stops after ".m".
    std::u16string stored = u"." + std::u16string(2045, u'a') + u".mp3";
    registry.SetExceptions(stored);
    EXPECT_TRUE(quillane_filter::IsExempt(u"\\x.m"));
    EXPECT_FALSE(quillane_filter::IsExempt(u"\\x.mp3"));
}

TEST(ExemptTest, TokenThatDoesNotFitIsNotExempt) {
    TestRegistry registry;
    // 255 characters whose only dot is the first: the token with its
    // appended dot and NUL needs 257 units.
    const std::u16string name = u"." + std::u16string(254, u'a');
    registry.SetExceptions(name);
    EXPECT_FALSE(quillane_filter::IsExempt(name.c_str()));
    // One character shorter fits and matches.
    const std::u16string shorter = u"." + std::u16string(253, u'a');
    registry.SetExceptions(shorter);
    EXPECT_TRUE(quillane_filter::IsExempt(shorter.c_str()));
}

TEST(ExemptTest, ChangeTakesEffectAtTheNextTest) {
    TestRegistry registry;
    EXPECT_FALSE(quillane_filter::IsExempt(u"\\a.wmv"));
    registry.SetExceptions(u".wmv");
    EXPECT_TRUE(quillane_filter::IsExempt(u"\\a.wmv"));
    registry.SetExceptions(u"");
    EXPECT_FALSE(quillane_filter::IsExempt(u"\\a.wmv"));
}

}  // namespace
}  // namespace quillane_test
