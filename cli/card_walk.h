// The walk of a card's folder tree through the platform's file API, in the
// Convert page's order: each folder's search ("P\*.*") yields its entries in
// the search's order, and a sub-folder is walked completely, with its own
// search, before its parent's search goes on. The open searches are kept on
// a stack of our own, not the call stack, so no depth can exhaust it. Every
// path stays within 255 characters: what would not fit is passed over,
// never cut. Used by convert (to count, then to convert) and the demo.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/core/types.h"

namespace quillane::cli {

// The longest path the walk builds, in UTF-16 units (a buffer of 256 with
// its NUL).
constexpr size_t kMaxCardPath = 255;

struct WalkEvents {
    // A file (any entry without the folder attribute) and its search entry.
    std::function<void(const std::u16string& path, const WIN32_FIND_DATAW& entry)> file;
    // A file or folder whose path, or a folder whose search pattern, would be
    // longer than kMaxCardPath; a folder's contents go unseen.
    std::function<void(const std::u16string& path, bool is_folder)> too_long;
    // A folder whose search could not start for another reason than being
    // empty (the error code from GetLastError).
    std::function<void(const std::u16string& path, DWORD error)> unreadable;
};

// Walks `root` ("\Storage Card") and everything below it.
void WalkCard(std::u16string_view root, const WalkEvents& events);

}  // namespace quillane::cli
