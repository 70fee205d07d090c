// The host's removable FAT volumes, as the storage manager discovers cards:
// vfat, exfat and msdos mounts under /media or /run/media, each named after
// its mount folder ("/media/alice/CARD" becomes the card folder "CARD").
// Internal to the storage manager.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace platform::storage {

struct RemovableMount {
    std::u16string folder_name;
    std::string host_path;
};

// The removable FAT mounts listed in `mounts`, text in the format of
// /proc/self/mounts (octal escapes such as \040 decoded), in listed order.
std::vector<RemovableMount> ParseRemovableMounts(std::string_view mounts);

// The same for the running host.
std::vector<RemovableMount> HostRemovableMounts();

}  // namespace platform::storage
