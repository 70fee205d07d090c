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

AttributeStore StoreFor(int fd) {
    struct statfs info {};
    if (fstatfs(fd, &info) == 0 && info.f_type == MSDOS_SUPER_MAGIC) return AttributeStore::kFatIoctl;
    return AttributeStore::kExtendedAttribute;
}

DWORD ReadAttributes(AttributeStore store, int fd, const struct stat& status) {
    DWORD attributes = 0;
    if (fd >= 0 && store == AttributeStore::kFatIoctl) {
        std::uint32_t fat = 0;
        if (ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &fat) == 0) attributes = fat & kStoredAttributes;
    } else if (fd >= 0) {
        char text[16] = {};
        const ssize_t length = fgetxattr(fd, kAttributesName, text, sizeof text - 1);
        if (length > 0) attributes = static_cast<DWORD>(std::strtoul(text, nullptr, 16)) & kStoredAttributes;
    }
    if (store == AttributeStore::kExtendedAttribute && S_ISREG(status.st_mode)) {
        // The mode bits are the truth for read-only: a host program may have
        // changed them since the extended attribute was written.
        attributes &= ~FILE_ATTRIBUTE_READONLY;
        if ((status.st_mode & kAnyWrite) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
    }
    if (S_ISDIR(status.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    return attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes;
}

DWORD WriteAttributes(AttributeStore store, int fd, const struct stat& status, DWORD attributes) {
    attributes &= kStoredAttributes;
    if (store == AttributeStore::kFatIoctl) {
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

FileTimes ReadTimes(int fd, const struct stat& status) {
    FileTimes times{};
    times.last_write = FileTimeFromTimespec(status.st_mtim);
    times.last_access = FileTimeFromTimespec(status.st_atim);
    times.creation = times.last_write;
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

DWORD WriteTimes(int fd, const FILETIME* creation, const FILETIME* last_access, const FILETIME* last_write) {
    const auto given = IsTimeGiven;
    timespec host[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
    if (given(last_access)) host[0] = TimespecFromFileTime(*last_access);
    if (given(last_write)) host[1] = TimespecFromFileTime(*last_write);
    if ((given(last_access) || given(last_write)) && futimens(fd, host) != 0) return ErrorFromErrno(errno);
    if (given(creation)) {
        const std::uint64_t stored = Combine(*creation);
        const int set_errno = SetExtendedAttribute(fd, kCreatedName, &stored, sizeof stored);
        if (set_errno != 0 && !Unsupported(set_errno)) return ErrorFromErrno(set_errno);
    }
    return ERROR_SUCCESS;
}

void RecordCreationTime(int fd) {
    struct stat status {};
    if (fstat(fd, &status) != 0) return;
    const std::uint64_t stored = Combine(FileTimeFromTimespec(status.st_mtim));
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
