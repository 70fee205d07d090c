// UTF-8 <-> UTF-16 conversion (see utf.h).
#include "platform/core/utf.h"

#include "platform/core/last_error.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one code point at `in[pos]`, advancing `pos`. Returns false on a
// malformed sequence (pos then stands one byte further).
bool DecodeUtf8(std::string_view in, size_t& pos, char32_t& cp) {
    const auto lead = static_cast<unsigned char>(in[pos++]);
    if (lead < 0x80) {
        cp = lead;
        return true;
    }
    int extra;
    char32_t min;
    if ((lead & 0xE0) == 0xC0) {
        extra = 1, cp = lead & 0x1F, min = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, cp = lead & 0x0F, min = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, cp = lead & 0x07, min = 0x10000;
    } else {
        return false;
    }
    for (int i = 0; i < extra; ++i) {
        if (pos >= in.size()) return false;
        const auto b = static_cast<unsigned char>(in[pos]);
        if ((b & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (b & 0x3F);
        ++pos;
    }
    return cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
}

void AppendUtf16(char32_t cp, std::u16string& out) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

// Decodes one code point at `in[pos]`; false for an unpaired surrogate.
bool DecodeUtf16(std::u16string_view in, size_t& pos, char32_t& cp) {
    const char16_t u = in[pos++];
    if (u < 0xD800 || u > 0xDFFF) {
        cp = u;
        return true;
    }
    if (u >= 0xDC00 || pos >= in.size() || in[pos] < 0xDC00 || in[pos] > 0xDFFF) return false;
    cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (in[pos++] - 0xDC00);
    return true;
}

void AppendUtf8(char32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

}  // namespace

bool Utf8ToUtf16(std::string_view in, std::u16string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t pos = 0; pos < in.size();) {
        char32_t cp;
        if (!DecodeUtf8(in, pos, cp)) {
            out.clear();
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return false;
        }
        AppendUtf16(cp, out);
    }
    return true;
}

bool Utf16ToUtf8(std::u16string_view in, std::string& out) {
    out.clear();
    out.reserve(in.size());
    for (size_t pos = 0; pos < in.size();) {
        char32_t cp;
        if (!DecodeUtf16(in, pos, cp)) {
            out.clear();
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return false;
        }
        AppendUtf8(cp, out);
    }
    return true;
}

std::u16string Utf16FromUtf8Lossy(std::string_view in) {
    std::u16string out;
    for (size_t pos = 0; pos < in.size();) {
        char32_t cp;
        AppendUtf16(DecodeUtf8(in, pos, cp) ? cp : kReplacement, out);
    }
    return out;
}

std::string Utf8FromUtf16Lossy(std::u16string_view in) {
    std::string out;
    for (size_t pos = 0; pos < in.size();) {
        char32_t cp;
        AppendUtf8(DecodeUtf16(in, pos, cp) ? cp : kReplacement, out);
    }
    return out;
}

}  // namespace platform
