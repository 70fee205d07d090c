// `quillane exceptions [list | add TYPE... | delete TYPE... | clear]`: the
// exempt file types, edited by the Exception page's rules and stored in the
// `Exception` value exactly as the settings program stores it (both use
// settings/exception_list). A change is all or nothing: if any TYPE is
// refused, nothing is stored.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/command.h"
#include "cli/messages.h"
#include "platform/core/utf.h"
#include "platform/core/wide_string.h"
#include "platform/registry/registry.h"
#include "settings/exception_list.h"

namespace quillane::cli {
namespace {

using Items = std::vector<std::u16string>;

// What `add --media` adds: the common types that are compressed already, so
// that compressing them again would only cost time.
constexpr const char* kMediaTypes[] = {"zip", "gz",  "xz",  "bz2", "7z",   "zst",  "jpg",  "jpeg", "png",
                                       "gif", "webp", "mp3", "mp4", "m4a",  "ogg",  "opus", "flac", "mkv",
                                       "avi", "mov", "webm", "pdf", "docx", "xlsx", "pptx", "epub"};

// The type list keeps itself sorted without regard to case; an entry goes
// after every entry that does not come after it, so entries equal but for
// case keep the order they came in.
void InsertSorted(Items& items, const std::u16string& item) {
    const auto place = std::upper_bound(items.begin(), items.end(), item, [](const auto& a, const auto& b) {
        return platform::WideCompareNoCase(a, b) < 0;
    });
    items.insert(place, item);
}

std::string Shown(const std::u16string& item) {
    return item.empty() ? "\"\"" : platform::Utf8FromUtf16Lossy(item);
}

std::string NotInstalled() {
    return "the filter is not installed in the registry store " + platform::RegistryStorePath() +
           " (no key HKLM\\System\\StorageManager\\FATFS\\Filters\\Quillane); run 'quillane install' first";
}

// The list as the page shows it after loading: the items the filter
// applies, sorted. A stored value the filter cannot use as stored is said
// on standard error; `problem` (when given) says whether there was one.
bool Load(const Command& self, Items& items, bool* problem = nullptr) {
    Items stored;
    std::string why;
    const DWORD error = LoadExceptionList(stored, &why);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
        PrintError(self, "cannot read the exempt list: " + PlatformErrorText(error));
        return false;
    }
    if (!why.empty()) PrintError(self, "warning: " + why);
    if (problem != nullptr) *problem = !why.empty();
    items.clear();
    for (const std::u16string& item : stored) InsertSorted(items, item);
    return true;
}

int Store(const Command& self, const Items& items) {
    const DWORD error = StoreExceptionList(items);
    if (error == ERROR_FILE_NOT_FOUND) return Fail(self, NotInstalled() + "; nothing stored");
    if (error != ERROR_SUCCESS) return Fail(self, "cannot store the exempt list: " + PlatformErrorText(error));
    return kExitSuccess;
}

bool ToWide(const Command& self, const std::string& typed, std::u16string& wide) {
    if (platform::Utf8ToUtf16(typed, wide)) return true;
    PrintError(self, Quoted(typed) + " is not valid UTF-8 text");
    return false;
}

// Lists what the filter applies; a stored value it cannot use as stored
// makes the exit status 1, so that a script notices.
int List(const Command& self) {
    Items items;
    bool problem = false;
    if (!Load(self, items, &problem)) return kExitFailure;
    if (items.empty() && ::isatty(STDOUT_FILENO)) std::printf("(no file type is exempt)\n");
    for (const std::u16string& item : items) std::printf("%s\n", Shown(item).c_str());
    return problem ? kExitFailure : kExitSuccess;
}

// `media`: the types of kMediaTypes go first, each passed over quietly
// when the list holds it already in any case (the match ignores case).
int Add(const Command& self, const std::vector<std::string>& types, bool media) {
    Items items;
    if (!Load(self, items)) return kExitFailure;
    bool refused = false;
    Items added;
    if (media) {
        for (const char* type : kMediaTypes) {
            const std::u16string item = platform::Utf16FromUtf8Lossy(type);
            const bool listed = std::any_of(items.begin(), items.end(), [&](const std::u16string& have) {
                return platform::WideCompareNoCase(have, item) == 0;
            });
            if (listed) continue;
            std::u16string checked;
            if (CheckNewItem(item, items, checked) != AddVerdict::Accepted) {
                PrintError(self, Shown(item) + " does not fit: the stored list holds at most " +
                                     std::to_string(kExceptionTextLimit) + " characters");
                refused = true;
                break;
            }
            InsertSorted(items, checked);
            added.push_back(checked);
        }
    }
    for (const std::string& typed : types) {
        std::u16string wide;
        if (!ToWide(self, typed, wide)) {
            refused = true;
            continue;
        }
        std::u16string item;
        switch (CheckNewItem(wide, items, item)) {
            case AddVerdict::Accepted:
                InsertSorted(items, item);
                added.push_back(item);
                break;
            case AddVerdict::Empty:
                PrintError(self, Quoted(typed) + " names no type (nothing is left once its leading dots go)");
                refused = true;
                break;
            case AddVerdict::AlreadyListed:
                PrintError(self, Shown(item) + " is already listed");
                refused = true;
                break;
            case AddVerdict::TooLong:
                PrintError(self, Shown(item) + " does not fit: the stored list holds at most " +
                                     std::to_string(kExceptionTextLimit) + " characters");
                refused = true;
                break;
        }
    }
    if (refused) return Fail(self, "nothing stored");
    if (const int status = Store(self, items); status != kExitSuccess) return status;
    for (const std::u16string& item : added) std::printf("added %s\n", Shown(item).c_str());
    return kExitSuccess;
}

int Delete(const Command& self, const std::vector<std::string>& types) {
    Items items;
    if (!Load(self, items)) return kExitFailure;
    bool refused = false;
    Items deleted;
    for (const std::string& typed : types) {
        std::u16string wide;
        if (!ToWide(self, typed, wide)) {
            refused = true;
            continue;
        }
        // The same leading dots Add drops, so "delete .wmv" undoes "add .wmv".
        const size_t first_kept = wide.find_first_not_of(u'.');
        const std::u16string item = first_kept == std::u16string::npos ? std::u16string() : wide.substr(first_kept);
        const auto found = std::find(items.begin(), items.end(), item);
        if (found != items.end()) {
            std::erase(items, item);
            deleted.push_back(item);
            continue;
        }
        std::string message = Shown(item) + " is not listed";
        for (const std::u16string& listed : items) {
            if (platform::WideCompareNoCase(listed, item) == 0) {
                message += " (the list holds " + Shown(listed) + "; case counts here)";
                break;
            }
        }
        PrintError(self, message);
        refused = true;
    }
    if (refused) return Fail(self, "nothing stored");
    if (const int status = Store(self, items); status != kExitSuccess) return status;
    for (const std::u16string& item : deleted) std::printf("deleted %s\n", Shown(item).c_str());
    return kExitSuccess;
}

int RunExceptions(const Command& self, Arguments arguments) {
    std::vector<std::string_view> rest;
    const bool media = TakeLongOption(arguments, "--media", &rest);
    const std::optional<ParsedArguments> parsed = ParseArguments(self, rest);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    const std::vector<std::string>& operands = parsed->operands;
    if (media && (operands.empty() || operands[0] != "add")) return UsageError(self, "--media goes with add");
    const std::string action = operands.empty() ? "list" : operands[0];
    const std::vector<std::string> types(operands.empty() ? operands.end() : operands.begin() + 1, operands.end());
    if (action == "list" || action == "clear") {
        if (!types.empty()) return UsageError(self, action + " takes no TYPE");
        if (action == "list") return List(self);
        if (const int status = Store(self, Items()); status != kExitSuccess) return status;
        std::printf("cleared: no file type is exempt\n");
        return kExitSuccess;
    }
    if (action == "add" || action == "delete") {
        if (types.empty() && !media) return UsageError(self, action + " needs at least one TYPE");
        return action == "add" ? Add(self, types, media) : Delete(self, types);
    }
    return UsageError(self, "unknown action " + Quoted(action));
}

}  // namespace

const Command kExceptionsCommand{
    "exceptions", "exceptions [list | add [--media] TYPE... | delete TYPE... | clear]",
    "list or edit the exempt file types",
    "The file types the filter never compresses (already packed media such as\n"
    "mp3, jpg, zip gain nothing), kept in the registry value Exception under\n"
    "HKLM\\System\\StorageManager\\FATFS\\Filters\\Quillane, the same list the\n"
    "settings program edits. The filter reads it at every close of a file, so a\n"
    "change counts from the next close, mounted or not.\n\n"
    "  list            the types, one a line, sorted without regard to case\n"
    "                  (an empty item, from a value with two dots in a row,\n"
    "                  shows as \"\")\n"
    "  add TYPE...     leading dots are dropped (.mp3 adds mp3); a type already\n"
    "                  listed with the same case is refused; matching ignores\n"
    "                  case, so mp3 also exempts SONG.MP3\n"
    "  add --media     also adds the common types that are compressed already:\n"
    "                  zip gz xz bz2 7z zst jpg jpeg png gif webp mp3 mp4 m4a\n"
    "                  ogg opus flac mkv avi mov webm pdf docx xlsx pptx epub\n"
    "                  (those listed already, in any case, are passed over)\n"
    "  delete TYPE...  removes the types as listed (case counts)\n"
    "                  (a type with a dot, such as tar.gz, counts as tar and gz\n"
    "                  and lists as those two once stored)\n"
    "  clear           empties the list\n\n"
    "If any TYPE is refused, nothing is stored and the exit status is 1. The\n"
    "filter's key must exist (quillane install).\n",
    RunExceptions};

}  // namespace quillane::cli
