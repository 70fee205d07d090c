// The table of program handles (see handle_table.h). A handle's value is
// (generation << 32) | (slot + 1): the slot number alone would come back for
// the next open and let a stale handle reach someone else's file.
#include "platform/storage/handle_table.h"

namespace platform::storage {
namespace {

constexpr std::uint64_t kMaxSlots = 0x7FFFFFFFu;

HANDLE Encode(std::uint32_t generation, size_t index) {
    const std::uint64_t value = (static_cast<std::uint64_t>(generation) << 32) | (index + 1);
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value));
}

}  // namespace

HANDLE HandleTable::Insert(std::shared_ptr<OpenHandle> entry) {
    std::lock_guard lock(mutex_);
    size_t index;
    if (!free_.empty()) {
        index = free_.back();
        free_.pop_back();
    } else {
        if (slots_.size() >= kMaxSlots) return INVALID_HANDLE_VALUE;
        index = slots_.size();
        slots_.emplace_back();
    }
    slots_[index].entry = std::move(entry);
    return Encode(slots_[index].generation, index);
}

bool HandleTable::Decode(HANDLE handle, size_t* index) const {
    const auto value = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(handle));
    const std::uint64_t low = value & 0xFFFFFFFFu;
    if (low == 0 || low > slots_.size()) return false;
    const Slot& slot = slots_[low - 1];
    if (slot.entry == nullptr || slot.generation != static_cast<std::uint32_t>(value >> 32)) return false;
    *index = low - 1;
    return true;
}

std::shared_ptr<OpenHandle> HandleTable::Find(HANDLE handle) const {
    std::lock_guard lock(mutex_);
    size_t index;
    return Decode(handle, &index) ? slots_[index].entry : nullptr;
}

void HandleTable::Remove(HANDLE handle) {
    std::lock_guard lock(mutex_);
    size_t index;
    if (!Decode(handle, &index)) return;
    Slot& slot = slots_[index];
    slot.entry.reset();
    ++slot.generation;
    free_.push_back(index);
}

std::vector<std::pair<HANDLE, std::shared_ptr<OpenHandle>>> HandleTable::OfCard(const Card* card) const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<HANDLE, std::shared_ptr<OpenHandle>>> result;
    for (size_t i = 0; i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        if (slot.entry != nullptr && slot.entry->card.get() == card) {
            result.emplace_back(Encode(slot.generation, i), slot.entry);
        }
    }
    return result;
}

size_t HandleTable::Size() const {
    std::lock_guard lock(mutex_);
    return slots_.size() - free_.size();
}

}  // namespace platform::storage
