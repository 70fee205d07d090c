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
