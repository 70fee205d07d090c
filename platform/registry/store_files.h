// Host-file primitives of the registry store: reading an entry file whole,
// replacing one atomically, making a directory's changes durable. Used only by
// the registry's own sources; knows nothing of keys, values or their format.
#pragma once

#include <span>
#include <string>
#include <vector>

#include "platform/core/types.h"

namespace platform::registry_store {

// An owned POSIX file descriptor, closed when it goes out of scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    ~UniqueFd();

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();

private:
    int fd_ = -1;
};

// The largest entry file the store writes or reads. A file beyond it can only
// be damage, and refusing it keeps a damaged store from exhausting memory.
constexpr size_t kMaxEntryFileBytes = size_t{64} << 20;

// The platform error for an errno met while working on the store. Something
// that is not what the store puts there (a directory where a file belongs, a
// file where a key directory belongs) is damage: ERROR_BADDB.
DWORD ErrorFromErrno(int error);

// Reads the regular file `path` whole into `bytes`. ERROR_FILE_NOT_FOUND if it
// does not exist, ERROR_BADDB if it is not a regular file, is larger than
// kMaxEntryFileBytes or ends before its size says.
DWORD ReadWholeFile(const std::string& path, std::vector<BYTE>& bytes);

// Puts `bytes` in place as `directory`/`name` so that every reader sees the
// old file or the new one whole, and a crash leaves one of the two: the bytes
// go to a temporary file beside it (a name beginning with "."), which is
// flushed, renamed over `name`, and the directory flushed.
DWORD ReplaceFileAtomically(const std::string& directory, const std::string& name, std::span<const BYTE> bytes);

// Flushes `directory` itself, so that renames and removals in it survive a
// crash.
DWORD SyncDirectory(const std::string& directory);

// ERROR_SUCCESS if `path` is a directory, ERROR_FILE_NOT_FOUND if nothing is
// there, ERROR_BADDB if something else is.
DWORD CheckDirectory(const std::string& path);

}  // namespace platform::registry_store
