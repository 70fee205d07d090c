// One mounted card: its folder name and its layer stack, the FAT layer over
// the host directory at the bottom and every registered filter above it,
// each attached with its HookVolume to the table of the layer below.
// Internal to the storage manager, which holds cards in shared_ptrs: a call
// running on a card keeps it alive while the card is being unmounted.
#pragma once

#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/fat/fat_volume.h"
#include "platform/storage/card_lock.h"
#include "platform/storage/filter_library.h"
#include "platform/storage/storage_manager.h"

namespace platform::storage {

class Card {
public:
    // Builds the stack of a card. On failure returns null with `error` and
    // `message` (naming the folder and the filter, library or entry that
    // failed), and leaves nothing attached or loaded.
    static std::shared_ptr<Card> Build(std::u16string_view folder_name, const std::string& host_dir,
                                       const MountOptions& options, DWORD* error, std::string* message);

    // Takes the stack down if Dismantle has not.
    ~Card();
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    // Ends the volume: CloseVolume through the top layer, then UnhookVolume
    // for each filter from the top down, unloading each library, then the
    // FAT volume. Every handle of the card must be closed by then.
    void Dismantle();

    const std::u16string& FolderName() const { return folder_name_; }
    const std::string& HostDirectory() const { return host_dir_; }
    // The table of the top layer, through which programs' calls go.
    const HookTable& Top() const { return top_; }

    // Held shared by every path call while it runs (so that a handle it
    // opens is in the handle table before an unmount looks), exclusive by
    // the unmount, which sets `unmounted` under it.
    std::shared_mutex gate;
    bool unmounted = false;

private:
    struct StackedFilter {
        std::unique_ptr<FilterLibrary> library;
        HANDLE volume_record;
    };

    Card(std::u16string folder_name, std::string host_dir)
        : folder_name_(std::move(folder_name)), host_dir_(std::move(host_dir)) {}
    void Unhook();

    std::u16string folder_name_;
    std::string host_dir_;
    // Held from before the volume opens until after it is gone.
    std::unique_ptr<CardLock> lock_;
    std::unique_ptr<fat::Volume> fat_;
    std::vector<StackedFilter> filters_;  // bottom first
    HookTable top_{};
    bool volume_open_ = false;
};

}  // namespace platform::storage
