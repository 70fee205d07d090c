// The exports of the filter library Quillane.so: HookVolume, UnhookVolume and
// the 29 entry points, one for each operation of the hook table and under the
// same name, all with C linkage. The storage manager finds them by name.
//
// Every handle the filter returns is the address of one of its records: the
// volume record from HookVolume, a file record from CreateFileW, a search
// record from FindFirstFileW. A volume-level entry takes the volume record
// first, a file- or search-level entry the record that opened it; the further
// arguments and the results are those of the hook table's operation.
#pragma once

#include "platform/hook/hook_table.h"

#define QUILLANE_FILTER_EXPORT __attribute__((visibility("default")))

extern "C" {

// Attaches the filter to a volume: returns a new volume record holding
// `disk` and a copy of `*next_layer`, or null (ERROR_NOT_ENOUGH_MEMORY) when
// no record can be had. The table passed in may change or go away afterwards.
QUILLANE_FILTER_EXPORT HANDLE HookVolume(HANDLE disk, HookTable* next_layer);

// Frees the volume record; returns 1. Makes no call to the next layer.
QUILLANE_FILTER_EXPORT BOOL UnhookVolume(HANDLE volume);

#define QUILLANE_FILTER_DECLARE_ENTRY(level, result, name, params, args) \
    QUILLANE_FILTER_EXPORT result name(HANDLE h QUILLANE_EXPAND params);
QUILLANE_HOOK_OPERATIONS(QUILLANE_FILTER_DECLARE_ENTRY)
#undef QUILLANE_FILTER_DECLARE_ENTRY

}  // extern "C"
