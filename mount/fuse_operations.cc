// The mount's FUSE trampolines (see fuse_operations.h).
#include "mount/fuse_operations.h"

#include <linux/fs.h>

#include <cerrno>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>

namespace quillane::mount {
namespace {

// How long the kernel may keep names and attributes. Short, because the
// card may change underneath the mount; a close that changes what a file
// takes on the card drops them at once (AttributesChanged).
constexpr double kEntryTimeout = 1.0;
constexpr double kAttributeTimeout = 1.0;

MountSession& SessionOf(fuse_req_t req) { return *static_cast<MountSession*>(fuse_req_userdata(req)); }
CardFileSystem& FileSystemOf(fuse_req_t req) { return SessionOf(req).file_system; }

// Runs a request's body, which replies as its last step; whatever escapes
// it is answered with an error instead.
template <typename Body>
void Guarded(fuse_req_t req, Body body) noexcept {
    try {
        body();
    } catch (const std::bad_alloc&) {
        fuse_reply_err(req, ENOMEM);
    } catch (...) {
        fuse_reply_err(req, EIO);
    }
}

fuse_entry_param EntryOf(NodeNumber number, const struct stat& attributes) {
    fuse_entry_param entry{};
    entry.ino = number;
    entry.generation = 0;  // numbers are never given twice in a mount's life
    entry.attr = attributes;
    entry.attr_timeout = kAttributeTimeout;
    entry.entry_timeout = kEntryTimeout;
    return entry;
}

// Replies with a new entry; a reply the kernel no longer takes (the request
// was interrupted) gives back the reference it would have counted.
void ReplyEntry(fuse_req_t req, NodeNumber number, const struct stat& attributes) {
    const fuse_entry_param entry = EntryOf(number, attributes);
    if (fuse_reply_entry(req, &entry) != 0) FileSystemOf(req).Forget(number, 1);
}

CardFileSystem::OpenKind KindOf(const fuse_file_info& file) {
    return static_cast<CardFileSystem::OpenKind>(file.fh);
}

timespec Now() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now;
}

void OnInit(void* /*userdata*/, fuse_conn_info* connection) {
    // An open with O_TRUNC empties the file in the open itself, so a
    // compressed file is never expanded only to be thrown away.
    if ((connection->capable & FUSE_CAP_ATOMIC_O_TRUNC) != 0) connection->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    // Every write reaches the filter at once: the kernel must not hold
    // written data back past a close.
    connection->want &= ~FUSE_CAP_WRITEBACK_CACHE;
}

void OnLookup(fuse_req_t req, fuse_ino_t parent, const char* name) {
    Guarded(req, [&] {
        NodeNumber number = 0;
        struct stat attributes {};
        if (const int error = FileSystemOf(req).Lookup(parent, name, number, attributes); error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        ReplyEntry(req, number, attributes);
    });
}

void OnForget(fuse_req_t req, fuse_ino_t number, uint64_t count) {
    try {
        FileSystemOf(req).Forget(number, count);
    } catch (...) {  // nothing to report a forget's failure to
    }
    fuse_reply_none(req);
}

void OnForgetMulti(fuse_req_t req, size_t count, fuse_forget_data* forgets) {
    try {
        for (size_t i = 0; i < count; ++i) FileSystemOf(req).Forget(forgets[i].ino, forgets[i].nlookup);
    } catch (...) {
    }
    fuse_reply_none(req);
}

void OnGetAttributes(fuse_req_t req, fuse_ino_t number, fuse_file_info* /*file*/) {
    Guarded(req, [&] {
        struct stat attributes {};
        if (const int error = FileSystemOf(req).GetAttributes(number, attributes); error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_attr(req, &attributes, kAttributeTimeout);
    });
}

void OnSetAttributes(fuse_req_t req, fuse_ino_t number, struct stat* wanted, int which, fuse_file_info* /*file*/) {
    Guarded(req, [&] {
        AttributeChange change;
        if ((which & FUSE_SET_ATTR_UID) != 0) change.owner = wanted->st_uid;
        if ((which & FUSE_SET_ATTR_GID) != 0) change.group = wanted->st_gid;
        if ((which & FUSE_SET_ATTR_SIZE) != 0) change.size = static_cast<std::uint64_t>(wanted->st_size);
        if ((which & FUSE_SET_ATTR_MODE) != 0) change.mode = wanted->st_mode;
        if ((which & FUSE_SET_ATTR_ATIME_NOW) != 0) {
            change.last_access = Now();
        } else if ((which & FUSE_SET_ATTR_ATIME) != 0) {
            change.last_access = wanted->st_atim;
        }
        if ((which & FUSE_SET_ATTR_MTIME_NOW) != 0) {
            change.last_write = Now();
        } else if ((which & FUSE_SET_ATTR_MTIME) != 0) {
            change.last_write = wanted->st_mtim;
        }
        struct stat attributes {};
        if (const int error = FileSystemOf(req).SetAttributes(number, change, attributes); error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_attr(req, &attributes, kAttributeTimeout);
    });
}

void OnMakeDirectory(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t /*mode*/) {
    Guarded(req, [&] {
        NodeNumber number = 0;
        struct stat attributes {};
        if (const int error = FileSystemOf(req).MakeDirectory(parent, name, number, attributes); error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        ReplyEntry(req, number, attributes);
    });
}

void OnUnlink(fuse_req_t req, fuse_ino_t parent, const char* name) {
    Guarded(req, [&] { fuse_reply_err(req, FileSystemOf(req).Unlink(parent, name)); });
}

void OnRemoveDirectory(fuse_req_t req, fuse_ino_t parent, const char* name) {
    Guarded(req, [&] { fuse_reply_err(req, FileSystemOf(req).RemoveDirectory(parent, name)); });
}

void OnRename(fuse_req_t req, fuse_ino_t parent, const char* name, fuse_ino_t new_parent, const char* new_name,
              unsigned int flags) {
    Guarded(req, [&] {
        // Exchanging two names has no step on the card.
        if ((flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) != 0) {
            fuse_reply_err(req, EINVAL);
            return;
        }
        fuse_reply_err(req, FileSystemOf(req).Rename(parent, name, new_parent, new_name,
                                                     (flags & RENAME_NOREPLACE) != 0));
    });
}

void OnOpen(fuse_req_t req, fuse_ino_t number, fuse_file_info* file) {
    Guarded(req, [&] {
        CardFileSystem::OpenKind kind{};
        if (const int error = FileSystemOf(req).Open(number, file->flags, kind); error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        // The node's shared open file is found by the node's number; the
        // open keeps only what it is for.
        file->fh = static_cast<std::uint64_t>(kind);
        // A release the kernel will never send must not keep the file open.
        if (fuse_reply_open(req, file) != 0) FileSystemOf(req).Release(number, kind);
    });
}

void OnCreate(fuse_req_t req, fuse_ino_t parent, const char* name, mode_t /*mode*/, fuse_file_info* file) {
    Guarded(req, [&] {
        NodeNumber number = 0;
        struct stat attributes {};
        if (const int error = FileSystemOf(req).Create(parent, name, file->flags, number, attributes); error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        file->fh = static_cast<std::uint64_t>(CardFileSystem::OpenKind::kWriting);
        const fuse_entry_param entry = EntryOf(number, attributes);
        if (fuse_reply_create(req, &entry, file) != 0) {
            FileSystemOf(req).Release(number, CardFileSystem::OpenKind::kWriting);
            FileSystemOf(req).Forget(number, 1);
        }
    });
}

void OnRead(fuse_req_t req, fuse_ino_t number, size_t size, off_t offset, fuse_file_info* /*file*/) {
    Guarded(req, [&] {
        // Not zeroed: the read fills what it returns, and clearing 128 KiB
        // for every request costs as much as a tenth of a plain file's read.
        const auto buffer = std::make_unique_for_overwrite<char[]>(size);
        size_t count = 0;
        if (const int error = FileSystemOf(req).Read(number, static_cast<std::uint64_t>(offset),
                                                     std::span<char>(buffer.get(), size), count);
            error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_buf(req, buffer.get(), count);
    });
}

void OnWrite(fuse_req_t req, fuse_ino_t number, const char* data, size_t size, off_t offset,
             fuse_file_info* /*file*/) {
    Guarded(req, [&] {
        size_t count = 0;
        if (const int error = FileSystemOf(req).Write(number, static_cast<std::uint64_t>(offset),
                                                      std::span<const char>(data, size), count);
            error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_write(req, count);
    });
}

void OnFlush(fuse_req_t req, fuse_ino_t number, fuse_file_info* file) {
    Guarded(req, [&] { fuse_reply_err(req, FileSystemOf(req).Flush(number, KindOf(*file))); });
}

void OnRelease(fuse_req_t req, fuse_ino_t number, fuse_file_info* file) {
    Guarded(req, [&] {
        FileSystemOf(req).Release(number, KindOf(*file));
        fuse_reply_err(req, 0);
    });
}

void OnSync(fuse_req_t req, fuse_ino_t number, int /*data_only*/, fuse_file_info* /*file*/) {
    Guarded(req, [&] { fuse_reply_err(req, FileSystemOf(req).Sync(number)); });
}

void OnOpenDirectory(fuse_req_t req, fuse_ino_t number, fuse_file_info* file) {
    Guarded(req, [&] {
        MountSession& session = SessionOf(req);
        MountSession::Listing listing;
        if (const int error = session.file_system.ListDirectory(number, listing.entries); error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        {
            std::lock_guard lock(session.listings_mutex);
            file->fh = session.next_listing++;
            session.listings.emplace(file->fh, std::move(listing));
        }
        if (fuse_reply_open(req, file) != 0) {
            std::lock_guard lock(session.listings_mutex);
            session.listings.erase(file->fh);
        }
    });
}

void OnReadDirectory(fuse_req_t req, fuse_ino_t number, size_t size, off_t offset, fuse_file_info* file) {
    Guarded(req, [&] {
        MountSession& session = SessionOf(req);
        std::vector<DirectoryEntry> fresh;
        // A rewind reads the folder afresh, as POSIX asks of rewinddir.
        bool refresh = false;
        {
            std::lock_guard lock(session.listings_mutex);
            const auto found = session.listings.find(file->fh);
            if (found == session.listings.end()) {
                fuse_reply_err(req, EBADF);
                return;
            }
            refresh = offset == 0 && found->second.read;
        }
        if (refresh) {
            if (const int error = session.file_system.ListDirectory(number, fresh); error != 0) {
                fuse_reply_err(req, error);
                return;
            }
        }

        std::vector<char> buffer(size);
        size_t used = 0;
        {
            std::lock_guard lock(session.listings_mutex);
            auto& listing = session.listings.at(file->fh);
            if (refresh) listing.entries = std::move(fresh);
            listing.read = true;
            for (size_t index = static_cast<size_t>(offset); index < listing.entries.size(); ++index) {
                const DirectoryEntry& entry = listing.entries[index];
                struct stat attributes {};
                attributes.st_ino = entry.number;
                attributes.st_mode = entry.directory ? S_IFDIR : S_IFREG;
                const size_t needed =
                    fuse_add_direntry(req, buffer.data() + used, size - used, entry.name.c_str(), &attributes,
                                      static_cast<off_t>(index + 1));
                if (needed > size - used) break;
                used += needed;
            }
        }
        fuse_reply_buf(req, buffer.data(), used);
    });
}

void OnReleaseDirectory(fuse_req_t req, fuse_ino_t /*number*/, fuse_file_info* file) {
    Guarded(req, [&] {
        MountSession& session = SessionOf(req);
        {
            std::lock_guard lock(session.listings_mutex);
            session.listings.erase(file->fh);
        }
        fuse_reply_err(req, 0);
    });
}

void OnSyncDirectory(fuse_req_t req, fuse_ino_t /*number*/, int /*data_only*/, fuse_file_info* /*file*/) {
    // A folder's entries are on the card as soon as the call that made them returns.
    fuse_reply_err(req, 0);
}

void OnFileSystemStatus(fuse_req_t req, fuse_ino_t /*number*/) {
    Guarded(req, [&] {
        struct statvfs status {};
        if (const int error = FileSystemOf(req).FileSystemStatus(status); error != 0) {
            fuse_reply_err(req, error);
            return;
        }
        fuse_reply_statfs(req, &status);
    });
}

}  // namespace

fuse_lowlevel_ops MountOperations() {
    fuse_lowlevel_ops operations{};
    operations.init = OnInit;
    operations.lookup = OnLookup;
    operations.forget = OnForget;
    operations.forget_multi = OnForgetMulti;
    operations.getattr = OnGetAttributes;
    operations.setattr = OnSetAttributes;
    operations.mkdir = OnMakeDirectory;
    operations.unlink = OnUnlink;
    operations.rmdir = OnRemoveDirectory;
    operations.rename = OnRename;
    operations.open = OnOpen;
    operations.create = OnCreate;
    operations.read = OnRead;
    operations.write = OnWrite;
    operations.flush = OnFlush;
    operations.release = OnRelease;
    operations.fsync = OnSync;
    operations.opendir = OnOpenDirectory;
    operations.readdir = OnReadDirectory;
    operations.releasedir = OnReleaseDirectory;
    operations.fsyncdir = OnSyncDirectory;
    operations.statfs = OnFileSystemStatus;
    return operations;
}

}  // namespace quillane::mount
