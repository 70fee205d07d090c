// Host-file primitives of the registry store (see store_files.h).
#include "platform/registry/store_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform::registry_store {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

UniqueFd::~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

DWORD ErrorFromErrno(int error) {
    switch (error) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case EISDIR:
        case ELOOP:
            return ERROR_BADDB;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        default:
            return ERROR_GEN_FAILURE;
    }
}

DWORD ReadWholeFile(const std::string& path, std::vector<BYTE>& bytes) {
    bytes.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return ErrorFromErrno(errno);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return ErrorFromErrno(errno);
    if (!S_ISREG(st.st_mode) || st.st_size < 0 || static_cast<unsigned long long>(st.st_size) > kMaxEntryFileBytes) {
        return ERROR_BADDB;
    }
    // Entry files are never changed in place (writers rename a new file over
    // them), so the size seen here is the size of the whole file.
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd.Get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const DWORD error = ErrorFromErrno(errno);
            bytes.clear();
            return error;
        }
        if (n == 0) {
            bytes.clear();
            return ERROR_BADDB;
        }
        done += static_cast<size_t>(n);
    }
    return ERROR_SUCCESS;
}

namespace {

DWORD WriteAll(int fd, std::span<const BYTE> bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrorFromErrno(errno);
        done += static_cast<size_t>(n);
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD ReplaceFileAtomically(const std::string& directory, const std::string& name, std::span<const BYTE> bytes) {
    std::string temp_path = directory + "/.tmp-XXXXXX";
    UniqueFd fd(::mkostemp(temp_path.data(), O_CLOEXEC));
    if (!fd.Valid()) return ErrorFromErrno(errno);

    DWORD error = WriteAll(fd.Get(), bytes);
    if (error == ERROR_SUCCESS && ::fsync(fd.Get()) != 0) error = ErrorFromErrno(errno);
    // Closing reports delayed write errors on some file systems; a file that
    // may not hold what was written must not replace a good one.
    if (error == ERROR_SUCCESS && ::close(fd.Release()) != 0) error = ErrorFromErrno(errno);
    if (error == ERROR_SUCCESS) {
        const std::string target = directory + "/" + name;
        if (::rename(temp_path.c_str(), target.c_str()) != 0) error = ErrorFromErrno(errno);
    }
    if (error != ERROR_SUCCESS) {
        ::unlink(temp_path.c_str());
        return error;
    }
    return SyncDirectory(directory);
}

DWORD SyncDirectory(const std::string& directory) {
    UniqueFd fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.Valid()) return ErrorFromErrno(errno);
    if (::fsync(fd.Get()) != 0) return ErrorFromErrno(errno);
    return ERROR_SUCCESS;
}

DWORD CheckDirectory(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return ErrorFromErrno(errno);
    return S_ISDIR(st.st_mode) ? ERROR_SUCCESS : ERROR_BADDB;
}

}  // namespace platform::registry_store
