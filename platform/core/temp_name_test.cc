// Tests of GetTempFileNameW: the names the filter gives its expansion and
// staging files, and the refusals that keep a name inside its buffer.
#include "platform/core/temp_name.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "platform/core/last_error.h"
#include "platform/core/wide_string.h"

namespace platform {
namespace {

TEST(GetTempFileNameTest, FormsThePlatformsNames) {
    const struct {
        std::u16string directory;
        std::u16string prefix;
        UINT unique;
        std::u16string name;
    } cases[] = {
        {u"\\", u"v", 0x12345, u"\\v2345.TMP"},
        {u"\\", u"y", 0xABCD, u"\\yABCD.TMP"},
        {u"\\", u"v", 0x10000, u"\\v0000.TMP"},
        {u"\\", u"v", 0x7, u"\\v0007.TMP"},
        {u"\\dir", u"v", 0xFFFF, u"\\dir\\vFFFF.TMP"},
        {u"\\dir\\", u"abcdef", 0x1, u"\\dir\\abc0001.TMP"},
        {u"\\", u"", 0x1, u"\\0001.TMP"},
        {u"", u"v", 0x1, u"\\v0001.TMP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.name));
        std::array<WCHAR, MAX_PATH> out{};
        EXPECT_EQ(GetTempFileNameW(c.directory.c_str(), c.prefix.c_str(), c.unique, out.data()), c.unique);
        EXPECT_EQ(std::u16string(out.data()), c.name);
    }
}

TEST(GetTempFileNameTest, RefusesWhatItCannotForm) {
    // A directory of 247 units and a prefix of three give a name of 259
    // units, the longest that fits MAX_PATH with its NUL.
    const std::u16string fits(247, u'd');
    const std::u16string too_long(248, u'd');
    std::array<WCHAR, MAX_PATH> out;
    out.fill(u'#');
    EXPECT_EQ(GetTempFileNameW(fits.c_str(), u"vvvv", 1, out.data()), 1u);
    EXPECT_EQ(WideLength(out.data()), 259u);

    const struct {
        const char* what;
        const WCHAR* directory;
        const WCHAR* prefix;
        UINT unique;
        DWORD error;
    } cases[] = {
        {"zero unique", u"\\", u"v", 0, ERROR_INVALID_PARAMETER},
        {"too long", too_long.c_str(), u"vvvv", 1, ERROR_FILENAME_EXCED_RANGE},
        {"null directory", nullptr, u"v", 1, ERROR_INVALID_PARAMETER},
        {"null prefix", u"\\", nullptr, 1, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        out.fill(u'#');
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(GetTempFileNameW(c.directory, c.prefix, c.unique, out.data()), 0u);
        EXPECT_EQ(GetLastError(), c.error);
        EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](WCHAR u) { return u == u'#'; }));
    }
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(GetTempFileNameW(u"\\", u"v", 1, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
}  // namespace platform
