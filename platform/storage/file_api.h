// The platform's file API, as programs call it: paths name a mounted card's
// folder first ("\Storage Card\notes.txt"); the storage manager sends each
// call to the top of that card's layer stack as a path within the volume
// ("\notes.txt") and routes each handle back to the layer that made it.
//
// Results and last errors are the platform's: a success flag (nonzero) for
// most calls, INVALID_HANDLE_VALUE for a failed open or search start, with the
// reason in GetLastError; a layer's failure reaches the caller with the
// layer's error. A stale, closed or foreign handle, or a handle of the other
// kind (a search handle to ReadFile, a file handle to FindNextFileW), fails
// with ERROR_INVALID_HANDLE and reaches no layer. These names live in
// namespace platform so that they can never resolve to a filter's entry
// points of the same names.
//
// The root holds only the card folders. A path without a leading "\" is
// taken from the root (there is no current directory). Outside the cards:
// GetFileAttributesW gives FILE_ATTRIBUTE_DIRECTORY for "\" and
// FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY for a card folder;
// CreateDirectoryW of either gives ERROR_ALREADY_EXISTS; any other change to
// them (open, delete, rename, attributes) gives ERROR_ACCESS_DENIED, and so
// does creating a file or folder directly at the root; any other name at the
// root, or under a folder that is no card, gives ERROR_PATH_NOT_FOUND. A null
// path gives ERROR_INVALID_PARAMETER.
//
// Calls on different handles run at once; closing a handle waits for the
// calls running on it, and later calls on it fail with ERROR_INVALID_HANDLE.
#pragma once

#include "platform/core/types.h"

namespace platform {

// Paths.
// `template_file` is ignored, as on the handheld.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags_and_attributes, HANDLE template_file);
// A search of "\*" (or "\*.*") yields each mounted card as a folder with
// FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_TEMPORARY, in mount order; any
// other pattern at the root yields the card folders it matches, or fails
// with ERROR_FILE_NOT_FOUND.
HANDLE FindFirstFileW(LPCWSTR search_path, LPWIN32_FIND_DATAW find_data);
BOOL CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES security);
BOOL RemoveDirectoryW(LPCWSTR path);
DWORD GetFileAttributesW(LPCWSTR path);
BOOL SetFileAttributesW(LPCWSTR path, DWORD attributes);
BOOL DeleteFileW(LPCWSTR path);
BOOL MoveFileW(LPCWSTR old_path, LPCWSTR new_path);
// MoveFileW and DeleteAndRenameFileW across two cards: ERROR_NOT_SUPPORTED.
// Replaces `destination` by `source` in one step (both on one card).
BOOL DeleteAndRenameFileW(LPCWSTR destination, LPCWSTR source);
// Bytes computed from the card's top layer's cluster counts (so a filter's
// view of the capacity is what programs see); `path` is any path on the
// card, or its folder (ERROR_PATH_NOT_FOUND elsewhere). Any out-argument
// may be null.
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
// The handle is closed whatever the result: FALSE (with the layer's last
// error) says that its data may not have reached the card, and the handle
// may not be used again. A second close of a handle already being closed on
// another thread fails with ERROR_INVALID_HANDLE. FindClose likewise.
BOOL CloseHandle(HANDLE file);
BOOL FindNextFileW(HANDLE search, LPWIN32_FIND_DATAW find_data);
BOOL FindClose(HANDLE search);

}  // namespace platform
