// Mode bits of the mount's files and folders (see file_modes.h).
#include "mount/file_modes.h"

#include <sys/stat.h>

#include <cerrno>

namespace quillane::mount {
namespace {

constexpr mode_t kAllPermissions = S_IRWXU | S_IRWXG | S_IRWXO;
constexpr mode_t kAnyWrite = S_IWUSR | S_IWGRP | S_IWOTH;

mode_t MaskOf(const OwnerOptions& options, bool directory) {
    return directory ? options.folder_mask : options.file_mask;
}

}  // namespace

mode_t ShownPermissions(const OwnerOptions& options, bool directory, bool read_only) {
    mode_t bits = kAllPermissions & ~MaskOf(options, directory);
    // A folder's read-only attribute means nothing to FAT's own system
    // either: it does not keep files from being made or removed in it.
    if (read_only && !directory) bits &= ~kAnyWrite;
    return bits;
}

int ReadModeChange(bool directory, mode_t requested, ModeChange& change) {
    change = ModeChange::kNone;
    if ((requested & (S_ISUID | S_ISGID | S_ISVTX)) != 0) return EPERM;
    if (!directory) change = (requested & kAnyWrite) == 0 ? ModeChange::kSetReadOnly : ModeChange::kClearReadOnly;
    return 0;
}

}  // namespace quillane::mount
