// Which block encoder a close compresses with (see encoder_choice.h).
#include "filter/encoder_choice.h"

#include "filter/exempt_test.h"
#include "platform/core/wide_string.h"
#include "platform/registry/registry.h"

namespace quillane_filter {

CodecEncoder EncoderNamed(const WCHAR* text) {
    return platform::WideCompareNoCase(text, kEncoderLibdeflate) == 0 ? kCodecEncoderLibdeflate : kCodecEncoderZlib;
}

CodecEncoder ChosenEncoder() {
    // Room for the longest text and its NUL; a longer value names neither.
    WCHAR text[16] = {};
    HKEY key = nullptr;
    if (platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKey, 0, 0, &key) != ERROR_SUCCESS) return kCodecEncoderZlib;
    DWORD type = 0;
    DWORD size = sizeof text - sizeof(WCHAR);  // the last unit stays NUL
    const LSTATUS read =
        platform::RegQueryValueExW(key, kEncoderValue, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    platform::RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) return kCodecEncoderZlib;
    return EncoderNamed(text);
}

}  // namespace quillane_filter
