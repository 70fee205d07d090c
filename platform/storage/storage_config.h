// The storage manager's configuration, read from the registry afresh on
// every mount, under HKEY_LOCAL_MACHINE\System\StorageManager:
//
//   FATFS\Filters\<name>   one key per filter of the FAT file system:
//                          `Dll` (REG_SZ) the library, a path or a bare name
//                          (see LocateFilterLibrary); `Order` (REG_DWORD,
//                          optional, default 0) its place in the stack: the
//                          lowest sits right above the FAT layer, equal
//                          orders go by key name. A key without `Dll` is no
//                          filter and is passed over (the settings program
//                          may create the Quillane key for its `Exception`
//                          value before the filter is installed).
//   Cards\<folder name>    one key per card: `HostPath` (REG_SZ) the host
//                          directory that the card folder stands for.
//   Cards                  `DiscoverRemovable` (REG_DWORD, optional): 0 keeps
//                          the storage manager from mounting the host's
//                          removable FAT volumes; any other value or none
//                          lets it.
//
// Internal to the storage manager; the installation step that writes the
// filter's key is platform::InstallFilter.
#pragma once

#include <string>
#include <vector>

#include "platform/core/types.h"

namespace platform::storage {

struct FilterEntry {
    std::u16string key_name;
    std::u16string dll;
    DWORD order = 0;
};

struct CardEntry {
    std::u16string folder_name;
    std::string host_path;
};

// The filters to stack, bottom first. A missing Filters key means none.
// Any other registry failure, or a `Dll` or `Order` of the wrong type,
// returns its error with `message`: the card must then not be mounted, since
// a filter may be configured.
DWORD ReadFilterEntries(std::vector<FilterEntry>* filters, std::string* message);

// The cards named in the registry, in key order, and the discovery switch.
// A card key without a usable `HostPath` is left out with a line in
// `messages`.
DWORD ReadCardEntries(std::vector<CardEntry>* cards, bool* discover_removable, std::vector<std::string>* messages);

}  // namespace platform::storage
