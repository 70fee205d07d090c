// FAT attributes and the three file times of host objects, for the FAT
// layer's handles, searches and attribute calls. On a vfat mount the
// attributes are the card's own (the kernel's FAT attribute ioctls); on any
// other host folder they live in the extended attribute
// "user.quillane.attributes", and read-only is also shown in the mode bits
// so that host programs respect it. Creation times live in
// "user.quillane.created" where the host cannot set a birth time. A host
// that refuses extended attributes keeps read-only (mode bits) and loses
// hidden, system, archive and set creation times: best effort, never an
// error. Not a cache: every call reads the host.
#pragma once

#include <sys/stat.h>

#include <ctime>

#include "platform/core/types.h"

namespace platform::fat {

// The attributes a FAT card stores.
constexpr DWORD kStoredAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

enum class AttributeStore {
    kFatIoctl,           // the host directory is on a vfat mount
    kExtendedAttribute,  // any other host file system
};

// Which store serves the file system that `fd` is on.
AttributeStore StoreFor(int fd);

// The attributes of the object open at `fd` (or, with `fd` -1, what the mode
// bits tell alone), with `status` its fstat: the stored ones, plus
// FILE_ATTRIBUTE_DIRECTORY for a directory, or FILE_ATTRIBUTE_NORMAL when
// there are none.
DWORD ReadAttributes(AttributeStore store, int fd, const struct stat& status);

// Stores the kStoredAttributes bits of `attributes` for the object open at
// `fd`; other bits are ignored. ERROR_SUCCESS or the host's error, mapped;
// a host without extended attributes is not an error.
DWORD WriteAttributes(AttributeStore store, int fd, const struct stat& status, DWORD attributes);

struct FileTimes {
    FILETIME creation;
    FILETIME last_access;
    FILETIME last_write;
};

FileTimes ReadTimes(int fd, const struct stat& status);

// Whether SetFileTime was given a time to set: not null and not zero.
bool IsTimeGiven(const FILETIME* time);

// Sets the times that are given and not zero (a null pointer or a zero
// FILETIME leaves that time alone). ERROR_SUCCESS or the host's error.
DWORD WriteTimes(int fd, const FILETIME* creation, const FILETIME* last_access, const FILETIME* last_write);

// Records the object's creation time as its current last-write time, for a
// file or folder just made.
void RecordCreationTime(int fd);

FILETIME FileTimeFromTimespec(const timespec& time);
timespec TimespecFromFileTime(const FILETIME& time);

}  // namespace platform::fat
