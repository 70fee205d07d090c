// Kernel names to card names and their keys (see card_names.h).
#include "mount/card_names.h"

#include <cerrno>

#include "platform/core/utf.h"
#include "platform/core/wide_string.h"

namespace quillane::mount {
namespace {

// Longest name a card holds, in UTF-16 units.
constexpr size_t kMaxNameLength = 255;

}  // namespace

int CardName(std::string_view utf8, std::u16string& name) {
    if (utf8.empty() || utf8 == "." || utf8 == "..") return EINVAL;
    if (utf8.find_first_of("\\*?") != std::string_view::npos) return EINVAL;
    if (!platform::Utf8ToUtf16(utf8, name)) return EILSEQ;
    if (name.size() > kMaxNameLength) return ENAMETOOLONG;
    return 0;
}

std::u16string NameKey(std::u16string_view name) {
    size_t end = name.size();
    while (end > 0 && (name[end - 1] == u'.' || name[end - 1] == u' ')) --end;
    return platform::WideFoldUpper(name.substr(0, end));
}

bool IsFilterWorkingName(std::u16string_view name) {
    if (name.size() != 9) return false;
    const char16_t kind = name[0];
    if (kind != u'v' && kind != u'V' && kind != u'y' && kind != u'Y') return false;
    for (const char16_t unit : name.substr(1, 4)) {
        const bool hex = (unit >= u'0' && unit <= u'9') || (unit >= u'a' && unit <= u'f') || (unit >= u'A' && unit <= u'F');
        if (!hex) return false;
    }
    return platform::WideFoldUpper(name.substr(5)) == u".TMP";
}

std::string KernelName(std::u16string_view name) { return platform::Utf8FromUtf16Lossy(name); }

}  // namespace quillane::mount
