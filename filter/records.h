// The filter's three records, which it hands to the platform as handles.
// Plain fixed-layout structs, allocated and freed by the filter alone (malloc
// and free); the platform only holds their addresses.
#pragma once

#include "platform/hook/hook_table.h"

namespace quillane_filter {

// Fixed buffer of a name or path: 255 characters and the NUL.
constexpr size_t kNameCapacity = 256;

// One per hooked volume.
struct VolumeRecord {
    HANDLE disk;      // HookVolume's first argument; copied into every record
    HookTable hooks;  // the filter's own copy of the next layer's table
};

// One per open of a file through the filter.
struct FileRecord {
    HANDLE next;                            // next-layer handle: the file, or its expansion file
    HANDLE disk;                            // copied from the volume record; never read
    HookTable* hooks;                       // the table inside the volume record
    HANDLE process;                         // the opener; the close's own opens pass it on
    WCHAR opened_name[kNameCapacity];       // the name CreateFileW received
    WCHAR temporary_path[kNameCapacity];    // the expansion file; empty when plain at open
    LONG dirty;                             // 1 once the open may have changed the file
};

// One per search: a record of the file record's type of which only the first
// three fields are set.
using SearchRecord = FileRecord;

// Several threads may call on one handle; the only store any of them makes
// is this constant 1, so a relaxed atomic store is all the ordering needed.
inline void MarkDirty(FileRecord* file) { __atomic_store_n(&file->dirty, 1, __ATOMIC_RELAXED); }
inline LONG IsDirty(const FileRecord* file) { return __atomic_load_n(&file->dirty, __ATOMIC_RELAXED); }

}  // namespace quillane_filter
