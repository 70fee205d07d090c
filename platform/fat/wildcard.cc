// Search pattern matching (see wildcard.h).
#include "platform/fat/wildcard.h"

#include <string>

#include "platform/core/wide_string.h"

namespace platform::fat {

bool MatchesPattern(std::u16string_view pattern, std::u16string_view name) {
    if (WideMatchesWildcard(pattern, name)) return true;
    if (name.find(u'.') != std::u16string_view::npos) return false;
    std::u16string dotted(name);
    dotted.push_back(u'.');
    return WideMatchesWildcard(pattern, dotted);
}

}  // namespace platform::fat
