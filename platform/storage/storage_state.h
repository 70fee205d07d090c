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

// Closes a program handle's layer handle through its card's top layer
// (CloseFile or FindClose; nothing for a card list) once no call is running
// on it. A program's close (`for_unmount` false) fails with
// ERROR_INVALID_HANDLE while another close of the handle is under way, and
// leaves the handle open when the layer refuses the close, as the program
// may try again. An unmount's close waits for a program's close under way,
// and retires the handle whatever the layer answers.
BOOL CloseOpenHandle(HandleTable& handles, HANDLE handle, bool for_unmount);

}  // namespace storage
}  // namespace platform
