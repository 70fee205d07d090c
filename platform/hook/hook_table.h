// The hook table: the table of a file-system layer's operations through which
// the layer above reaches it. The FAT layer fills one for its volume, the
// filter receives one in HookVolume and calls the next layer only through its
// copy, the storage manager builds one for each filter it stacks, and test
// layers (fault injection, call tracing) wrap one in another of the same shape.
//
// The 29 operations are listed once, in table order, in
// QUILLANE_HOOK_OPERATIONS; the struct's fields and every forwarder, wrapper
// or shim are derived from that list, so nothing can fall out of order.
#pragma once

#include <cstddef>

#include "platform/core/types.h"

// A change-notification callback given to RegisterFileSystemFunction.
using FILESYSTEM_NOTIFY_FUNCTION = void (*)(DWORD event, LPCWSTR path);

// Expands a parenthesised argument list without its parentheses.
#define QUILLANE_EXPAND(...) __VA_ARGS__

// X(level, result, name, further parameters, further arguments)
//
// `level` is Volume, Search or File: which handle comes first. Every
// operation takes that handle first (HANDLE h); the further parameters and
// arguments are written with a leading comma so that `(HANDLE h
// QUILLANE_EXPAND params)` forms the whole parameter list.
#define QUILLANE_HOOK_OPERATIONS(X)                                                                     \
    X(Volume, BOOL, CloseVolume, (), ())                                                                \
    X(Volume, BOOL, CreateDirectoryW, (, LPCWSTR path, LPSECURITY_ATTRIBUTES security), (, path, security)) \
    X(Volume, BOOL, RemoveDirectoryW, (, LPCWSTR path), (, path))                                       \
    X(Volume, DWORD, GetFileAttributesW, (, LPCWSTR path), (, path))                                    \
    X(Volume, BOOL, SetFileAttributesW, (, LPCWSTR path, DWORD attributes), (, path, attributes))       \
    X(Volume, BOOL, DeleteFileW, (, LPCWSTR path), (, path))                                            \
    X(Volume, BOOL, MoveFileW, (, LPCWSTR old_path, LPCWSTR new_path), (, old_path, new_path))          \
    X(Volume, BOOL, DeleteAndRenameFileW, (, LPCWSTR destination, LPCWSTR source), (, destination, source)) \
    X(Volume, BOOL, GetDiskFreeSpaceW,                                                                  \
      (, LPCWSTR path, PDWORD sectors_per_cluster, PDWORD bytes_per_sector, PDWORD free_clusters,        \
       PDWORD total_clusters),                                                                          \
      (, path, sectors_per_cluster, bytes_per_sector, free_clusters, total_clusters))                   \
    X(Volume, BOOL, Notify, (, DWORD flags), (, flags))                                                 \
    X(Volume, BOOL, RegisterFileSystemFunction, (, FILESYSTEM_NOTIFY_FUNCTION function), (, function))  \
    X(Volume, HANDLE, FindFirstFileW, (, HANDLE process, LPCWSTR spec, LPWIN32_FIND_DATAW find_data),   \
      (, process, spec, find_data))                                                                     \
    X(Search, BOOL, FindNextFileW, (, LPWIN32_FIND_DATAW find_data), (, find_data))                     \
    X(Search, BOOL, FindClose, (), ())                                                                  \
    X(Volume, HANDLE, CreateFileW,                                                                      \
      (, HANDLE process, LPCWSTR name, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,   \
       DWORD disposition, DWORD flags_and_attributes, HANDLE template_file),                            \
      (, process, name, access, share_mode, security, disposition, flags_and_attributes, template_file)) \
    X(File, BOOL, ReadFile, (, LPVOID buffer, DWORD count, LPDWORD count_read, LPOVERLAPPED overlapped), \
      (, buffer, count, count_read, overlapped))                                                        \
    X(File, BOOL, ReadFileWithSeek,                                                                     \
      (, LPVOID buffer, DWORD count, LPDWORD count_read, LPOVERLAPPED overlapped, DWORD offset_low,      \
       DWORD offset_high),                                                                              \
      (, buffer, count, count_read, overlapped, offset_low, offset_high))                               \
    X(File, BOOL, WriteFile,                                                                            \
      (, LPCVOID buffer, DWORD count, LPDWORD count_written, LPOVERLAPPED overlapped),                  \
      (, buffer, count, count_written, overlapped))                                                     \
    X(File, BOOL, WriteFileWithSeek,                                                                    \
      (, LPCVOID buffer, DWORD count, LPDWORD count_written, LPOVERLAPPED overlapped, DWORD offset_low,  \
       DWORD offset_high),                                                                              \
      (, buffer, count, count_written, overlapped, offset_low, offset_high))                            \
    X(File, DWORD, SetFilePointer, (, LONG distance_low, PLONG distance_high, DWORD move_method),        \
      (, distance_low, distance_high, move_method))                                                     \
    X(File, DWORD, GetFileSize, (, LPDWORD size_high), (, size_high))                                   \
    X(File, BOOL, GetFileInformationByHandle, (, LPBY_HANDLE_FILE_INFORMATION information), (, information)) \
    X(File, BOOL, FlushFileBuffers, (), ())                                                             \
    X(File, BOOL, GetFileTime, (, LPFILETIME creation, LPFILETIME last_access, LPFILETIME last_write),   \
      (, creation, last_access, last_write))                                                            \
    X(File, BOOL, SetFileTime,                                                                          \
      (, const FILETIME* creation, const FILETIME* last_access, const FILETIME* last_write),            \
      (, creation, last_access, last_write))                                                            \
    X(File, BOOL, SetEndOfFile, (), ())                                                                 \
    X(File, BOOL, DeviceIoControl,                                                                      \
      (, DWORD control_code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer, DWORD out_size,         \
       LPDWORD bytes_returned, LPOVERLAPPED overlapped),                                                \
      (, control_code, in_buffer, in_size, out_buffer, out_size, bytes_returned, overlapped))           \
    X(File, BOOL, CloseFile, (), ())                                                                    \
    X(Volume, BOOL, RefreshVolume, (), ())

// Pointer types of the operations: HookCreateFileW and so on.
#define QUILLANE_HOOK_POINTER_TYPE(level, result, name, params, args) \
    using Hook##name = result (*)(HANDLE h QUILLANE_EXPAND params);
QUILLANE_HOOK_OPERATIONS(QUILLANE_HOOK_POINTER_TYPE)
#undef QUILLANE_HOOK_POINTER_TYPE

// 31 machine words: the leading field, the next layer's volume handle, then
// the 29 operations in the order above.
struct HookTable {
    DWORD_PTR leading;  // copied with the table, never read by a layer above
    HANDLE volume;      // first argument of every volume-level operation
#define QUILLANE_HOOK_FIELD(level, result, name, params, args) Hook##name name;
    QUILLANE_HOOK_OPERATIONS(QUILLANE_HOOK_FIELD)
#undef QUILLANE_HOOK_FIELD
};

// Counts the operations of the list.
#define QUILLANE_HOOK_COUNT_ONE(level, result, name, params, args) +1
constexpr int kHookOperationCount = 0 QUILLANE_HOOK_OPERATIONS(QUILLANE_HOOK_COUNT_ONE);
#undef QUILLANE_HOOK_COUNT_ONE

static_assert(kHookOperationCount == 29, "the hook table has 29 operations");
static_assert(sizeof(HookTable) == 31 * sizeof(void*), "the hook table is 31 machine words");
static_assert(offsetof(HookTable, volume) == 1 * sizeof(void*));
static_assert(offsetof(HookTable, CloseVolume) == 2 * sizeof(void*));
static_assert(offsetof(HookTable, DeleteAndRenameFileW) == 9 * sizeof(void*));
static_assert(offsetof(HookTable, FindFirstFileW) == 13 * sizeof(void*));
static_assert(offsetof(HookTable, CreateFileW) == 16 * sizeof(void*));
static_assert(offsetof(HookTable, CloseFile) == 29 * sizeof(void*));
static_assert(offsetof(HookTable, RefreshVolume) == 30 * sizeof(void*));
