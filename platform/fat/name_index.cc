// The FAT layer's index of folded names (see name_index.h).
#include "platform/fat/name_index.h"

#include <sys/inotify.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <iterator>
#include <string>

#include "platform/core/wide_string.h"
#include "platform/fat/host_error.h"
#include "platform/fat/names.h"

namespace platform::fat {
namespace {

// A host keeps times to this at worst (FAT: 2 s), with a second to spare
// for a host clock a little ahead of ours.
constexpr time_t kTimeGranularitySeconds = 3;

constexpr std::uint32_t kWatchedEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

bool NameIndex::Stamp::operator==(const Stamp& other) const {
    return SameTime(changed, other.changed) && SameTime(modified, other.modified) && size == other.size;
}

NameIndex::NameIndex(bool watch_folders) : events_(watch_folders ? inotify_init1(IN_NONBLOCK | IN_CLOEXEC) : -1) {}

void NameIndex::Add(Folder& folder, std::string_view host_name) {
    std::u16string wide;
    if (!IsCardName(host_name, wide)) return;  // no card name can stand for it
    std::vector<std::string>& spellings = folder.names[WideFoldUpper(wide)];
    if (std::find(spellings.begin(), spellings.end(), host_name) != spellings.end()) return;
    spellings.emplace_back(host_name);
    ++folder.count;
    ++names_;
}

void NameIndex::Remove(Folder& folder, std::string_view host_name) {
    std::u16string wide;
    if (!IsCardName(host_name, wide)) return;
    const auto found = folder.names.find(WideFoldUpper(wide));
    if (found == folder.names.end()) return;
    std::vector<std::string>& spellings = found->second;
    const auto spelling = std::find(spellings.begin(), spellings.end(), host_name);
    if (spelling == spellings.end()) return;
    spellings.erase(spelling);
    if (spellings.empty()) folder.names.erase(found);
    --folder.count;
    --names_;
}

void NameIndex::Forget(FolderList::iterator folder) {
    if (folder->watch >= 0) {
        inotify_rm_watch(events_.Get(), folder->watch);
        by_watch_.erase(folder->watch);
    }
    by_identity_.erase({folder->device, folder->inode});
    names_ -= folder->count;
    folders_.erase(folder);
}

void NameIndex::DrainEvents() {
    if (!events_.Valid()) return;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(events_.Get(), buffer, sizeof buffer);
        if (got <= 0) break;  // EAGAIN: all read; any other error: the stamps still guard
        for (ssize_t at = 0; at < got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: no folder's names can be trusted.
                for (Folder& folder : folders_) folder.listed = false;
                continue;
            }
            const auto found = by_watch_.find(event->wd);
            if (found == by_watch_.end()) continue;  // a folder already let go
            Folder& folder = *found->second;
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF)) {
                // The folder is gone (its inode may be reused): drop it.
                if (event->mask & IN_IGNORED) {
                    by_watch_.erase(found);
                    folder.watch = -1;
                }
                Forget(by_identity_.at({folder.device, folder.inode}));
                continue;
            }
            if (event->len == 0) continue;
            folder.announced = true;
            const std::string_view name(event->name);
            if (event->mask & (IN_CREATE | IN_MOVED_TO)) Add(folder, name);
            if (event->mask & (IN_DELETE | IN_MOVED_FROM)) Remove(folder, name);
        }
    }
}

NameIndex::FolderList::iterator NameIndex::Hold(int dir, const struct stat& status) {
    const auto found = by_identity_.find({status.st_dev, status.st_ino});
    if (found != by_identity_.end()) {
        folders_.splice(folders_.begin(), folders_, found->second);
        return folders_.begin();
    }
    folders_.emplace_front();
    Folder& folder = folders_.front();
    folder.device = status.st_dev;
    folder.inode = status.st_ino;
    by_identity_[{status.st_dev, status.st_ino}] = folders_.begin();
    if (events_.Valid()) {
        // Watched before it is listed, so nothing done meanwhile is missed.
        const std::string path = "/proc/self/fd/" + std::to_string(dir);
        folder.watch = inotify_add_watch(events_.Get(), path.c_str(), kWatchedEvents);
        if (folder.watch >= 0) {
            const auto [other, fresh] = by_watch_.try_emplace(folder.watch, folders_.begin());
            if (!fresh) folder.watch = -1;  // the same folder under another identity: do without
        }
    }
    return folders_.begin();
}

DWORD NameIndex::List(int dir, Folder& folder) {
    std::vector<std::string> host_names;
    if (const DWORD error = ListDirectory(dir, host_names); error != ERROR_SUCCESS) return error;
    names_ -= folder.count;
    folder.count = 0;
    folder.names.clear();
    for (const std::string& host_name : host_names) Add(folder, host_name);
    folder.listed = true;
    return ERROR_SUCCESS;
}

DWORD NameIndex::FindCaseVariant(int dir, std::u16string_view wide, std::string& host_name) {
    host_name.clear();
    std::lock_guard lock(mutex_);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    struct stat status {};
    if (fstat(dir, &status) != 0) return ErrorFromErrno(errno);
    // After the look at the folder, so every change made before it is in.
    DrainEvents();
    const Stamp stamp{status.st_ctim, status.st_mtim, status.st_size};

    const FolderList::iterator held = Hold(dir, status);
    Folder& folder = *held;
    bool trusted = folder.listed && folder.stamp == stamp;
    if (folder.listed && folder.watch >= 0 && folder.announced) trusted = true;  // the events say what changed
    if (folder.watch < 0 && !folder.settled) trusted = false;
    if (!trusted) {
        if (const DWORD error = List(dir, folder); error != ERROR_SUCCESS) {
            Forget(held);
            return error;
        }
    }
    folder.stamp = stamp;
    folder.announced = false;
    const time_t latest = std::max(stamp.changed.tv_sec, stamp.modified.tv_sec);
    folder.settled = now.tv_sec - latest > kTimeGranularitySeconds;

    if (const auto found = folder.names.find(WideFoldUpper(wide)); found != folder.names.end()) {
        host_name = *std::min_element(found->second.begin(), found->second.end());
    }
    // Within bounds again: the least recently used folders go, and a folder
    // too big for the whole index is not kept at all.
    if (folder.count > kNameLimit) {
        Forget(held);
    }
    while (!folders_.empty() && (folders_.size() > kFolderLimit || names_ > kNameLimit)) {
        Forget(std::prev(folders_.end()));
    }
    return ERROR_SUCCESS;
}

size_t NameIndex::FolderCount() {
    std::lock_guard lock(mutex_);
    return folders_.size();
}

size_t NameIndex::NameCount() {
    std::lock_guard lock(mutex_);
    return names_;
}

}  // namespace platform::fat
