// The card's attributes as POSIX ones (see attributes.h).
#include "mount/attributes.h"

#include "mount/file_modes.h"

#include "platform/core/last_error.h"
#include "platform/fat/metadata.h"
#include "platform/storage/file_api.h"

namespace quillane::mount {
namespace {

// FAT has no change time; like vfat the mount reports the last write for
// it, so tools that compare change times before and after reading a file
// find it unchanged.
void FillTimes(struct stat& attributes, const timespec& last_access, const timespec& last_write) {
    attributes.st_atim = last_access;
    attributes.st_mtim = last_write;
    attributes.st_ctim = last_write;
}

}  // namespace

bool IsDirectory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsReadOnly(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_READONLY) != 0; }

DWORD Stored(DWORD attributes) {
    const DWORD kept = attributes & platform::fat::kStoredAttributes;
    return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

timespec CardTime(const timespec& host) {
    return platform::fat::TimespecFromFileTime(platform::fat::FileTimeFromTimespec(host));
}

struct stat AttributeMap::Folder(NodeNumber number, const struct stat& host) const {
    struct stat attributes {};
    attributes.st_ino = number;
    attributes.st_mode = S_IFDIR | ShownPermissions(options_, true, false);
    attributes.st_nlink = 1;
    attributes.st_uid = options_.owner;
    attributes.st_gid = options_.group;
    attributes.st_size = host.st_size;
    attributes.st_blocks = host.st_blocks;
    attributes.st_blksize = kPreferredBlockSize;
    FillTimes(attributes, CardTime(host.st_atim), CardTime(host.st_mtim));
    return attributes;
}

struct stat AttributeMap::File(const FileFigures& figures) const {
    struct stat attributes {};
    attributes.st_ino = figures.number;
    attributes.st_mode = S_IFREG | ShownPermissions(options_, false, IsReadOnly(figures.card_attributes));
    attributes.st_nlink = figures.unlinked ? 0 : 1;
    attributes.st_uid = options_.owner;
    attributes.st_gid = options_.group;
    attributes.st_size = static_cast<off_t>(figures.plain_size);
    attributes.st_blocks = figures.blocks;
    attributes.st_blksize = kPreferredBlockSize;
    FillTimes(attributes, figures.last_access, figures.last_write);
    return attributes;
}

bool EvenIfReadOnly(const std::u16string& path, const std::function<bool()>& step) {
    if (step()) return true;
    const DWORD error = platform::GetLastError();
    const DWORD attributes = platform::GetFileAttributesW(path.c_str());
    if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES || !IsReadOnly(attributes) ||
        IsDirectory(attributes)) {
        platform::SetLastError(error);
        return false;
    }
    platform::SetFileAttributesW(path.c_str(), Stored(attributes & ~FILE_ATTRIBUTE_READONLY));
    if (step()) return true;
    const DWORD second = platform::GetLastError();
    platform::SetFileAttributesW(path.c_str(), Stored(attributes));
    platform::SetLastError(second);
    return false;
}

bool DeleteEvenIfReadOnly(const std::u16string& path) {
    return EvenIfReadOnly(path, [&] { return platform::DeleteFileW(path.c_str()) != FALSE; });
}

}  // namespace quillane::mount
