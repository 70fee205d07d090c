// The exempt test (see exempt_test.h).
//
// The exempt list is the stored text followed by one ".", so that every item
// stands between two dots: .wmv.mp3. for the items wmv and mp3. A file's type
// token is its name from the last "." to the end, followed by one ".", so it
// is found in the list as a plain substring exactly where it equals a whole
// item: neither .MP. nor .MP3X. occurs in .WMV.MP3.
#include "filter/exempt_test.h"

#include "filter/records.h"
#include "platform/core/wide_string.h"
#include "platform/registry/registry.h"

namespace quillane_filter {

// The list buffer holds 4096 characters: room for the 2048 characters a
// 4096-byte read can bring, the appended "." and zeros behind.
BOOL IsExempt(LPCWSTR opened_name) {
    WCHAR list[kExemptListCapacity] = {};
    HKEY key = nullptr;
    if (platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKey, 0, 0, &key) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = kExceptionBytes;
        // The value's type is not looked at: whatever is stored is read as
        // UTF-16 text. A value that does not fit copies nothing (an empty list).
        if (platform::RegQueryValueExW(key, kExceptionValue, nullptr, &type, reinterpret_cast<BYTE*>(list),
                                       &size) != ERROR_SUCCESS) {
            list[0] = 0;
        }
        platform::RegCloseKey(key);
    }
    return IsExemptByList(list, opened_name);
}

BOOL IsExemptByList(WCHAR (&list)[kExemptListCapacity], LPCWSTR opened_name) {
    // At most 2048 characters count, so the appended "." always fits.
    list[kExceptionBytes / sizeof(WCHAR)] = 0;
    platform::WideAppend(list, kExemptListCapacity, u".");

    const size_t length = platform::WideLength(opened_name);
    size_t dot = length;
    while (dot > 0 && opened_name[dot - 1] != u'.') --dot;
    if (dot == 0) return FALSE;  // no "." at all: no type
    WCHAR token[kNameCapacity];
    if (!platform::WideCopy(token, kNameCapacity, opened_name + dot - 1) ||
        !platform::WideAppend(token, kNameCapacity, u".")) {
        return FALSE;  // a token that would not fit its buffer matches nothing
    }

    platform::WideFoldUpper(list);
    platform::WideFoldUpper(token);
    return platform::WideFind(list, token) != nullptr ? TRUE : FALSE;
}

}  // namespace quillane_filter
