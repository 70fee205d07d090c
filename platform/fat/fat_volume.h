// The FAT layer: one volume over one host directory (the mount point of a
// card, or any folder standing for one), with the handheld FAT file system's
// semantics: names with "\" separators relative to the card root, creation
// dispositions, share modes, FAT attributes, three file times, 4 GiB - 1 file
// sizes, wildcard searches, free space in clusters, the platform's error codes.
//
// It is the bottom of every card's layer stack: the storage manager puts its
// hook table under the filters. No name reaches outside the host directory.
// Calls on different handles may run at once; the share-mode table is the
// only state the volume's handles share.
//
// What the operations of Hooks() do, beyond the platform's usual results
// (a success flag, INVALID_HANDLE_VALUE for a failed open or search) and
// last errors:
// - Names: "\a\b" and "a\b" are the same; lookup ignores case, creation
//   keeps the caller's; trailing dots and spaces are dropped as FAT drops
//   them. A name a card could not hold fails with ERROR_INVALID_NAME or
//   ERROR_FILENAME_EXCED_RANGE; "." and ".." components are invalid names;
//   a symbolic link (or device, pipe, socket) is ERROR_ACCESS_DENIED and is
//   never followed, listed or replaced. A missing folder on the way is
//   ERROR_PATH_NOT_FOUND, a missing last component ERROR_FILE_NOT_FOUND.
// - CreateFileW: success leaves ERROR_ALREADY_EXISTS for OPEN_ALWAYS and
//   CREATE_ALWAYS on an existing file, ERROR_SUCCESS otherwise. A new file
//   gets the attributes asked for plus archive; CREATE_ALWAYS gives an
//   existing file the same. Read-only files and folders refuse write access
//   and emptying (ERROR_ACCESS_DENIED); TRUNCATE_EXISTING needs
//   GENERIC_WRITE. Access 0 opens for size, times and attributes only, and
//   such an open neither refuses nor is refused by share modes. Share modes
//   hold among all handles of this process (every volume), keyed by the
//   host file, not across processes.
// - ReadFile/WriteFile work at the handle's file pointer and advance it;
//   the WithSeek forms work at their offset and neither use nor move it.
//   Null count pointers fail with ERROR_INVALID_PARAMETER. Nothing grows a
//   file past 4 GiB - 1 bytes: such a write or SetEndOfFile fails whole
//   with ERROR_DISK_FULL. SetFilePointer and GetFileSize clear the last
//   error on success, as 0xFFFFFFFF is also a valid low part; without a
//   high part SetFilePointer refuses a position past 32 bits
//   (ERROR_INVALID_PARAMETER). SetFileTime needs GENERIC_WRITE; a null or
//   zero FILETIME leaves that time; a time it sets stays while the same
//   handle goes on reading and writing (so times copied onto a file before
//   its data is written survive the writing). DeviceIoControl:
//   ERROR_NOT_SUPPORTED.
// - CloseFile and FindClose end the handle whatever they return (the host
//   releases a descriptor even when its close reports an error, which is
//   then passed on); never call them twice.
// - DeleteFileW, MoveFileW and DeleteAndRenameFileW refuse a file that is
//   open on any volume of the process (ERROR_SHARING_VIOLATION); deleting a
//   folder or a read-only file is ERROR_ACCESS_DENIED. MoveFileW never
//   replaces (ERROR_ALREADY_EXISTS) but may change only the case of a name.
//   DeleteAndRenameFileW(destination, source) puts the source in the
//   destination's place in one rename; a missing destination is accepted.
// - GetDiskFreeSpaceW: 512-byte sectors, clusters sized so that the counts
//   fit 28 bits; null out-pointers are not written; the path is not looked
//   at. Notify, RegisterFileSystemFunction, RefreshVolume and CloseVolume
//   succeed and do nothing.
#pragma once

#include <memory>
#include <string>

#include "platform/hook/hook_table.h"

namespace platform::fat {

class Volume {
public:
    // Opens the volume over `host_dir`, which must be an existing directory.
    // On failure returns null with the last error set (ERROR_PATH_NOT_FOUND,
    // ERROR_DIRECTORY, ERROR_ACCESS_DENIED, ...).
    static std::unique_ptr<Volume> Open(const std::string& host_dir);
    // Every handle of the volume must be closed before it is destroyed.
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    // The table of the 29 operations, with `volume` pointing at this Volume.
    // Valid while the Volume lives; handles it yields belong to this Volume.
    HookTable Hooks();

    const std::string& HostDirectory() const;

    // Number of file and search handles currently open on the volume.
    size_t OpenHandleCount() const;

    struct State;

private:
    explicit Volume(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace platform::fat
