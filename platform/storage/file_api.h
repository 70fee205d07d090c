// The platform's file API, as programs call it: paths name a mounted card's
// folder first ("\Storage Card\notes.txt"); the storage manager sends each
// call to the top of that card's layer stack as a path within the volume
// ("\notes.txt") and routes each handle back to the layer that made it.
//
// Results and last errors are the platform's: a success flag (nonzero) for
// most calls, INVALID_HANDLE_VALUE for a failed open or search start, with the
// reason in GetLastError. A stale, closed or foreign handle fails with
// ERROR_INVALID_HANDLE. These names live in namespace platform so that they
// can never resolve to a filter's entry points of the same names.
#pragma once

#include "platform/core/types.h"

namespace platform {

// Paths.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags_and_attributes, HANDLE template_file);
// A search of "\*" (or "\*.*") yields each mounted card as a folder with
// FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY, in mount order.
HANDLE FindFirstFileW(LPCWSTR spec, LPWIN32_FIND_DATAW find_data);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryW(LPCWSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
BOOL DeleteFileW(LPCWSTR path);
BOOL MoveFileW(LPCWSTR old_path, LPCWSTR new_path);
// Replaces `destination` by `source` in one step (both on one card).
BOOL DeleteAndRenameFileW(LPCWSTR destination, LPCWSTR source);
BOOL GetDiskFreeSpaceExW(LPCWSTR path, PULARGE_INTEGER free_to_caller, PULARGE_INTEGER total,
                         PULARGE_INTEGER total_free);

// Handles.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD count, LPDWORD count_read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD count_written, LPOVERLAPPED overlapped);
BOOL ReadFileWithSeek(HANDLE file, LPVOID buffer, DWORD count, LPDWORD count_read, LPOVERLAPPED overlapped,
                      DWORD offset_low, DWORD offset_high);
BOOL WriteFileWithSeek(HANDLE file, LPCVOID buffer, DWORD count, LPDWORD count_written,
                       LPOVERLAPPED overlapped, DWORD offset_low, DWORD offset_high);
DWORD SetFilePointer(HANDLE file, LONG distance_low, PLONG distance_high, DWORD move_method);
DWORD GetFileSize(HANDLE file, LPDWORD size_high);
BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information);
BOOL FlushFileBuffers(HANDLE file);
BOOL GetFileTime(HANDLE file, LPFILETIME creation, LPFILETIME last_access, LPFILETIME last_write);
BOOL SetFileTime(HANDLE file, const FILETIME* creation, const FILETIME* last_access, const FILETIME* last_write);
BOOL SetEndOfFile(HANDLE file);
BOOL DeviceIoControl(HANDLE file, DWORD control_code, LPVOID in_buffer, DWORD in_size, LPVOID out_buffer,
                     DWORD out_size, LPDWORD bytes_returned, LPOVERLAPPED overlapped);
// Closes a file handle (through a filter: its close, which may recompress).
BOOL CloseHandle(HANDLE file);
BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW find_data);
BOOL FindClose(HANDLE search);

}  // namespace platform
