// Matching of search patterns against card names, the platform's way, for
// FindFirstFileW. Not a general glob: there are no character classes and no
// escapes, only `*` and `?`.
#pragma once

#include <string_view>

namespace platform::fat {

// True when `name` matches `pattern`, without regard to case. `*` stands for
// any run of characters (none included), `?` for exactly one. A name without
// a dot also matches as if it ended in one, so "*.*" matches every name,
// "*." the names without an extension, and "ab?" also "ab".
bool MatchesPattern(std::u16string_view pattern, std::u16string_view name);

}  // namespace platform::fat
