// UTF-16 string helpers (see wide_string.h).
#include "platform/core/wide_string.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace platform {
namespace {

struct CaseMapping {
    char16_t from;
    char16_t to;
};

constexpr CaseMapping kUpperCase[] = {
#include "platform/core/upper_case_table.inc"
};

}  // namespace

size_t WideLength(LPCWSTR text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

bool WideCopy(LPWSTR target, size_t capacity, LPCWSTR source) {
    const size_t n = WideLength(source);
    if (n + 1 > capacity) return false;
    std::memmove(target, source, (n + 1) * sizeof(WCHAR));
    return true;
}

bool WideAppend(LPWSTR target, size_t capacity, LPCWSTR source) {
    const size_t have = WideLength(target);
    const size_t add = WideLength(source);
    if (have + add + 1 > capacity) return false;
    std::memmove(target + have, source, (add + 1) * sizeof(WCHAR));
    return true;
}

int WideCompare(LPCWSTR a, LPCWSTR b) {
    while (*a != 0 && *a == *b) ++a, ++b;
    return static_cast<int>(*a) - static_cast<int>(*b);
}

int WideCompareNoCase(std::u16string_view a, std::u16string_view b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const int d = static_cast<int>(WideToUpper(a[i])) - static_cast<int>(WideToUpper(b[i]));
        if (d != 0) return d;
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

WCHAR WideToUpper(WCHAR unit) {
    if (unit < 0x80) return (unit >= u'a' && unit <= u'z') ? static_cast<WCHAR>(unit - 0x20) : unit;
    const auto* end = std::end(kUpperCase);
    const auto* it = std::lower_bound(std::begin(kUpperCase), end, unit,
                                      [](const CaseMapping& m, char16_t u) { return m.from < u; });
    return (it != end && it->from == unit) ? it->to : unit;
}

void WideFoldUpper(LPWSTR text) {
    for (; *text != 0; ++text) *text = WideToUpper(*text);
}

std::u16string WideFoldUpper(std::u16string_view text) {
    std::u16string folded(text);
    for (auto& unit : folded) unit = WideToUpper(unit);
    return folded;
}

LPCWSTR WideFind(LPCWSTR haystack, LPCWSTR needle) {
    if (*needle == 0) return haystack;
    for (; *haystack != 0; ++haystack) {
        size_t i = 0;
        while (needle[i] != 0 && haystack[i] == needle[i]) ++i;
        if (needle[i] == 0) return haystack;
    }
    return nullptr;
}

bool WideMatchesWildcard(std::u16string_view pattern, std::u16string_view name) {
    size_t p = 0, n = 0, star = std::u16string_view::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() && (pattern[p] == u'?' || WideToUpper(pattern[p]) == WideToUpper(name[n]))) {
            ++p;
            ++n;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

}  // namespace platform
