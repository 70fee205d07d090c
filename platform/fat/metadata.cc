// FAT attributes and file times of host objects (see metadata.h).
#include "platform/fat/metadata.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <sys/xattr.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/fat/host_error.h"

namespace platform::fat {
namespace {

constexpr char kAttributesName[] = "user.quillane.attributes";
constexpr char kCreatedName[] = "user.quillane.created";

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr std::int64_t kUnixEpochInFileTime = 116444736000000000;

constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;

std::uint64_t Combine(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME Split(std::uint64_t value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

bool Unsupported(int host_errno) { return host_errno == ENOTSUP || host_errno == ENOSYS; }

// Setting a user extended attribute needs write permission on the inode,
// which a read-only file does not give; the owner lends it for the moment.
int SetExtendedAttribute(int fd, const char* name, const void* value, size_t size) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return errno;
    const bool lend = S_ISREG(status.st_mode) && (status.st_mode & S_IWUSR) == 0;
    if (lend && fchmod(fd, (status.st_mode & 07777) | S_IWUSR) != 0) return errno;
    const int result = fsetxattr(fd, name, value, size, 0) == 0 ? 0 : errno;
    if (lend) fchmod(fd, status.st_mode & 07777);
    return result;
}

}  // namespace

AttributeStoreKind StoreKindFor(int fd) {
    struct statfs info {};
    if (fstatfs(fd, &info) == 0 && info.f_type == MSDOS_SUPER_MAGIC) return AttributeStoreKind::kFatIoctl;
    // A host that has no extended attributes says so for any name; one that
    // has them says only that this one is missing.
    char probe;
    if (fgetxattr(fd, kAttributesName, &probe, sizeof probe) < 0 && Unsupported(errno)) {
        return AttributeStoreKind::kVolumeMemory;
    }
    return AttributeStoreKind::kExtendedAttribute;
}

void AttributeStore::Forget(const struct stat& status) {
    if (kind_ != AttributeStoreKind::kVolumeMemory) return;
    std::lock_guard lock(mutex_);
    kept_.erase(Key{status.st_dev, status.st_ino});
}

AttributeStore::Kept AttributeStore::Lookup(const struct stat& status) const {
    std::lock_guard lock(mutex_);
    const auto found = kept_.find(Key{status.st_dev, status.st_ino});
    return found == kept_.end() ? Kept{} : found->second;
}

void AttributeStore::KeepAttributes(const struct stat& status, DWORD attributes) {
    std::lock_guard lock(mutex_);
    Kept& kept = kept_[Key{status.st_dev, status.st_ino}];
    kept.attributes = attributes;
    kept.has_attributes = true;
}

void AttributeStore::KeepCreation(const struct stat& status, std::uint64_t creation) {
    std::lock_guard lock(mutex_);
    kept_[Key{status.st_dev, status.st_ino}].creation = creation;
}

DWORD ReadAttributes(const AttributeStore& store, int fd, const struct stat& status) {
    DWORD attributes = 0;
    const AttributeStoreKind kind = store.Kind();
    if (fd >= 0 && kind == AttributeStoreKind::kFatIoctl) {
        std::uint32_t fat = 0;
        if (ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) == 0) attributes = fat & kStoredAttributes;
    } else if (kind == AttributeStoreKind::kVolumeMemory) {
        const AttributeStore::Kept kept = store.Lookup(status);
        if (kept.has_attributes) attributes = kept.attributes;
    } else if (fd >= 0) {
        char text[16] = {};
        const ssize_t length = fgetxattr(fd, kAttributesName, text, sizeof text - 1);
        if (length > 0) attributes = static_cast<DWORD>(std::strtoul(text, nullptr, 16)) & kStoredAttributes;
    }
    if (kind == AttributeStoreKind::kExtendedAttribute && S_ISREG(status.st_mode)) {
        // The mode bits are the truth for read-only: a host program may have
        // changed them since the extended attribute was written.
        attributes &= ~FILE_ATTRIBUTE_READONLY;
        if ((status.st_mode & kAnyWrite) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (kind == AttributeStoreKind::kVolumeMemory && S_ISREG(status.st_mode) && (status.st_mode & kAnyWrite) == 0) {
        // Kept for the volume's life, and read-only besides when the host
        // says so: such a host keeps no mode bits of ours.
        attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (S_ISDIR(status.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

DWORD WriteAttributes(AttributeStore& store, int fd, const struct stat& status, DWORD attributes) {
    attributes &= kStoredAttributes;
    if (store.Kind() == AttributeStoreKind::kVolumeMemory) {
        store.KeepAttributes(status, attributes);
        return ERROR_SUCCESS;
    }
    if (store.Kind() == AttributeStoreKind::kFatIoctl) {
        std::uint32_t fat = attributes;
        if (S_ISDIR(status.st_mode)) fat |= ATTR_DIR;
        return ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &fat) == 0 ? ERROR_SUCCESS : ErrorFromErrno(errno);
    }
    char text[16];
    const int length = std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(attributes));
    const int set_errno = SetExtendedAttribute(fd, kAttributesName, text, static_cast<size_t>(length));
    if (set_errno != 0 && !Unsupported(set_errno)) return ErrorFromErrno(set_errno);
    if (S_ISREG(status.st_mode)) {
        struct stat now {};
        if (fstat(fd, &now) != 0) return ErrorFromErrno(errno);
        mode_t mode = now.st_mode & 07777;
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            mode &= ~kAnyWrite;
        } else if ((mode & kAnyWrite) == 0) {
            mode |= S_IWUSR;
        }
        if (mode != (now.st_mode & 07777) && fchmod(fd, mode) != 0) return ErrorFromErrno(errno);
    }
    return ERROR_SUCCESS;
}

FileTimes ReadTimes(const AttributeStore& store, int fd, const struct stat& status) {
    FileTimes times{};
    times.last_write = FileTimeFromTimespec(status.st_mtim);
    times.last_access = FileTimeFromTimespec(status.st_atim);
    times.creation = times.last_write;
    if (store.Kind() == AttributeStoreKind::kVolumeMemory) {
        if (const std::uint64_t kept = store.Lookup(status).creation; kept != 0) times.creation = Split(kept);
        return times;
    }
    if (fd < 0) return times;
    std::uint64_t stored = 0;
    if (fgetxattr(fd, kCreatedName, &stored, sizeof stored) == static_cast<ssize_t>(sizeof stored)) {
        times.creation = Split(stored);
        return times;
    }
    struct statx extended {};
    if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &extended) == 0 && (extended.stx_mask & STATX_BTIME) != 0) {
        const timespec birth{static_cast<time_t>(extended.stx_btime.tv_sec),
                             static_cast<long>(extended.stx_btime.tv_nsec)};
        times.creation = FileTimeFromTimespec(birth);
    }
    return times;
}

bool IsTimeGiven(const FILETIME* time) { return time != nullptr && Combine(*time) != 0; }

DWORD WriteTimes(AttributeStore& store, int fd, const FILETIME* creation, const FILETIME* last_access,
                 const FILETIME* last_write) {
    const auto given = IsTimeGiven;
    timespec host[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    if (given(last_access)) host[0] = TimespecFromFileTime(*last_access);
    if (given(last_write)) host[1] = TimespecFromFileTime(*last_write);
    if ((given(last_access) || given(last_write)) && futimens(fd, host) != 0) return ErrorFromErrno(errno);
    if (given(creation) && store.Kind() == AttributeStoreKind::kVolumeMemory) {
        struct stat status {};
        if (fstat(fd, &status) != 0) return ErrorFromErrno(errno);
        store.KeepCreation(status, Combine(*creation));
    } else if (given(creation)) {
        const std::uint64_t stored = Combine(*creation);
        const int set_errno = SetExtendedAttribute(fd, kCreatedName, &stored, sizeof stored);
        if (set_errno != 0 && !Unsupported(set_errno)) return ErrorFromErrno(set_errno);
    }
    return ERROR_SUCCESS;
}

void RecordCreationTime(AttributeStore& store, int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return;
    const std::uint64_t stored = Combine(FileTimeFromTimespec(status.st_mtim));
    if (store.Kind() == AttributeStoreKind::kVolumeMemory) {
        store.KeepCreation(status, stored);
        return;
    }
    SetExtendedAttribute(fd, kCreatedName, &stored, sizeof stored);
}

FILETIME FileTimeFromTimespec(const timespec& time) {
    const std::int64_t value =
        static_cast<std::int64_t>(time.tv_sec) * 10000000 + time.tv_nsec / 100 + kUnixEpochInFileTime;
    return Split(value < 0 ? 0 : static_cast<std::uint64_t>(value));
}

timespec TimespecFromFileTime(const FILETIME& time) {
    // The top bit is dropped so that the value stays a valid signed count.
    const std::int64_t since_unix =
        static_cast<std::int64_t>(Combine(time) & 0x7FFFFFFFFFFFFFFFull) - kUnixEpochInFileTime;
    std::int64_t seconds = since_unix / 10000000;
    std::int64_t rest = since_unix % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    return timespec{static_cast<time_t>(seconds), static_cast<long>(rest * 100)};
}

}  // namespace platform::fat
