// A filter library for the storage manager's tests and benchmark: it
// exports HookVolume, UnhookVolume and the 29 entries with C linkage, as any
// filter does, hands out records of its own as handles, passes every call
// to the next layer unchanged, and counts calls by entry name.
//
// Besides the filter's exports it has a few for the tests to read its
// counters (PassthroughCallCount, PassthroughOpenRecords,
// PassthroughLastNextCreateFileW). Built three times:
// whole, a second whole copy (two filters to stack), and without one entry
// (a library the storage manager must refuse). Not a model of the real
// filter's records.
#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/hook/hook_operation.h"

using platform::HookLevel;
using platform::HookOperation;
using platform::HookOperationTraits;

namespace {

struct HandleRecord;

struct VolumeRecord {
    HANDLE disk;
    HookTable next;
    // Records whose close the next layer has not accepted yet; UnhookVolume
    // frees what is left, so a test of a refused close leaks nothing.
    std::mutex mutex;
    std::set<HandleRecord*> records;
};

// A file or search record: the next layer's handle and the volume it is on.
struct HandleRecord {
    HANDLE next;
    VolumeRecord* volume;
};

constexpr int kHookVolumeSlot = kHookOperationCount;
constexpr int kUnhookVolumeSlot = kHookOperationCount + 1;
std::atomic<long> calls[kHookOperationCount + 2];

// Counts without a locked read-modify-write, so that the benchmark measures
// the stack rather than the counting: exact for calls from one thread, may
// miss a few when threads race (the tests that run threads only watch the
// counts grow).
void Count(int slot) { calls[slot].store(calls[slot].load(std::memory_order_relaxed) + 1, std::memory_order_relaxed); }
std::atomic<long> open_records{0};
std::atomic<HookCreateFileW> last_next_create{nullptr};

template <HookOperation Op, class... A>
typename HookOperationTraits<Op>::Result Forward(HANDLE h, A... a) {
    using Traits = HookOperationTraits<Op>;
    Count(static_cast<int>(Op));
    if constexpr (Traits::kLevel == HookLevel::Volume) {
        auto* volume = static_cast<VolumeRecord*>(h);
        const auto result = (volume->next.*Traits::kField)(volume->next.volume, a...);
        if constexpr (Op == HookOperation::CreateFileW || Op == HookOperation::FindFirstFileW) {
            if (result == INVALID_HANDLE_VALUE) return result;
            auto* record = new HandleRecord{result, volume};
            std::lock_guard lock(volume->mutex);
            volume->records.insert(record);
            ++open_records;
            return static_cast<HANDLE>(record);
        } else {
            return result;
        }
    } else {
        auto* record = static_cast<HandleRecord*>(h);
        const auto result = (record->volume->next.*Traits::kField)(record->next, a...);
        if constexpr (Op == HookOperation::CloseFile || Op == HookOperation::FindClose) {
            // The layer below ends its handle whatever its close answers.
            {
                std::lock_guard lock(record->volume->mutex);
                record->volume->records.erase(record);
            }
            delete record;
            --open_records;
        }
        return result;
    }
}

}  // namespace

#define PASSTHROUGH_EXPORT extern "C" __attribute__((visibility("default")))

PASSTHROUGH_EXPORT HANDLE HookVolume(HANDLE disk, HookTable* next_layer) {
    Count(kHookVolumeSlot);
    // A table without a volume is refused, which lets a test see a
    // HookVolume that fails.
    if (next_layer == nullptr || next_layer->volume == nullptr) return nullptr;
    last_next_create = next_layer->CreateFileW;
    return new VolumeRecord{disk, *next_layer, {}, {}};
}

PASSTHROUGH_EXPORT BOOL UnhookVolume(HANDLE volume) {
    Count(kUnhookVolumeSlot);
    auto* record = static_cast<VolumeRecord*>(volume);
    for (HandleRecord* left : record->records) {
        delete left;
        --open_records;
    }
    delete record;
    return TRUE;
}

#define PASSTHROUGH_ENTRY(level, result, name, params, args) \
    PASSTHROUGH_EXPORT result name(HANDLE h QUILLANE_EXPAND params) { return Forward<HookOperation::name>(h QUILLANE_EXPAND args); }
QUILLANE_HOOK_OPERATIONS(PASSTHROUGH_ENTRY)
#undef PASSTHROUGH_ENTRY

// Calls of the entry `name` since the library was loaded; -1 for a name
// that is no entry.
PASSTHROUGH_EXPORT long PassthroughCallCount(const char* name) {
    if (std::strcmp(name, "HookVolume") == 0) return calls[kHookVolumeSlot];
    if (std::strcmp(name, "UnhookVolume") == 0) return calls[kUnhookVolumeSlot];
    for (int i = 0; i < kHookOperationCount; ++i) {
        if (platform::kHookOperationNames[i] == name) return calls[i];
    }
    return -1;
}

// File and search records now allocated.
PASSTHROUGH_EXPORT long PassthroughOpenRecords() { return open_records; }

// The next layer's CreateFileW in the table of the latest HookVolume: tells
// which layer this filter was stacked on.
PASSTHROUGH_EXPORT void* PassthroughLastNextCreateFileW() { return reinterpret_cast<void*>(last_next_create.load()); }
