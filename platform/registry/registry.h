// The platform's registry: keys of named, typed values in a persistent store
// shared by every process of the user (the filter inside a mount daemon reads
// what the settings program writes).
//
// The store is the directory named by QUILLANE_REGISTRY, else
// $XDG_CONFIG_HOME/quillane/registry (default ~/.config/quillane/registry):
// each user has a store of their own.
// Key names are case-insensitive and case-preserving; value names too. Every
// write is atomic: a reader in any process sees the old value or the new one,
// never a mix, and a crash mid-write leaves the old value.
//
// Results are the platform's: ERROR_SUCCESS, ERROR_FILE_NOT_FOUND for a
// missing key or value, ERROR_MORE_DATA (with the size needed in the count)
// when a buffer is too small, ERROR_INVALID_HANDLE for a key that is not open,
// ERROR_BADDB for a damaged entry in the store.
#pragma once

#include <string>

#include "platform/core/types.h"

namespace platform {

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD options, REGSAM access, PHKEY result);
LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD reserved, LPWSTR class_name, DWORD options,
                        REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
// With `data` null, reports the size in `*size`. A buffer smaller than the
// value gives ERROR_MORE_DATA, the size needed in `*size`, and copies nothing.
LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, BYTE* data,
                         LPDWORD size);
LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name);
// Removes `subkey` and everything below it.
LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subkey);
// The index-th subkey / value of `key`, in a stable order (by folded name);
// ERROR_NO_MORE_ITEMS past the last. Counts are in WCHARs with the NUL: the
// name count passed in is the buffer's capacity with the NUL; on success it
// holds the name's length without the NUL, as on the platform; with
// ERROR_MORE_DATA it holds the capacity needed, with the NUL, and nothing is
// copied (data and its count as for RegQueryValueExW). A damaged entry keeps
// its index and gives ERROR_BADDB there.
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_size, LPDWORD reserved,
                      LPWSTR class_name, LPDWORD class_size, LPFILETIME last_write);
LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_size, LPDWORD reserved,
                      LPDWORD type, BYTE* data, LPDWORD data_size);
LSTATUS RegCloseKey(HKEY key);

// The host directory of the store, as chosen above (for messages and tools).
// HOME and XDG_CONFIG_HOME count only when they are the caller's own (or do
// not exist yet): under `sudo -E` they still name the invoking user's
// folders, and root's store is then root's own home's.
std::string RegistryStorePath();

// False, with the reason in `why`, when the store exists and belongs to
// another user than the caller (a QUILLANE_REGISTRY pointing there): a mount
// or a conversion never reads or writes another user's settings.
bool RegistryStoreIsCallers(std::string& why);

}  // namespace platform
