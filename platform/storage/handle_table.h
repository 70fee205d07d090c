// The storage manager's table of program handles. A program never holds a
// layer's pointer: it holds a slot number with the slot's generation, so a
// closed, stale, forged or foreign handle is recognised and refused with
// ERROR_INVALID_HANDLE instead of reaching a layer.
//
// A call on a handle pins its slot for as long as it is in a layer (one
// atomic increment and decrement: no lock, so calls on any handles run at
// once); a close first marks the slot closing, which refuses new pins, then
// waits for the pins to go before the layer's close runs. So a handle closed
// while other threads use it never reaches a layer after its close.
// Internal to the storage manager.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
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
    std::shared_ptr<Card> card;     // null for kCardList
    HANDLE layer_handle = nullptr;  // the top layer's handle (kFile, kSearch)

    // kCardList: the entries still to give.
    std::mutex list_mutex;
    std::vector<WIN32_FIND_DATAW> card_list;
    size_t next_entry = 0;
};

class HandleTable {
    struct Slot;

public:
    HandleTable();
    ~HandleTable();
    HandleTable(const HandleTable&) = delete;
    HandleTable& operator=(const HandleTable&) = delete;

    // A new program handle for `entry`: never null, never
    // INVALID_HANDLE_VALUE, never the value of an earlier handle. Returns
    // INVALID_HANDLE_VALUE when the table is full.
    HANDLE Insert(std::shared_ptr<OpenHandle> entry);

    // Keeps a live handle from closing while it exists.
    class Pin {
    public:
        Pin() = default;
        Pin(Pin&& other) noexcept : slot_(std::exchange(other.slot_, nullptr)), entry_(other.entry_) {}
        Pin& operator=(Pin&&) = delete;
        ~Pin();
        explicit operator bool() const { return slot_ != nullptr; }
        OpenHandle* operator->() const { return entry_; }
        OpenHandle& operator*() const { return *entry_; }

    private:
        friend class HandleTable;
        Pin(Slot* slot, OpenHandle* entry) : slot_(slot), entry_(entry) {}
        Slot* slot_ = nullptr;
        OpenHandle* entry_ = nullptr;
    };

    // Pins a live handle; an empty Pin for any other value, or for a handle
    // being closed.
    Pin Acquire(HANDLE handle) const;

    // Starts closing a live handle: refuses new pins, waits until the pins
    // already given are gone and returns the entry; the caller then closes
    // the layer handle and calls EndClose. False when the handle is not live
    // or (with `wait_for_other_close` false) another close is under way;
    // with it true, waits for that close to end first.
    bool BeginClose(HANDLE handle, bool wait_for_other_close, std::shared_ptr<OpenHandle>* entry);
    // Ends a close begun with BeginClose: the handle is freed for good, as
    // the layer's handle is, whatever the layer's close answered.
    void EndClose(HANDLE handle);

    // The live handles of a card.
    std::vector<std::pair<HANDLE, std::shared_ptr<OpenHandle>>> OfCard(const Card* card) const;

    size_t Size() const;

private:
    Slot* Find(HANDLE handle, std::uint32_t* generation) const;

    mutable std::mutex mutex_;  // Insert, EndClose, OfCard
    struct Chunks;
    std::unique_ptr<Chunks> chunks_;
    size_t used_ = 0;  // slots ever taken, under mutex_
    std::vector<size_t> free_;
};

}  // namespace platform::storage
