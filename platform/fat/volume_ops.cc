// The volume-level operations of the FAT layer that work on names: folders,
// attributes by name, delete, move, delete-and-rename, free space, and the
// notifications that a card folder needs nothing for. Opens and searches
// are in create_file.cc and search.cc.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/core/last_error.h"
#include "platform/fat/host_error.h"
#include "platform/fat/names.h"
#include "platform/fat/volume_state.h"

namespace platform::fat::operations {
namespace {

Volume::State* AsVolume(HANDLE h) {
    if (h == nullptr || h == INVALID_HANDLE_VALUE) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return static_cast<Volume::State*>(h);
}

FileIdentity IdentityOf(const struct stat& status) { return FileIdentity{status.st_dev, status.st_ino}; }

// Resolves `path` to an entry that exists; ERROR_FILE_NOT_FOUND otherwise.
DWORD ResolveExisting(const Volume::State& volume, LPCWSTR path, Resolved& resolved) {
    if (const DWORD error = Resolve(volume.root.Get(), path, resolved, &volume.names); error != ERROR_SUCCESS) {
        return error;
    }
    if (!resolved.is_root && !resolved.entry.exists) return ERROR_FILE_NOT_FOUND;
    return ERROR_SUCCESS;
}

DWORD AttributesOf(const Volume::State& volume, const Resolved& resolved) {
    UniqueFd fd;
    OpenEntry(resolved.parent.Get(), resolved.entry, O_RDONLY, fd);
    return ReadAttributes(volume.store, fd.Get(), resolved.entry.status);
}

bool IsEmptyFolder(const Resolved& resolved) {
    UniqueFd folder(openat(resolved.parent.Get(), resolved.entry.host_name.c_str(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    std::vector<std::string> names;
    return folder.Valid() && ListDirectory(folder.Get(), names) == ERROR_SUCCESS && names.empty();
}

// Delete refuses folders and read-only files, as FAT does.
DWORD CheckDeletable(const Volume::State& volume, const Resolved& resolved) {
    if (resolved.is_root || S_ISDIR(resolved.entry.status.st_mode)) return ERROR_ACCESS_DENIED;
    if ((AttributesOf(volume, resolved) & FILE_ATTRIBUTE_READONLY) != 0) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
}

// Renames without ever replacing an entry at the new name: 0 or the host's
// errno (EEXIST when the name is taken). Hosts that cannot promise that in
// the rename itself (FUSE-served FAT drivers answer RENAME_NOREPLACE with
// EINVAL, older kernels with ENOSYS) get a look at the new name first, then
// a plain rename. That leaves a window: an entry that another process makes
// at the new name between the look and the rename is replaced. Within this
// process the share table keeps the layer's own calls out of it, and FAT has
// no hard links to make the check atomic with instead.
int RenameWithoutReplacing(int from_dir, const char* from_name, int to_dir, const char* to_name) {
    if (renameat2(from_dir, from_name, to_dir, to_name, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    struct stat existing {};
    if (fstatat(to_dir, to_name, &existing, AT_SYMLINK_NOFOLLOW) == 0) return EEXIST;
    if (errno != ENOENT) return errno;
    return renameat(from_dir, from_name, to_dir, to_name) == 0 ? 0 : errno;
}

int RenameNoReplace(const Resolved& from, const Resolved& to, const std::string& to_name) {
    return RenameWithoutReplacing(from.parent.Get(), from.entry.host_name.c_str(), to.parent.Get(), to_name.c_str());
}

// A rename that changes only the case of a name: the two names are one
// entry on a vfat mount, where renaming straight would do nothing, so the
// name goes through a free temporary name first.
DWORD RenameCaseOnly(const Resolved& from, const Resolved& to, const std::string& to_name) {
    if (from.entry.host_name == to_name) return ERROR_SUCCESS;
    const int direct = RenameNoReplace(from, to, to_name);
    if (direct == 0) return ERROR_SUCCESS;
    if (direct != EEXIST) return ErrorFromErrno(direct);
    char temporary[64];
    std::snprintf(temporary, sizeof temporary, ".quillane-rename-%d-%llu", static_cast<int>(getpid()),
                  static_cast<unsigned long long>(from.entry.status.st_ino));
    if (const int first = RenameWithoutReplacing(from.parent.Get(), from.entry.host_name.c_str(), from.parent.Get(),
                                                 temporary);
        first != 0) {
        return ErrorFromErrno(first);
    }
    if (const int second = RenameWithoutReplacing(from.parent.Get(), temporary, to.parent.Get(), to_name.c_str());
        second != 0) {
        RenameWithoutReplacing(from.parent.Get(), temporary, from.parent.Get(), from.entry.host_name.c_str());
        return ErrorFromErrno(second);
    }
    return ERROR_SUCCESS;
}

// A move keeps a file's times on FAT, but fusefat stamps a file renamed
// over another with the time of the rename: the times it had are put back.
void KeepTimesOfMoved(const struct stat& before, int dir, const std::string& name) {
    struct stat after {};
    if (!S_ISREG(before.st_mode) || fstatat(dir, name.c_str(), &after, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec) return;
    const timespec times[2] = {before.st_atim, before.st_mtim};
    utimensat(dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Scales the host's bytes to clusters of 512-byte sectors, with clusters
// large enough that the counts fit 28 bits, as on a FAT32 volume; doubling
// such a count can never overflow 32 bits.
struct ClusterCounts {
    DWORD sectors_per_cluster;
    DWORD free_clusters;
    DWORD total_clusters;
};

constexpr DWORD kBytesPerSector = 512;
constexpr std::uint64_t kMaxClusters = (1u << 28) - 1;

ClusterCounts CountClusters(std::uint64_t total_bytes, std::uint64_t free_bytes, std::uint64_t block_size) {
    std::uint64_t sectors = 1;
    while (sectors * kBytesPerSector < block_size) sectors *= 2;
    while (total_bytes / (sectors * kBytesPerSector) > kMaxClusters) sectors *= 2;
    const std::uint64_t cluster = sectors * kBytesPerSector;
    return ClusterCounts{static_cast<DWORD>(sectors), static_cast<DWORD>(free_bytes / cluster),
                         static_cast<DWORD>(total_bytes / cluster)};
}

}  // namespace

BOOL CloseVolume(HANDLE h) noexcept { return AsVolume(h) != nullptr; }

BOOL CreateDirectoryW(HANDLE h, LPCWSTR path, LPSECURITY_ATTRIBUTES /*security*/) noexcept {
    Volume::State* volume = AsVolume(h);
    if (volume == nullptr) return FALSE;
    Resolved resolved;
    if (const DWORD error = Resolve(volume->root.Get(), path, resolved, &volume->names); error != ERROR_SUCCESS) {
        return FailWith(error);
    }
    if (resolved.is_root || resolved.entry.exists) return FailWith(ERROR_ALREADY_EXISTS);
    const char* name = resolved.entry.host_name.c_str();
    if (mkdirat(resolved.parent.Get(), name, 0777) != 0) return FailWithErrno(errno);
    UniqueFd made(openat(resolved.parent.Get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat made_status {};
    if (made.Valid() && fstat(made.Get(), &made_status) == 0) {
        // A number the host gives again starts with nothing kept.
        volume->store.Forget(made_status);
        RecordCreationTime(volume->store, made.Get());
    }
    return TRUE;
}

BOOL RemoveDirectoryW(HANDLE h, LPCWSTR path) noexcept {
    Volume::State* volume = AsVolume(h);
    if (volume == nullptr) return FALSE;
    Resolved resolved;
    if (const DWORD error = ResolveExisting(*volume, path, resolved); error != ERROR_SUCCESS) return FailWith(error);
    if (resolved.is_root) return FailWith(ERROR_ACCESS_DENIED);
    if (!S_ISDIR(resolved.entry.status.st_mode)) return FailWith(ERROR_DIRECTORY);
    if ((AttributesOf(*volume, resolved) & FILE_ATTRIBUTE_READONLY) != 0) return FailWith(ERROR_ACCESS_DENIED);
    if (unlinkat(resolved.parent.Get(), resolved.entry.host_name.c_str(), AT_REMOVEDIR) != 0) {
        // Hosts say "not empty" in their own ways: EEXIST, or EPERM (fusefat).
        const int remove_errno = errno;
        if (remove_errno == EEXIST || (remove_errno == EPERM && !IsEmptyFolder(resolved))) {
            return FailWithErrno(ENOTEMPTY);
        }
        return FailWithErrno(remove_errno);
    }
    volume->store.Forget(resolved.entry.status);
    return TRUE;
}

DWORD GetFileAttributesW(HANDLE h, LPCWSTR path) noexcept {
    Volume::State* volume = AsVolume(h);
    if (volume == nullptr) return INVALID_FILE_ATTRIBUTES;
    Resolved resolved;
    if (const DWORD error = ResolveExisting(*volume, path, resolved); error != ERROR_SUCCESS) {
        SetLastError(error);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (resolved.is_root) {
        // The card root is a folder whose attributes no call can change.
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    return AttributesOf(*volume, resolved);
}

BOOL SetFileAttributesW(HANDLE h, LPCWSTR path, DWORD attributes) noexcept {
    Volume::State* volume = AsVolume(h);
    if (volume == nullptr) return FALSE;
    Resolved resolved;
    if (const DWORD error = ResolveExisting(*volume, path, resolved); error != ERROR_SUCCESS) return FailWith(error);
    if (resolved.is_root) return FailWith(ERROR_ACCESS_DENIED);
    UniqueFd fd;
    if (const DWORD error = OpenEntry(resolved.parent.Get(), resolved.entry, O_RDONLY, fd); error != ERROR_SUCCESS) {
        return FailWith(error);
    }
    if (const DWORD error = WriteAttributes(volume->store, fd.Get(), resolved.entry.status, attributes);
        error != ERROR_SUCCESS) {
        return FailWith(error);
    }
    return TRUE;
}

BOOL DeleteFileW(HANDLE h, LPCWSTR path) noexcept {
    Volume::State* volume = AsVolume(h);
    if (volume == nullptr) return FALSE;
    Resolved resolved;
    if (const DWORD error = ResolveExisting(*volume, path, resolved); error != ERROR_SUCCESS) return FailWith(error);
    if (const DWORD error = CheckDeletable(*volume, resolved); error != ERROR_SUCCESS) return FailWith(error);
    const DWORD error = ShareTable::Instance().WhileClosed({IdentityOf(resolved.entry.status)}, [&] {
        return unlinkat(resolved.parent.Get(), resolved.entry.host_name.c_str(), 0) == 0 ? ERROR_SUCCESS
                                                                                          : ErrorFromErrno(errno);
    });
    if (error != ERROR_SUCCESS) return FailWith(error);
    volume->store.Forget(resolved.entry.status);
    return TRUE;
}

BOOL MoveFileW(HANDLE h, LPCWSTR old_path, LPCWSTR new_path) noexcept {
    Volume::State* volume = AsVolume(h);
    if (volume == nullptr) return FALSE;
    Resolved from;
    if (const DWORD error = ResolveExisting(*volume, old_path, from); error != ERROR_SUCCESS) return FailWith(error);
    if (from.is_root) return FailWith(ERROR_ACCESS_DENIED);
    Resolved to;
    if (const DWORD error = Resolve(volume->root.Get(), new_path, to, &volume->names); error != ERROR_SUCCESS) {
        return FailWith(error);
    }
    if (to.is_root) return FailWith(ERROR_ALREADY_EXISTS);
    // The new path's own spelling becomes the name, also for a case change.
    std::vector<NameComponent> components;
    SplitPath(new_path, components);
    const std::string& new_name = components.back().host;
    const FileIdentity identity = IdentityOf(from.entry.status);
    const bool same_object = to.entry.exists && IdentityOf(to.entry.status) == identity;
    if (to.entry.exists && !same_object) return FailWith(ERROR_ALREADY_EXISTS);
    const DWORD error = ShareTable::Instance().WhileClosed({identity}, [&] {
        if (same_object) return RenameCaseOnly(from, to, new_name);
        const int rename_errno = RenameNoReplace(from, to, new_name);
        return rename_errno == 0 ? ERROR_SUCCESS : ErrorFromErrno(rename_errno);
    });
    if (error != ERROR_SUCCESS) return FailWith(error);
    KeepTimesOfMoved(from.entry.status, to.parent.Get(), new_name);
    return TRUE;
}

BOOL DeleteAndRenameFileW(HANDLE h, LPCWSTR destination, LPCWSTR source) noexcept {
    Volume::State* volume = AsVolume(h);
    if (volume == nullptr) return FALSE;
    Resolved from;
    if (const DWORD error = ResolveExisting(*volume, source, from); error != ERROR_SUCCESS) return FailWith(error);
    if (from.is_root || S_ISDIR(from.entry.status.st_mode)) return FailWith(ERROR_ACCESS_DENIED);
    Resolved to;
    if (const DWORD error = Resolve(volume->root.Get(), destination, to, &volume->names); error != ERROR_SUCCESS) {
        return FailWith(error);
    }
    if (to.entry.exists) {
        if (const DWORD error = CheckDeletable(*volume, to); error != ERROR_SUCCESS) return FailWith(error);
        if (IdentityOf(to.entry.status) == IdentityOf(from.entry.status)) return TRUE;
    } else if (to.is_root) {
        return FailWith(ERROR_ACCESS_DENIED);
    }
    const FileIdentity source_identity = IdentityOf(from.entry.status);
    const FileIdentity destination_identity = to.entry.exists ? IdentityOf(to.entry.status) : source_identity;
    // One rename replaces the destination: at every instant the name holds
    // either the old file or the new one.
    const DWORD error = ShareTable::Instance().WhileClosed({source_identity, destination_identity}, [&] {
        return renameat(from.parent.Get(), from.entry.host_name.c_str(), to.parent.Get(),
                        to.entry.host_name.c_str()) == 0
                   ? ERROR_SUCCESS
                   : ErrorFromErrno(errno);
    });
    if (error != ERROR_SUCCESS) return FailWith(error);
    KeepTimesOfMoved(from.entry.status, to.parent.Get(), to.entry.host_name);
    if (to.entry.exists) volume->store.Forget(to.entry.status);
    return TRUE;
}

BOOL GetDiskFreeSpaceW(HANDLE h, LPCWSTR /*path*/, PDWORD sectors_per_cluster, PDWORD bytes_per_sector,
                       PDWORD free_clusters, PDWORD total_clusters) noexcept {
    Volume::State* volume = AsVolume(h);
    if (volume == nullptr) return FALSE;
    struct statvfs info {};
    if (fstatvfs(volume->root.Get(), &info) != 0) return FailWithErrno(errno);
    const std::uint64_t unit = info.f_frsize != 0 ? info.f_frsize : info.f_bsize;
    const ClusterCounts counts = CountClusters(static_cast<std::uint64_t>(info.f_blocks) * unit,
                                               static_cast<std::uint64_t>(info.f_bavail) * unit, unit);
    if (sectors_per_cluster != nullptr) *sectors_per_cluster = counts.sectors_per_cluster;
    if (bytes_per_sector != nullptr) *bytes_per_sector = kBytesPerSector;
    if (free_clusters != nullptr) *free_clusters = counts.free_clusters;
    if (total_clusters != nullptr) *total_clusters = counts.total_clusters;
    return TRUE;
}

BOOL Notify(HANDLE h, DWORD /*flags*/) noexcept { return AsVolume(h) != nullptr; }

BOOL RegisterFileSystemFunction(HANDLE h, FILESYSTEM_NOTIFY_FUNCTION /*function*/) noexcept {
    return AsVolume(h) != nullptr;
}

BOOL RefreshVolume(HANDLE h) noexcept { return AsVolume(h) != nullptr; }

}  // namespace platform::fat::operations
