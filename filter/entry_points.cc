// HookVolume, UnhookVolume, the search start and end, and the pass-through
// entries of the filter. A pass-through entry calls the next layer's
// operation of the same name with the record replaced by the next layer's
// handle and every further argument unchanged, and returns its result (and
// last error) unchanged. The five that may change a file mark its record
// dirty first, whatever the next layer then answers.
//
// The entries are derived from the hook table's one list of operations; the
// five with an algorithm of their own (CreateFileW, CloseFile,
// FindFirstFileW, FindClose, GetDiskFreeSpaceW) are left out here.
#include <cstdlib>
#include <cstring>

#include "filter/filter_api.h"
#include "filter/records.h"
#include "platform/core/last_error.h"

using quillane_filter::FileRecord;
using quillane_filter::SearchRecord;
using quillane_filter::VolumeRecord;

// Membership tests on operation names, by the usual probe idiom: a name with
// a QUILLANE_FILTER_<SET>_<name> macro defined as the probe tests 1, any other 0.
#define QUILLANE_FILTER_CAT(a, b) QUILLANE_FILTER_CAT_(a, b)
#define QUILLANE_FILTER_CAT_(a, b) a##b
#define QUILLANE_FILTER_SECOND(a, b, ...) b
#define QUILLANE_FILTER_IS_PROBE(...) QUILLANE_FILTER_SECOND(__VA_ARGS__, 0, 0)
#define QUILLANE_FILTER_PROBE ~, 1
#define QUILLANE_FILTER_IN(set, name) QUILLANE_FILTER_IS_PROBE(QUILLANE_FILTER_CAT(set, name))

// Entries with an algorithm of their own.
#define QUILLANE_FILTER_OWN_CreateFileW QUILLANE_FILTER_PROBE
#define QUILLANE_FILTER_OWN_CloseFile QUILLANE_FILTER_PROBE
#define QUILLANE_FILTER_OWN_FindFirstFileW QUILLANE_FILTER_PROBE
#define QUILLANE_FILTER_OWN_FindClose QUILLANE_FILTER_PROBE
#define QUILLANE_FILTER_OWN_GetDiskFreeSpaceW QUILLANE_FILTER_PROBE

// Entries that mark the file record dirty before forwarding.
#define QUILLANE_FILTER_DIRTY_WriteFile QUILLANE_FILTER_PROBE
#define QUILLANE_FILTER_DIRTY_WriteFileWithSeek QUILLANE_FILTER_PROBE
#define QUILLANE_FILTER_DIRTY_FlushFileBuffers QUILLANE_FILTER_PROBE
#define QUILLANE_FILTER_DIRTY_SetEndOfFile QUILLANE_FILTER_PROBE
#define QUILLANE_FILTER_DIRTY_DeviceIoControl QUILLANE_FILTER_PROBE

#define QUILLANE_FILTER_MARK_0(record)
#define QUILLANE_FILTER_MARK_1(record) quillane_filter::MarkDirty(record);

#define QUILLANE_FILTER_PASS_Volume(result, name, params, args)                        \
    extern "C" result name(HANDLE h QUILLANE_EXPAND params) {                          \
        VolumeRecord* record_ = static_cast<VolumeRecord*>(h);                         \
        return record_->hooks.name(record_->hooks.volume QUILLANE_EXPAND args);        \
    }
#define QUILLANE_FILTER_PASS_Search(result, name, params, args)                        \
    extern "C" result name(HANDLE h QUILLANE_EXPAND params) {                          \
        SearchRecord* record_ = static_cast<SearchRecord*>(h);                         \
        return record_->hooks->name(record_->next QUILLANE_EXPAND args);               \
    }
#define QUILLANE_FILTER_PASS_File(result, name, params, args)                          \
    extern "C" result name(HANDLE h QUILLANE_EXPAND params) {                          \
        FileRecord* record_ = static_cast<FileRecord*>(h);                             \
        QUILLANE_FILTER_CAT(QUILLANE_FILTER_MARK_, QUILLANE_FILTER_IN(QUILLANE_FILTER_DIRTY_, name))(record_) \
        return record_->hooks->name(record_->next QUILLANE_EXPAND args);               \
    }

#define QUILLANE_FILTER_ENTRY_1(level, result, name, params, args)
#define QUILLANE_FILTER_ENTRY_0(level, result, name, params, args) \
    QUILLANE_FILTER_CAT(QUILLANE_FILTER_PASS_, level)(result, name, params, args)
#define QUILLANE_FILTER_ENTRY(level, result, name, params, args)                                 \
    QUILLANE_FILTER_CAT(QUILLANE_FILTER_ENTRY_, QUILLANE_FILTER_IN(QUILLANE_FILTER_OWN_, name))( \
        level, result, name, params, args)

QUILLANE_HOOK_OPERATIONS(QUILLANE_FILTER_ENTRY)

extern "C" HANDLE HookVolume(HANDLE disk, HookTable* next_layer) {
    auto* volume = static_cast<VolumeRecord*>(std::malloc(sizeof(VolumeRecord)));
    if (volume == nullptr) {
        platform::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    volume->disk = disk;
    std::memcpy(&volume->hooks, next_layer, sizeof(HookTable));
    return volume;
}

extern "C" BOOL UnhookVolume(HANDLE volume) {
    std::free(volume);
    return TRUE;
}

extern "C" HANDLE FindFirstFileW(HANDLE h, HANDLE process, LPCWSTR spec, LPWIN32_FIND_DATAW find_data) {
    auto* volume = static_cast<VolumeRecord*>(h);
    HANDLE next = volume->hooks.FindFirstFileW(volume->hooks.volume, process, spec, find_data);
    if (next == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    auto* search = static_cast<SearchRecord*>(std::malloc(sizeof(SearchRecord)));
    if (search == nullptr) {
        // Without a record there is no handle to give back: end the next
        // layer's search rather than leak it.
        volume->hooks.FindClose(next);
        platform::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    search->next = next;
    search->disk = volume->disk;
    search->hooks = &volume->hooks;
    return search;
}

extern "C" BOOL FindClose(HANDLE h) {
    auto* search = static_cast<SearchRecord*>(h);
    // The next layer's search ends whatever its close answers.
    const BOOL result = search->hooks->FindClose(search->next);
    const DWORD error = platform::GetLastError();
    std::free(search);
    platform::SetLastError(error);
    return result;
}
