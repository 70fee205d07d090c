// UTF-8 <-> UTF-16 conversion at the edges of the platform (host paths,
// terminal text, registry files). Both directions refuse malformed input
// instead of guessing: an overlong or truncated UTF-8 sequence, an encoded
// surrogate, a code point above U+10FFFF, or an unpaired UTF-16 surrogate.
#pragma once

#include <string>
#include <string_view>

#include "platform/core/types.h"

namespace platform {

// On success fills `out` and returns true. On malformed input returns false,
// leaves `out` empty and sets the last error to ERROR_NO_UNICODE_TRANSLATION.
bool Utf8ToUtf16(std::string_view in, std::u16string& out);
bool Utf16ToUtf8(std::u16string_view in, std::string& out);

// For text known to be well formed (literals, names already checked): a
// malformed unit or byte becomes U+FFFD instead of failing.
std::u16string Utf16FromUtf8Lossy(std::string_view in);
std::string Utf8FromUtf16Lossy(std::u16string_view in);

}  // namespace platform
