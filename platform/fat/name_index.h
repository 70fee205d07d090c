// The FAT layer's index of folded names: for the folders it has looked in
// lately, which host names each folder holds, keyed by the name folded as
// card look-ups fold it. It answers the one question a missed exact look-up
// leaves on a host that does not fold case itself ("is there an entry that
// differs from this name only in case?") without listing the folder, so a
// create or a look-up costs the same in a folder of 20,000 files as in an
// empty one. Used by names.cc through Resolve; not a cache of anything else
// (status, kinds and contents are always asked of the host).
//
// Kept right: the index watches every folder it holds with inotify, so each
// create, rename and removal in it, the layer's own and any other process's,
// reaches the index before the next look-up (the kernel queues the event
// before the call that made the change returns). Each look-up also compares
// the folder's change and modification times and size with what they were
// when the folder was last seen: a change the events did not announce (a
// host that sends none, a lost event queue) makes the folder listed afresh.
// Without inotify, a folder's names are trusted only while its times stand
// still and are older than the host's time granularity (FAT keeps times to
// 2 s), so a change within the same tick cannot hide; otherwise it lists.
//
// Memory: at most kFolderLimit folders and kNameLimit names over all of
// them (about 100 bytes each, some 5 MiB in all); the least recently used
// folders go first, and a folder with more names than the whole limit is
// listed at each miss instead, as without an index. Safe for calls from
// several threads at once.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/core/types.h"
#include "platform/fat/unique_fd.h"

namespace platform::fat {

class NameIndex {
public:
    static constexpr size_t kFolderLimit = 64;
    static constexpr size_t kNameLimit = 50000;

    // `watch_folders` false does without inotify, as on a system that
    // gives none (for tests of that case).
    explicit NameIndex(bool watch_folders = true);
    NameIndex(const NameIndex&) = delete;
    NameIndex& operator=(const NameIndex&) = delete;

    // Sets `host_name` to the smallest host name in the open folder `dir`
    // that could be a card name and equals `wide` without regard to case, or
    // empties it when there is none. The host's error, mapped, when the
    // folder cannot be read or looked at.
    DWORD FindCaseVariant(int dir, std::u16string_view wide, std::string& host_name);

    // Folders held now, and names over all of them (for tests).
    size_t FolderCount();
    size_t NameCount();

private:
    struct Stamp {
        timespec changed{};
        timespec modified{};
        off_t size = 0;
        bool operator==(const Stamp& other) const;
    };
    struct Folder {
        dev_t device = 0;
        ino_t inode = 0;
        int watch = -1;          // inotify watch descriptor, -1 when none
        bool listed = false;     // names hold the folder's entries
        bool announced = false;  // events changed it since the stamp was taken
        bool settled = false;    // the stamp was old enough to show any later change
        Stamp stamp;
        size_t count = 0;
        std::unordered_map<std::u16string, std::vector<std::string>> names;  // folded -> host names
    };
    using FolderList = std::list<Folder>;

    void DrainEvents();
    void Add(Folder& folder, std::string_view host_name);
    void Remove(Folder& folder, std::string_view host_name);
    void Forget(FolderList::iterator folder);
    DWORD List(int dir, Folder& folder);
    FolderList::iterator Hold(int dir, const struct stat& status);

    std::mutex mutex_;
    UniqueFd events_;     // inotify instance, invalid when the system gives none
    FolderList folders_;  // most recently used first
    std::map<std::pair<dev_t, ino_t>, FolderList::iterator> by_identity_;
    std::unordered_map<int, FolderList::iterator> by_watch_;
    size_t names_ = 0;
};

}  // namespace platform::fat
