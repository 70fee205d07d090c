// The filter's GetDiskFreeSpaceW: on a converted volume, one whose root holds
// the marker file, reports twice the real clusters and counts every added
// cluster as free, so the space programs see as used stays the real used
// space. The probe for the marker goes straight to the next layer, on every
// call; nothing is remembered.
#include "filter/filter_api.h"
#include "filter/records.h"

using quillane_filter::VolumeRecord;

namespace {
constexpr WCHAR kMarkerName[] = u"quillane.x13";
}

extern "C" BOOL GetDiskFreeSpaceW(HANDLE h, LPCWSTR path, PDWORD sectors_per_cluster, PDWORD bytes_per_sector,
                                  PDWORD free_clusters, PDWORD total_clusters) {
    auto* volume = static_cast<VolumeRecord*>(h);
    const HookTable& hooks = volume->hooks;

    bool converted = false;
    HANDLE marker = hooks.CreateFileW(hooks.volume, nullptr, kMarkerName, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        hooks.CloseFile(marker);
        converted = true;
    }

    // Raising the free count needs the real total even when the caller did
    // not ask for it; a count the caller did not supply is never written.
    DWORD total_only_here = 0;
    PDWORD total = total_clusters;
    if (converted && total == nullptr && free_clusters != nullptr) total = &total_only_here;

    const BOOL result =
        hooks.GetDiskFreeSpaceW(hooks.volume, path, sectors_per_cluster, bytes_per_sector, free_clusters, total);
    if (converted && total != nullptr) {
        const DWORD real_total = *total;
        if (free_clusters != nullptr) *free_clusters = *free_clusters + real_total;
        *total = 2 * real_total;
    }
    return result;
}
