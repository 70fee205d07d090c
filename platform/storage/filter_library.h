// One loaded filter library: where its file is found, dlopen with
// RTLD_LOCAL (so its entries, which share their names with the program's
// file API, never enter the process's global symbol scope), and its 31
// exports found by name: HookVolume, UnhookVolume and one entry for each
// operation of the hook table. Internal to the storage manager.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/core/types.h"
#include "platform/hook/hook_table.h"

namespace platform::storage {

// The file of a filter library named by a `Dll` value. A value with a "/" is
// a path, used as it is. A bare name is looked up, first match wins, in
//   1. the folder ../lib beside the running program (/proc/self/exe), as
//      in the build tree, then ../lib/quillane, where an installed program's
//      filters are (cmake --install, the package),
//   2. the folder that holds the storage manager's own library,
//   3. each folder of QUILLANE_LIBRARY_PATH (":"-separated), when set.
// Returns the path, or empty with `message` listing the folders tried.
std::string LocateFilterLibrary(std::u16string_view dll, std::string* message);

class FilterLibrary {
public:
    using HookVolumeEntry = HANDLE (*)(HANDLE disk, HookTable* next_layer);
    using UnhookVolumeEntry = BOOL (*)(HANDLE volume_record);

    // Loads the library at `path` and finds all 31 exports in it (not in the
    // libraries it depends on). On failure returns null with `error`
    // (ERROR_MOD_NOT_FOUND: not loadable; ERROR_PROC_NOT_FOUND: an export is
    // missing) and `message` naming the library and every missing export.
    static std::unique_ptr<FilterLibrary> Load(const std::string& path, DWORD* error, std::string* message);

    // Unloads the library (dlclose).
    ~FilterLibrary();
    FilterLibrary(const FilterLibrary&) = delete;
    FilterLibrary& operator=(const FilterLibrary&) = delete;

    const std::string& Path() const { return path_; }
    HookVolumeEntry HookVolume() const { return hook_volume_; }
    UnhookVolumeEntry UnhookVolume() const { return unhook_volume_; }

    // The table that the layer above this filter uses: the filter's
    // exported entries, with `volume_record` (from HookVolume) as volume.
    HookTable LayerTable(HANDLE volume_record) const;

private:
    FilterLibrary(std::string path, void* handle) : path_(std::move(path)), handle_(handle) {}

    std::string path_;
    void* handle_;
    HookVolumeEntry hook_volume_ = nullptr;
    UnhookVolumeEntry unhook_volume_ = nullptr;
    HookTable entries_{};
};

}  // namespace platform::storage
