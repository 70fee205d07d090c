// Tests of the UTF-8 <-> UTF-16 conversion: well-formed text both ways, and
// every kind of malformed input refused with ERROR_NO_UNICODE_TRANSLATION.
#include "platform/core/utf.h"

#include <gtest/gtest.h>

#include "platform/core/last_error.h"

namespace platform {
namespace {

struct Text {
    const char* what;
    std::string utf8;
    std::u16string utf16;
};

const Text kWellFormed[] = {
    {"empty", "", u""},
    {"ASCII", "notes.txt", u"notes.txt"},
    {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    {"last one-byte", "\x7F", u"\x7F"},
    {"first two-byte", "\xC2\x80", u"\x80"},
    {"Latin-1", "caf\xC3\xA9", u"café"},
    {"last two-byte", "\xDF\xBF", u"\x7FF"},
    {"first three-byte", "\xE0\xA0\x80", u"\x800"},
    {"euro sign", "\xE2\x82\xAC", u"€"},
    {"last before surrogates", "\xED\x9F\xBF", u"\xD7FF"},
    {"first after surrogates", "\xEE\x80\x80", u"\xE000"},
    {"last of the BMP", "\xEF\xBF\xBF", u"\xFFFF"},
    {"first astral", "\xF0\x90\x80\x80", u"\U00010000"},
    {"musical symbol", "\xF0\x9D\x84\x9E", u"\U0001D11E"},
    {"emoji in text", "a\xF0\x9F\x98\x80z", u"a\U0001F600z"},
    {"last code point", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
};

TEST(UtfTest, WellFormedTextConvertsBothWays) {
    for (const auto& t : kWellFormed) {
        SCOPED_TRACE(t.what);
        std::u16string utf16 = u"junk";
        EXPECT_TRUE(Utf8ToUtf16(t.utf8, utf16));
        EXPECT_EQ(utf16, t.utf16);
        std::string utf8 = "junk";
        EXPECT_TRUE(Utf16ToUtf8(t.utf16, utf8));
        EXPECT_EQ(utf8, t.utf8);
        EXPECT_EQ(Utf16FromUtf8Lossy(t.utf8), t.utf16);
        EXPECT_EQ(Utf8FromUtf16Lossy(t.utf16), t.utf8);
    }
}

TEST(UtfTest, MalformedUtf8IsRefused) {
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"overlong NUL", "\xC0\x80"},
        {"overlong two-byte", "\xC1\xBF"},
        {"overlong three-byte", "\xE0\x80\x80"},
        {"overlong three-byte, highest", "\xE0\x9F\xBF"},
        {"overlong four-byte", "\xF0\x80\x80\x80"},
        {"overlong four-byte, highest", "\xF0\x8F\xBF\xBF"},
        {"truncated two-byte", "\xC3"},
        {"truncated three-byte", "\xE2\x82"},
        {"truncated four-byte", "\xF0\x9F\x98"},
        {"truncated after text", "abc\xE2"},
        {"lead without continuation", "\xC3" "A"},
        {"stray continuation", "\x80"},
        {"stray continuation after text", "ab\xBF"},
        {"high surrogate encoded", "\xED\xA0\x80"},
        {"low surrogate encoded", "\xED\xBF\xBF"},
        {"surrogate pair encoded", "\xED\xA0\xBD\xED\xB8\x80"},
        {"beyond U+10FFFF", "\xF4\x90\x80\x80"},
        {"lead F5", "\xF5\x80\x80\x80"},
        {"five-byte form", "\xF8\x88\x80\x80\x80"},
        {"byte FE", "\xFE"},
        {"byte FF", "\xFF"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(ERROR_SUCCESS);
        std::u16string out = u"junk";
        EXPECT_FALSE(Utf8ToUtf16(c.bytes, out));
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    }
}

TEST(UtfTest, UnpairedSurrogatesAreRefused) {
    const struct {
        const char* what;
        std::u16string units;
    } cases[] = {
        {"lone high", u"\xD800"},
        {"lone low", u"\xDC00"},
        {"high at the end", u"ab\xDBFF"},
        {"high before a letter", u"\xD800" u"A"},
        {"low before high", u"\xDC00\xD800"},
        {"two highs then a low", u"\xD800\xD800\xDC00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(ERROR_SUCCESS);
        std::string out = "junk";
        EXPECT_FALSE(Utf16ToUtf8(c.units, out));
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(GetLastError(), ERROR_NO_UNICODE_TRANSLATION);
    }
}

TEST(UtfTest, LossyConversionReplacesWhatIsMalformed) {
    EXPECT_EQ(Utf16FromUtf8Lossy("a\xC3" "b"), u"a\uFFFDb");
    EXPECT_EQ(Utf16FromUtf8Lossy("\xED\xA0\x80!"), u"\uFFFD!");
    EXPECT_EQ(Utf16FromUtf8Lossy("x\xFF"), u"x\uFFFD");
    EXPECT_EQ(Utf8FromUtf16Lossy(u"a\xD800" u"b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(Utf8FromUtf16Lossy(u"\xDC00"), "\xEF\xBF\xBD");
}

}  // namespace
}  // namespace platform
