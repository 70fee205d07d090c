// Temporary file names (see temp_name.h).
#include "platform/core/temp_name.h"

#include "platform/core/last_error.h"
#include "platform/core/wide_string.h"

namespace platform {

UINT GetTempFileNameW(LPCWSTR directory, LPCWSTR prefix, UINT unique, LPWSTR out) {
    if (directory == nullptr || prefix == nullptr || out == nullptr || unique == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string name(directory);
    if (name.empty() || name.back() != u'\\') name.push_back(u'\\');
    for (size_t i = 0; i < 3 && prefix[i] != 0; ++i) name.push_back(prefix[i]);
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    for (int shift = 12; shift >= 0; shift -= 4) name.push_back(kHex[(unique >> shift) & 0xF]);
    name += u".TMP";
    if (name.size() >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    WideCopy(out, MAX_PATH, name.c_str());
    return unique;
}

}  // namespace platform
