// The storage manager: mounts cards and gives programs the platform's file
// API (file_api.h) over them. Each card has a stack of layers: the FAT layer
// over the card's host directory at the bottom, then every filter registered
// under HKEY_LOCAL_MACHINE\System\StorageManager\FATFS\Filters\<name> (value
// `Dll`: a library path, or a name looked up in the program's library folder),
// loaded with dlopen (RTLD_LOCAL), its entries found by name, attached with
// HookVolume. A card whose configured filter cannot be loaded is not mounted:
// programs must never see a card raw when its filter is configured.
//
// Which cards: MountConfiguredCards mounts one card per key
// HKEY_LOCAL_MACHINE\System\StorageManager\Cards\<folder name>, whose REG_SZ
// value `HostPath` names the host directory, and then, unless the REG_DWORD
// value `DiscoverRemovable` of the Cards key is 0, each removable FAT volume
// the host has mounted (vfat, exfat, msdos under /media or /run/media), named
// after its mount folder. storage_config.h tells the registry layout whole.
//
// One storage manager serves the process, as on the handheld.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/types.h"
#include "platform/hook/hook_table.h"

namespace platform {

namespace storage {
struct StorageAccess;
}

struct MountOptions {
    // Tests: wraps the FAT layer's table in another layer of the same shape
    // (fault injection, tracing) before the filters are stacked on it. The
    // returned table must stay valid until the card is unmounted.
    std::function<HookTable(const HookTable& fat_layer)> wrap_bottom;
};

class StorageManager {
public:
    static StorageManager& Instance();

    // Mounts `host_dir` as the card folder `\folder_name` with the registered
    // filters stacked on it. Returns ERROR_SUCCESS, or an error code with
    // `message` (when given) naming what failed: the folder, the library, the
    // missing entry. A name already mounted gives ERROR_ALREADY_EXISTS.
    DWORD MountCard(std::u16string_view folder_name, const std::string& host_dir, std::string* message = nullptr,
                    const MountOptions& options = {});

    // Closes the card's open handles (through its filters, so their closes
    // run), unhooks the filters, unloads them and forgets the card; the
    // card's program handles are refused from then on. Waits for path calls
    // on the card that are running. ERROR_FILE_NOT_FOUND when no such card is
    // mounted. When a layer refuses a close, the card is unmounted all the
    // same and that close's error is returned.
    DWORD UnmountCard(std::u16string_view folder_name);
    void UnmountAll();

    // Mounts the cards named in the registry and, unless switched off there,
    // the host's removable FAT volumes. Messages say what could not be mounted.
    DWORD MountConfiguredCards(std::vector<std::string>* messages);

    // Mounted card folder names, in mount order.
    std::vector<std::u16string> CardNames() const;

    struct State;

private:
    friend struct storage::StorageAccess;
    StorageManager();
    ~StorageManager();
    std::unique_ptr<State> state_;
};

// The installation step: creates the filter's key
// System\StorageManager\FATFS\Filters\Quillane under HKEY_LOCAL_MACHINE with
// its `Dll` value, and nothing else. Returns ERROR_SUCCESS or the registry's
// error.
DWORD InstallFilter(std::u16string_view dll = u"Quillane.so");

}  // namespace platform
