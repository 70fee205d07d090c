// FAT attributes and the three file times of host objects, for the FAT
// layer's handles, searches and attribute calls. Where the card keeps them:
// - a vfat mount: the card's own attributes (the kernel's FAT attribute
//   ioctls); read-only also shows in the mode bits;
// - a host folder with user extended attributes (ext4, tmpfs): the extended
//   attribute "user.quillane.attributes", with read-only also in the mode
//   bits so that host programs respect it, and the creation time in
//   "user.quillane.created" where the host cannot set a birth time;
// - a host with neither (FUSE-served FAT drivers, which show only as
//   "fuse"): the volume keeps what calls set for as long as it is open,
//   keyed by the host object, and forgets an object when the layer removes
//   it; read-only is also whatever the mode bits tell. A new volume over the
//   same card starts again from the mode bits and the modification time.
// Reads ask the host each time; only the last kind keeps anything.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <utility>

#include "platform/core/types.h"

namespace platform::fat {

// The attributes a FAT card stores.
constexpr DWORD kStoredAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

enum class AttributeStoreKind {
    kFatIoctl,           // the host directory is on a vfat mount
    kExtendedAttribute,  // a host file system that holds user extended attributes
    kVolumeMemory,       // neither: the volume keeps them while it is open
};

// Which kind serves the file system that the folder open at `fd` is on.
AttributeStoreKind StoreKindFor(int fd);

// Where one volume's attributes and creation times are kept (see above).
// Safe to use from several threads at once.
class AttributeStore {
public:
    AttributeStoreKind Kind() const { return kind_; }
    // Set once, when the volume opens, before any other call.
    void SetKind(AttributeStoreKind kind) { kind_ = kind; }

    // The host object with `status` has been removed: what was kept for it
    // goes, so that an object the host later gives the same number to
    // starts afresh.
    void Forget(const struct stat& status);

    struct Kept {
        DWORD attributes = 0;
        bool has_attributes = false;
        std::uint64_t creation = 0;  // FILETIME as one number; 0 when none was kept
    };
    Kept Lookup(const struct stat& status) const;
    void KeepAttributes(const struct stat& status, DWORD attributes);
    void KeepCreation(const struct stat& status, std::uint64_t creation);

private:
    using Key = std::pair<dev_t, ino_t>;
    AttributeStoreKind kind_ = AttributeStoreKind::kExtendedAttribute;
    mutable std::mutex mutex_;
    std::map<Key, Kept> kept_;
};

// The attributes of the object open at `fd` (or, with `fd` -1, what the mode
// bits tell alone), with `status` its fstat: the stored ones, plus
// FILE_ATTRIBUTE_DIRECTORY for a directory, or FILE_ATTRIBUTE_NORMAL when
// there are none.
DWORD ReadAttributes(const AttributeStore& store, int fd, const struct stat& status);

// Stores the kStoredAttributes bits of `attributes` for the object open at
// `fd`; other bits are ignored. ERROR_SUCCESS or the host's error, mapped;
// a host that cannot keep them is not an error.
DWORD WriteAttributes(AttributeStore& store, int fd, const struct stat& status, DWORD attributes);

struct FileTimes {
    FILETIME creation;
    FILETIME last_access;
    FILETIME last_write;
};

FileTimes ReadTimes(const AttributeStore& store, int fd, const struct stat& status);

// Whether SetFileTime was given a time to set: not null and not zero.
bool IsTimeGiven(const FILETIME* time);

// Sets the times that are given and not zero (a null pointer or a zero
// FILETIME leaves that time alone). ERROR_SUCCESS or the host's error.
DWORD WriteTimes(AttributeStore& store, int fd, const FILETIME* creation, const FILETIME* last_access,
                 const FILETIME* last_write);

// Records the object's creation time as its current last-write time, for a
// file or folder just made.
void RecordCreationTime(AttributeStore& store, int fd);

FILETIME FileTimeFromTimespec(const timespec& time);
timespec TimespecFromFileTime(const FILETIME& time);

}  // namespace platform::fat
