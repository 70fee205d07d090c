// The table of program handles (see handle_table.h). A handle's value is
// (generation << 32) | (slot + 1): the slot number alone would come back for
// the next open and let a stale handle reach someone else's file.
//
// Slots live in chunks that are never moved or freed while the table lives,
// so a pin can find its slot without the table's mutex. Each slot's state is
// one atomic word: the generation, a live bit, a closing bit and the number
// of pins.
#include "platform/storage/handle_table.h"

#include <array>

namespace platform::storage {
namespace {

constexpr size_t kChunkSize = 1024;
constexpr size_t kChunkCount = 4096;

constexpr std::uint64_t kLive = std::uint64_t{1} << 31;
constexpr std::uint64_t kClosing = std::uint64_t{1} << 30;
constexpr std::uint64_t kPins = kClosing - 1;

std::uint32_t GenerationOf(std::uint64_t word) { return static_cast<std::uint32_t>(word >> 32); }

HANDLE Encode(std::uint32_t generation, size_t index) {
    const std::uint64_t value = (static_cast<std::uint64_t>(generation) << 32) | (index + 1);
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

size_t IndexOf(HANDLE handle) {
    return static_cast<size_t>(reinterpret_cast<std::uintptr_t>(handle) & 0xFFFFFFFFu) - 1;
}

}  // namespace

struct HandleTable::Slot {
    std::atomic<std::uint64_t> word{std::uint64_t{1} << 32};
    // Set while the slot is live; changed only under the table's mutex.
    std::shared_ptr<OpenHandle> entry;
};

struct HandleTable::Chunks {
    std::array<std::atomic<Slot*>, kChunkCount> pointers{};
    std::array<std::unique_ptr<Slot[]>, kChunkCount> owned;
};

HandleTable::HandleTable() : chunks_(std::make_unique<Chunks>()) {}
HandleTable::~HandleTable() = default;

HandleTable::Slot* HandleTable::Find(HANDLE handle, std::uint32_t* generation) const {
    const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
    if ((value & 0xFFFFFFFFu) == 0) return nullptr;
    const size_t index = IndexOf(handle);
    if (index / kChunkSize >= kChunkCount) return nullptr;
    Slot* chunk = chunks_->pointers[index / kChunkSize].load(std::memory_order_acquire);
    if (chunk == nullptr) return nullptr;
    *generation = static_cast<std::uint32_t>(value >> 32);
    return &chunk[index % kChunkSize];
}

HANDLE HandleTable::Insert(std::shared_ptr<OpenHandle> entry) {
    std::lock_guard lock(mutex_);
    size_t index;
    if (!free_.empty()) {
        index = free_.back();
        free_.pop_back();
    } else {
        if (used_ == kChunkSize * kChunkCount) return INVALID_HANDLE_VALUE;
        index = used_++;
        const size_t chunk = index / kChunkSize;
        if (chunks_->owned[chunk] == nullptr) {
            chunks_->owned[chunk] = std::make_unique<Slot[]>(kChunkSize);
            chunks_->pointers[chunk].store(chunks_->owned[chunk].get(), std::memory_order_release);
        }
    }
    Slot& slot = chunks_->owned[index / kChunkSize][index % kChunkSize];
    const std::uint32_t generation = GenerationOf(slot.word.load(std::memory_order_relaxed));
    slot.entry = std::move(entry);
    slot.word.store((static_cast<std::uint64_t>(generation) << 32) | kLive, std::memory_order_release);
    return Encode(generation, index);
}

HandleTable::Pin::~Pin() {
    if (slot_ == nullptr) return;
    const std::uint64_t before = slot_->word.fetch_sub(1, std::memory_order_acq_rel);
    if ((before & kClosing) != 0 && (before & kPins) == 1) slot_->word.notify_all();
}

HandleTable::Pin HandleTable::Acquire(HANDLE handle) const {
    std::uint32_t generation = 0;
    Slot* slot = Find(handle, &generation);
    if (slot == nullptr) return Pin();
    std::uint64_t word = slot->word.load(std::memory_order_acquire);
    for (;;) {
        if (GenerationOf(word) != generation || (word & kLive) == 0 || (word & kClosing) != 0) return Pin();
        if (slot->word.compare_exchange_weak(word, word + 1, std::memory_order_acq_rel, std::memory_order_acquire)) {
            return Pin(slot, slot->entry.get());
        }
    }
}

bool HandleTable::BeginClose(HANDLE handle, bool wait_for_other_close, std::shared_ptr<OpenHandle>* entry) {
    std::uint32_t generation = 0;
    Slot* slot = Find(handle, &generation);
    if (slot == nullptr) return false;
    std::uint64_t word = slot->word.load(std::memory_order_acquire);
    for (;;) {
        if (GenerationOf(word) != generation || (word & kLive) == 0) return false;
        if ((word & kClosing) != 0) {
            if (!wait_for_other_close) return false;
            slot->word.wait(word, std::memory_order_acquire);
            word = slot->word.load(std::memory_order_acquire);
            continue;
        }
        if (slot->word.compare_exchange_weak(word, word | kClosing, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            break;
        }
    }
    for (word = slot->word.load(std::memory_order_acquire); (word & kPins) != 0;
         word = slot->word.load(std::memory_order_acquire)) {
        slot->word.wait(word, std::memory_order_acquire);
    }
    *entry = slot->entry;
    return true;
}

void HandleTable::EndClose(HANDLE handle) {
    std::uint32_t generation = 0;
    Slot* slot = Find(handle, &generation);
    if (slot == nullptr) return;
    std::shared_ptr<OpenHandle> retired;
    {
        std::lock_guard lock(mutex_);
        retired = std::move(slot->entry);
        slot->word.store(static_cast<std::uint64_t>(generation + 1) << 32, std::memory_order_release);
        free_.push_back(IndexOf(handle));
    }
    // Wakes an unmount waiting for this close.
    slot->word.notify_all();
    // `retired` goes here, outside the mutex: it may hold the last
    // reference to a card, whose end unhooks its filters.
}

std::vector<std::pair<HANDLE, std::shared_ptr<OpenHandle>>> HandleTable::OfCard(const Card* card) const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<HANDLE, std::shared_ptr<OpenHandle>>> result;
    for (size_t i = 0; i < used_; ++i) {
        const Slot& slot = chunks_->owned[i / kChunkSize][i % kChunkSize];
        const std::uint64_t word = slot.word.load(std::memory_order_acquire);
        if ((word & kLive) != 0 && slot.entry != nullptr && slot.entry->card.get() == card) {
            result.emplace_back(Encode(GenerationOf(word), i), slot.entry);
        }
    }
    return result;
}

size_t HandleTable::Size() const {
    std::lock_guard lock(mutex_);
    return used_ - free_.size();
}

}  // namespace platform::storage
