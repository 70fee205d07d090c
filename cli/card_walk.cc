// The walk of a card's folder tree (see card_walk.h).
#include "cli/card_walk.h"

#include <vector>

#include "platform/core/last_error.h"
#include "platform/storage/file_api.h"

namespace quillane::cli {
namespace {

struct OpenSearch {
    HANDLE handle;
    std::u16string folder;
    WIN32_FIND_DATAW entry;  // the first entry until it is taken
    bool entry_pending;
};

// Starts the search of `folder` onto `stack`; false when it did not start
// (the folder is empty, unreadable, or its pattern too long).
bool StartSearch(const std::u16string& folder, std::vector<OpenSearch>& stack, const WalkEvents& events) {
    const std::u16string pattern = folder + u"\\*.*";
    if (pattern.size() > kMaxCardPath) {
        if (events.too_long) events.too_long(folder, true);
        return false;
    }
    OpenSearch search{nullptr, folder, {}, true};
    search.handle = platform::FindFirstFileW(pattern.c_str(), &search.entry);
    if (search.handle == INVALID_HANDLE_VALUE) {
        const DWORD error = platform::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_NO_MORE_FILES && events.unreadable) {
            events.unreadable(folder, error);
        }
        return false;
    }
    stack.push_back(std::move(search));
    return true;
}

}  // namespace

void WalkCard(std::u16string_view root, const WalkEvents& events) {
    std::vector<OpenSearch> stack;
    StartSearch(std::u16string(root), stack, events);
    while (!stack.empty()) {
        OpenSearch& top = stack.back();
        WIN32_FIND_DATAW entry;
        if (top.entry_pending) {
            entry = top.entry;
            top.entry_pending = false;
        } else if (!platform::FindNextFileW(top.handle, &entry)) {
            platform::FindClose(top.handle);
            stack.pop_back();
            continue;
        }
        const std::u16string_view name(entry.cFileName);
        if (name.empty() || name == u"." || name == u"..") continue;  // never the folder itself or its parent
        std::u16string path = top.folder + u"\\" + std::u16string(name);
        const bool is_folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (path.size() > kMaxCardPath) {
            if (events.too_long) events.too_long(path, is_folder);
            continue;
        }
        if (is_folder) {
            StartSearch(path, stack, events);  // `top` may move: not used again this turn
        } else if (events.file) {
            events.file(path, entry);
        }
    }
}

}  // namespace quillane::cli
