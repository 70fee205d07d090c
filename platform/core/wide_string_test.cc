// Tests of the UTF-16 string helpers: upper-case folding beyond ASCII,
// comparison with and without case, substring search, and the fixed-buffer
// copies that refuse rather than overrun.
#include "platform/core/wide_string.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

namespace platform {
namespace {

TEST(WideToUpperTest, MapsLettersOfEveryScriptAndNothingElse) {
    const struct {
        WCHAR in;
        WCHAR out;
    } cases[] = {
        // ASCII, with the characters on either side of each letter range.
        {u'a', u'A'}, {u'z', u'Z'}, {u'A', u'A'}, {u'@', u'@'}, {u'[', u'['}, {u'`', u'`'}, {u'{', u'{'},
        {u'0', u'0'}, {u'.', u'.'}, {0, 0},
        // Latin-1: letters map, the sign between them does not.
        {u'é', u'É'}, {u'à', u'À'}, {u'þ', u'Þ'}, {u'ÿ', u'Ÿ'}, {u'÷', u'÷'}, {u'×', u'×'}, {u'É', u'É'},
        {u'µ', u'Μ'},
        // The sharp s has no single upper-case letter and stays.
        {u'ß', u'ß'},
        // Latin Extended, Greek, Cyrillic, Armenian, full-width forms.
        {u'ı', u'I'}, {u'ſ', u'S'}, {u'ǆ', u'Ǆ'}, {u'α', u'Α'}, {u'ω', u'Ω'}, {u'ς', u'Σ'}, {u'ά', u'Ά'},
        {u'я', u'Я'}, {u'ё', u'Ё'}, {u'ж', u'Ж'}, {u'ա', u'Ա'}, {u'ａ', u'Ａ'},
        // No simple mapping, and units that are not letters at all.
        {u'\xFB00', u'\xFB00'}, {u'日', u'日'}, {u'\xFFFF', u'\xFFFF'},
        // Surrogate halves come back as they are.
        {u'\xD800', u'\xD800'}, {u'\xDBFF', u'\xDBFF'}, {u'\xDC00', u'\xDC00'}, {u'\xDFFF', u'\xDFFF'},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<int>(WideToUpper(c.in)), static_cast<int>(c.out)) << std::hex << static_cast<int>(c.in);
    }
}

TEST(WideFoldUpperTest, FoldsEveryUnitInPlaceAndByCopy) {
    std::u16string text = u".wmv.Mp3.été.\xD83D\xDE00.";
    const std::u16string expected = u".WMV.MP3.ÉTÉ.\xD83D\xDE00.";
    EXPECT_EQ(WideFoldUpper(std::u16string_view(text)), expected);
    WideFoldUpper(text.data());
    EXPECT_EQ(text, expected);
}

int Sign(int v) { return (v > 0) - (v < 0); }

TEST(WideCompareTest, OrdersByCodeUnitWithAndWithoutCase) {
    const struct {
        std::u16string a;
        std::u16string b;
        int exact;
        int no_case;
    } cases[] = {
        {u"abc", u"abc", 0, 0},
        {u"abc", u"ABC", 1, 0},
        {u"Café", u"CAFÉ", 1, 0},
        {u"я", u"Я", 1, 0},
        {u"a", u"b", -1, -1},
        {u"B", u"a", -1, 1},
        {u"ab", u"abc", -1, -1},
        {u"abc", u"ab", 1, 1},
        {u"", u"", 0, 0},
        {u"", u"a", -1, -1},
        {u"straße", u"STRASSE", 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.a) + " / " + testing::PrintToString(c.b));
        EXPECT_EQ(Sign(WideCompare(c.a.c_str(), c.b.c_str())), c.exact);
        EXPECT_EQ(Sign(WideCompareNoCase(c.a, c.b)), c.no_case);
    }
}

TEST(WideFindTest, FindsPlainSubstrings) {
    const struct {
        const char16_t* haystack;
        const char16_t* needle;
        int at;  // -1: not found
    } cases[] = {
        {u".WMV.MP3.", u".MP3.", 4},
        {u".WMV.MP3.", u".WMV.", 0},
        {u".WMV.MP3.", u".MP.", -1},
        {u".WMV.MP3.", u".P3.", -1},
        {u".WMV.MP3.", u".MP3X.", -1},
        {u"ABC", u"abc", -1},
        {u"abc", u"", 0},
        {u"", u"", 0},
        {u"", u"a", -1},
        {u"aaab", u"aab", 1},
        {u"abcabc", u"cab", 2},
        {u"abc", u"abcd", -1},
        {u"x\xD83D\xDE00y", u"\xDE00y", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::u16string(c.haystack)) + " / " +
                     testing::PrintToString(std::u16string(c.needle)));
        const LPCWSTR found = WideFind(c.haystack, c.needle);
        if (c.at < 0) {
            EXPECT_EQ(found, nullptr);
        } else {
            EXPECT_EQ(found, c.haystack + c.at);
        }
    }
}

TEST(WideLengthTest, CountsUnitsBeforeTheNul) {
    EXPECT_EQ(WideLength(u""), 0u);
    EXPECT_EQ(WideLength(u"abc"), 3u);
    EXPECT_EQ(WideLength(u"\xD83D\xDE00"), 2u);
}

TEST(WideCopyTest, CopiesOnlyWhatFitsWithItsNul) {
    const struct {
        size_t capacity;
        bool fits;
    } cases[] = {{0, false}, {1, false}, {3, false}, {4, true}, {8, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::array<WCHAR, 8> target;
        target.fill(u'#');
        EXPECT_EQ(WideCopy(target.data(), c.capacity, u"abc"), c.fits);
        if (c.fits) {
            EXPECT_EQ(std::u16string(target.data()), u"abc");
            EXPECT_EQ(target[4], u'#');
        } else {
            EXPECT_TRUE(std::all_of(target.begin(), target.end(), [](WCHAR u) { return u == u'#'; }));
        }
    }
}

TEST(WideAppendTest, AppendsOnlyWhenTheWholeResultFits) {
    const struct {
        size_t capacity;
        bool fits;
    } cases[] = {{3, false}, {5, false}, {6, true}, {8, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::array<WCHAR, 8> target;
        target.fill(u'#');
        WideCopy(target.data(), target.size(), u"ab");
        EXPECT_EQ(WideAppend(target.data(), c.capacity, u"cde"), c.fits);
        EXPECT_EQ(std::u16string(target.data()), c.fits ? u"abcde" : u"ab");
        if (!c.fits) {
            EXPECT_EQ(target[3], u'#');
        }
    }
    std::array<WCHAR, 4> target{};
    EXPECT_TRUE(WideAppend(target.data(), target.size(), u""));
    EXPECT_TRUE(WideAppend(target.data(), target.size(), u"."));
    EXPECT_EQ(std::u16string(target.data()), u".");
}

}  // namespace
}  // namespace platform
