// The storage manager's state as the file API's implementation sees it: the
// mounted cards in mount order and the table of program handles. Internal
// to the storage manager (storage_manager.cc, file_api.cc).
#pragma once

#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/storage/card.h"
#include "platform/storage/handle_table.h"
#include "platform/storage/storage_manager.h"

namespace platform {

struct StorageManager::State {
    std::mutex mount_mutex;  // one mount or unmount at a time
    mutable std::mutex cards_mutex;
    std::vector<std::shared_ptr<storage::Card>> cards;  // mount order, under cards_mutex
    storage::HandleTable handles;

    // The mounted card of that folder name (without regard to case), or null.
    std::shared_ptr<storage::Card> FindCard(std::u16string_view folder_name) const;
    std::vector<std::shared_ptr<storage::Card>> Cards() const;
};

namespace storage {

struct StorageAccess {
    static StorageManager::State& State() { return *StorageManager::Instance().state_; }
};

// Closes a handle's layer handle through its card's top layer (CloseFile or
// FindClose; nothing for a card list) while holding its gate exclusive, so
// no call on it is running. With `for_unmount` the handle is retired whatever
// the layer answers; otherwise a failed close leaves it open, as a program
// may try again. ERROR_INVALID_HANDLE when it was closed meanwhile. On
// success the handle leaves `handles`.
BOOL CloseOpenHandle(HandleTable& handles, HANDLE handle, OpenHandle& entry, bool for_unmount);

}  // namespace storage
}  // namespace platform
