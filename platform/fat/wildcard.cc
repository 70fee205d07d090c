// Search pattern matching (see wildcard.h).
#include "platform/fat/wildcard.h"

#include <string>

#include "platform/core/wide_string.h"

namespace platform::fat {
namespace {

// Iterative matcher with one backtrack point: the last `*` seen. Linear in
// practice and never recursive, whatever the pattern.
bool Match(std::u16string_view pattern, std::u16string_view name) {
    size_t p = 0;
    size_t n = 0;
    size_t star = std::u16string_view::npos;
    size_t star_name = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == u'*') {
            star = p++;
            star_name = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == u'?' || WideToUpper(pattern[p]) == WideToUpper(name[n]))) {
            ++p;
            ++n;
        } else if (star != std::u16string_view::npos) {
            p = star + 1;
            n = ++star_name;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == u'*') ++p;
    return p == pattern.size();
}

}  // namespace

bool MatchesPattern(std::u16string_view pattern, std::u16string_view name) {
    if (Match(pattern, name)) return true;
    if (name.find(u'.') != std::u16string_view::npos) return false;
    std::u16string dotted(name);
    dotted.push_back(u'.');
    return Match(pattern, dotted);
}

}  // namespace platform::fat
