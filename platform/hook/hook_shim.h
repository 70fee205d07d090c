// The generic shim: builds hook tables whose 29 entries hand every call to a
// C++ object together with the table below, so that a test layer (fault
// injection, tracing) is written as one member template instead of 29
// functions. The entries are derived from QUILLANE_HOOK_OPERATIONS.
//
// A hook table carries no context pointer and file-level calls get only a
// handle, so each bound table has its own set of entry functions (a slot):
// the slot tells the entry which object and which table below it serves.
// Handles pass through a shim unchanged, and so does the table's `volume`.
//
// For test layers only: the number of tables bound at once is bounded
// (kHookShimSlots), and a layer must outlive every call made through its
// tables. Not for the storage manager's own stacking, which uses the
// filters' exported entries directly.
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/core/last_error.h"
#include "platform/hook/hook_operation.h"

namespace platform {

inline constexpr int kHookShimSlots = 32;

// `Layer` provides
//   template <HookOperation Op, class... A>
//   typename HookOperationTraits<Op>::Result Intercept(const HookTable& below, HANDLE h, A... a);
// which is called for every call made through a table that Bind returned.
template <class Layer>
class HookShim {
public:
    // Binds `layer` over `below` and returns the slot, or -1 when every slot
    // is taken.
    static int Bind(Layer* layer, const HookTable& below) {
        std::lock_guard lock(mutex_);
        for (int slot = 0; slot < kHookShimSlots; ++slot) {
            if (owned_[slot] == nullptr) {
                owned_[slot] = std::make_unique<Binding>(Binding{layer, below});
                bindings_[slot].store(owned_[slot].get(), std::memory_order_release);
                return slot;
            }
        }
        return -1;
    }

    // Frees the slot; calls through its table then fail with
    // ERROR_INVALID_HANDLE. No call may be running through it.
    static void Release(int slot) {
        std::lock_guard lock(mutex_);
        bindings_[slot].store(nullptr, std::memory_order_release);
        owned_[slot].reset();
    }

    // The slot's table: the same leading field and volume as the table below,
    // the slot's entries for the 29 operations.
    static HookTable Table(int slot) {
        HookTable table = EntryTable(slot, std::make_index_sequence<kHookShimSlots>());
        const Binding* binding = bindings_[slot].load(std::memory_order_acquire);
        table.leading = binding->below.leading;
        table.volume = binding->below.volume;
        return table;
    }

private:
    struct Binding {
        Layer* layer;
        HookTable below;
    };

    template <int Slot, HookOperation Op, class Function>
    struct Entry;

    template <int Slot, HookOperation Op, class Result, class... A>
    struct Entry<Slot, Op, Result (*)(HANDLE, A...)> {
        static Result Call(HANDLE h, A... a) {
            const Binding* binding = bindings_[Slot].load(std::memory_order_acquire);
            if (binding == nullptr) {
                SetLastError(ERROR_INVALID_HANDLE);
                return HookFailureResult<Result>();
            }
            return binding->layer->template Intercept<Op>(binding->below, h, a...);
        }
    };

    template <int Slot>
    static HookTable SlotEntries() {
        HookTable table{};
#define QUILLANE_HOOK_SHIM_ENTRY(level, result, name, params, args) \
    table.name = &Entry<Slot, HookOperation::name, Hook##name>::Call;
        QUILLANE_HOOK_OPERATIONS(QUILLANE_HOOK_SHIM_ENTRY)
#undef QUILLANE_HOOK_SHIM_ENTRY
        return table;
    }

    template <size_t... Slots>
    static HookTable EntryTable(int slot, std::index_sequence<Slots...>) {
        static const std::array<HookTable, sizeof...(Slots)> tables = {SlotEntries<static_cast<int>(Slots)>()...};
        return tables[slot];
    }

    static inline std::mutex mutex_;
    static inline std::array<std::unique_ptr<Binding>, kHookShimSlots> owned_;
    static inline std::array<std::atomic<const Binding*>, kHookShimSlots> bindings_{};
};

}  // namespace platform
