// Names on the card and their resolution to host objects, for every FAT
// layer operation that takes a path. A volume path uses "\" separators and
// is relative to the card root whether or not it starts with "\". Each
// component must be a name a FAT card could hold; it is matched without
// regard to case, as FAT does, so a vfat mount and a case-sensitive host
// folder behave alike. Resolution never leaves the host directory: ".." is
// refused and no symbolic link is ever followed (a FAT card has none).
// Every call looks at the host afresh; only the search for a name that
// differs in case may be answered by a NameIndex, which watches the folders
// it holds (name_index.h).
#pragma once

#include <sys/stat.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/types.h"
#include "platform/fat/name_index.h"
#include "platform/fat/unique_fd.h"

namespace platform::fat {

// Longest component a card holds, in UTF-16 units.
constexpr size_t kMaxNameLength = 255;

struct NameComponent {
    std::u16string wide;  // as the caller spelled it, trailing dots and spaces dropped
    std::string host;     // the same in UTF-8
};

// Checks one component. Returns ERROR_SUCCESS, ERROR_INVALID_NAME (empty,
// "." or "..", a control character, one of "*:<>?|/ with `*` and `?`
// allowed when `wildcards`) or ERROR_FILENAME_EXCED_RANGE (over 255 units).
DWORD CheckName(std::u16string_view name, bool wildcards);

// Splits `path` into checked components; the root ("" or "\") has none.
// Repeated separators count as one. Trailing dots and spaces of a component
// are dropped, as FAT drops them. Errors: ERROR_INVALID_PARAMETER (null),
// ERROR_FILENAME_EXCED_RANGE (a component over 255 units, or a path that
// does not fit MAX_PATH), ERROR_INVALID_NAME (a bad component or an
// unpaired surrogate).
DWORD SplitPath(LPCWSTR path, std::vector<NameComponent>& components);

// The result of looking a name up in one host directory.
struct Entry {
    bool exists = false;
    std::string host_name;  // the entry's own host name, or the wanted one when missing
    struct stat status {};  // lstat of the entry when it exists
};

// Finds `name` in the open directory `dir`: the exact host name first, then
// any entry equal to it without regard to case (the smallest such host name
// when several are), found through `index` when one is given, else by
// listing the folder. Errors: the host's, mapped; a symbolic link, device,
// pipe or socket gives ERROR_ACCESS_DENIED.
DWORD FindEntry(int dir, const NameComponent& name, Entry& entry, NameIndex* index = nullptr);

// Opens the directory that `components` name below `root` (the root itself
// for none). ERROR_PATH_NOT_FOUND when one is missing or is not a directory.
DWORD OpenDirectory(int root, std::span<const NameComponent> components, UniqueFd& dir,
                    NameIndex* index = nullptr);

// A path resolved to its parent directory and the entry in it.
struct Resolved {
    bool is_root = false;  // the path names the card root; parent and entry unset
    UniqueFd parent;
    Entry entry;
};

// Resolves a volume path. A missing last component is not an error
// (entry.exists is false); a missing folder on the way is
// ERROR_PATH_NOT_FOUND. `index` as for FindEntry.
DWORD Resolve(int root, LPCWSTR path, Resolved& resolved, NameIndex* index = nullptr);

// Opens the object of a found entry without following links and checks that
// it is still the entry found. `flags` are open(2) access flags.
// ERROR_FILE_NOT_FOUND when the name no longer holds that object (removed,
// or replaced by a rename since the lookup), so a caller may look it up again.
DWORD OpenEntry(int dir, const Entry& entry, int flags, UniqueFd& fd);

// The host names in the open directory `dir`, without "." and "..", in the
// host's order. The host's error, mapped, when the directory cannot be read.
DWORD ListDirectory(int dir, std::vector<std::string>& names);

// True when a host name could be a card name: valid UTF-8 that converts to
// a checked component with no trailing dot or space. Fills `wide`.
bool IsCardName(std::string_view host_name, std::u16string& wide);

}  // namespace platform::fat
