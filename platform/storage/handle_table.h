// The storage manager's table of program handles. A program never holds a
// layer's pointer: it holds a slot number with the slot's generation, so a
// closed, stale, forged or foreign handle is recognised and refused with
// ERROR_INVALID_HANDLE instead of reaching a layer.
//
// Each open handle is shared (shared_ptr) between the table and the calls
// running on it, and has a gate: calls hold it shared while they are in a
// layer, a close holds it exclusive, so a close waits for the calls already
// running and the calls after it see the handle closed. Internal to the
// storage manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "platform/core/types.h"

namespace platform::storage {

class Card;

enum class HandleKind {
    kFile,      // a file opened on a card
    kSearch,    // a search on a card
    kCardList,  // a search of the root: the mounted cards as folders
};

struct OpenHandle {
    HandleKind kind = HandleKind::kFile;
    std::shared_ptr<Card> card;    // null for kCardList
    HANDLE layer_handle = nullptr;  // the top layer's handle (kFile, kSearch)

    // kCardList: the entries still to give, under `gate` held exclusive.
    std::vector<WIN32_FIND_DATAW> card_list;
    size_t next_entry = 0;

    std::shared_mutex gate;
    bool closed = false;             // under `gate`: the layer's handle is gone
    std::atomic<bool> closing{false};  // a program's close is under way
};

class HandleTable {
public:
    // A new program handle for `entry`: never null, never
    // INVALID_HANDLE_VALUE, never the value of an earlier handle.
    HANDLE Insert(std::shared_ptr<OpenHandle> entry);

    // The entry of a live handle, or null for any other value.
    std::shared_ptr<OpenHandle> Find(HANDLE handle) const;

    // Frees the handle's slot, so the value is refused from then on.
    void Remove(HANDLE handle);

    // The live handles of a card.
    std::vector<std::pair<HANDLE, std::shared_ptr<OpenHandle>>> OfCard(const Card* card) const;

    size_t Size() const;

private:
    struct Slot {
        std::uint32_t generation = 1;
        std::shared_ptr<OpenHandle> entry;
    };

    bool Decode(HANDLE handle, size_t* index) const;  // under mutex_

    mutable std::mutex mutex_;
    std::vector<Slot> slots_;
    std::vector<size_t> free_;
};

}  // namespace platform::storage
