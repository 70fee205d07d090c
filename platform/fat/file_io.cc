// The file-level operations of the FAT layer: reads, writes, the file
// pointer, size, times, information and close of a FileObject. Every file
// is at most 4 GiB - 1 bytes, as on FAT. Reads and writes go through the
// handle's own file pointer with pread/pwrite, so the WithSeek forms, which
// name their offset, neither use nor move it. Times set through a handle
// stay as set while that handle goes on reading and writing.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>

#include "platform/core/last_error.h"
#include "platform/fat/host_error.h"
#include "platform/fat/volume_state.h"

namespace platform::fat::operations {
namespace {

FileObject* AsFile(HANDLE h) {
    auto* file = static_cast<FileObject*>(h);
    if (file == nullptr || h == INVALID_HANDLE_VALUE || file->magic != FileObject::kMagic) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return file;
}

std::uint64_t Offset(DWORD low, DWORD high) { return (static_cast<std::uint64_t>(high) << 32) | low; }

// Reads up to `count` bytes at `offset`; short only at the end of the file.
BOOL ReadAt(FileObject& file, LPVOID buffer, DWORD count, LPDWORD count_read, std::uint64_t offset) {
    if (count_read == nullptr || (buffer == nullptr && count != 0)) return FailWith(ERROR_INVALID_PARAMETER);
    *count_read = 0;
    if ((file.access & GENERIC_READ) == 0) return FailWith(ERROR_ACCESS_DENIED);
    // Far beyond any end of file (and beyond what the host can address).
    if (offset > static_cast<std::uint64_t>(INT64_MAX) - count) return TRUE;
    auto* bytes = static_cast<char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        const ssize_t n = pread(file.fd.Get(), bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            *count_read = done;
            return FailWithErrno(errno);
        }
        if (n == 0) break;
        done += static_cast<DWORD>(n);
    }
    *count_read = done;
    return TRUE;
}

// Writes `count` bytes at `offset`. A write that would take the file past
// 4 GiB - 1 bytes is refused whole, before anything is written.
BOOL WriteAt(FileObject& file, LPCVOID buffer, DWORD count, LPDWORD count_written, std::uint64_t offset) {
    if (count_written == nullptr || (buffer == nullptr && count != 0)) return FailWith(ERROR_INVALID_PARAMETER);
    *count_written = 0;
    if ((file.access & GENERIC_WRITE) == 0) return FailWith(ERROR_ACCESS_DENIED);
    if (count == 0) return TRUE;
    if (offset > kMaxFileSize || count > kMaxFileSize - offset) return FailWith(ERROR_DISK_FULL);
    const auto* bytes = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < count) {
        const ssize_t n = pwrite(file.fd.Get(), bytes + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            *count_written = done;
            return FailWithErrno(errno);
        }
        done += static_cast<DWORD>(n);
    }
    *count_written = done;
    return TRUE;
}

// Puts back the times that SetFileTime set through this handle, after a
// call of the same handle that the host counts as an access or a change.
// The caller holds file.mutex.
void RestoreKeptTimes(FileObject& file) {
    if (file.keeps_times) futimens(file.fd.Get(), file.kept_times);
}

bool Status(FileObject& file, struct stat& status) {
    if (fstat(file.fd.Get(), &status) == 0) return true;
    SetLastError(ErrorFromErrno(errno));
    return false;
}

}  // namespace

BOOL ReadFile(HANDLE h, LPVOID buffer, DWORD count, LPDWORD count_read, LPOVERLAPPED /*overlapped*/) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    std::lock_guard lock(file->mutex);
    const BOOL ok = ReadAt(*file, buffer, count, count_read, file->pointer);
    if (count_read != nullptr) file->pointer += *count_read;
    RestoreKeptTimes(*file);
    return ok;
}

BOOL ReadFileWithSeek(HANDLE h, LPVOID buffer, DWORD count, LPDWORD count_read, LPOVERLAPPED /*overlapped*/,
                      DWORD offset_low, DWORD offset_high) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    const BOOL ok = ReadAt(*file, buffer, count, count_read, Offset(offset_low, offset_high));
    std::lock_guard lock(file->mutex);
    RestoreKeptTimes(*file);
    return ok;
}

BOOL WriteFile(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD count_written, LPOVERLAPPED /*overlapped*/) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    std::lock_guard lock(file->mutex);
    const BOOL ok = WriteAt(*file, buffer, count, count_written, file->pointer);
    if (count_written != nullptr) file->pointer += *count_written;
    RestoreKeptTimes(*file);
    return ok;
}

BOOL WriteFileWithSeek(HANDLE h, LPCVOID buffer, DWORD count, LPDWORD count_written, LPOVERLAPPED /*overlapped*/,
                       DWORD offset_low, DWORD offset_high) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    const BOOL ok = WriteAt(*file, buffer, count, count_written, Offset(offset_low, offset_high));
    std::lock_guard lock(file->mutex);
    RestoreKeptTimes(*file);
    return ok;
}

DWORD SetFilePointer(HANDLE h, LONG distance_low, PLONG distance_high, DWORD move_method) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return INVALID_SET_FILE_POINTER;
    // Without a high part the distance is a signed 32-bit value.
    const std::int64_t distance =
        distance_high == nullptr
            ? static_cast<std::int64_t>(distance_low)
            : static_cast<std::int64_t>(Offset(static_cast<DWORD>(distance_low), static_cast<DWORD>(*distance_high)));
    std::lock_guard lock(file->mutex);
    std::int64_t base = 0;
    switch (move_method) {
        case FILE_BEGIN:
            break;
        case FILE_CURRENT:
            base = static_cast<std::int64_t>(file->pointer);
            break;
        case FILE_END: {
            struct stat status {};
            if (!Status(*file, status)) return INVALID_SET_FILE_POINTER;
            base = status.st_size;
            break;
        }
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
    }
    const std::int64_t position = base + distance;
    if (position < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    // A caller without a high part could not learn a position beyond 32 bits.
    if (distance_high == nullptr && position > static_cast<std::int64_t>(kMaxFileSize)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    file->pointer = static_cast<std::uint64_t>(position);
    if (distance_high != nullptr) *distance_high = static_cast<LONG>(file->pointer >> 32);
    // The low part may itself be 0xFFFFFFFF; the cleared error tells success.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(file->pointer);
}

DWORD GetFileSize(HANDLE h, LPDWORD size_high) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return 0xFFFFFFFFu;
    struct stat status {};
    if (!Status(*file, status)) return 0xFFFFFFFFu;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    if (size_high != nullptr) *size_high = static_cast<DWORD>(size >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL GetFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION information) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    if (information == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    struct stat status {};
    if (!Status(*file, status)) return FALSE;
    const FileTimes times = ReadTimes(file->volume->store, file->fd.Get(), status);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    const auto index = static_cast<std::uint64_t>(status.st_ino);
    *information = BY_HANDLE_FILE_INFORMATION{};
    information->dwFileAttributes = ReadAttributes(file->volume->store, file->fd.Get(), status);
    information->ftCreationTime = times.creation;
    information->ftLastAccessTime = times.last_access;
    information->ftLastWriteTime = times.last_write;
    information->dwVolumeSerialNumber = static_cast<DWORD>(status.st_dev);
    information->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    information->nFileSizeLow = static_cast<DWORD>(size);
    information->nNumberOfLinks = static_cast<DWORD>(status.st_nlink);
    information->nFileIndexHigh = static_cast<DWORD>(index >> 32);
    information->nFileIndexLow = static_cast<DWORD>(index);
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE h) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    if (fsync(file->fd.Get()) != 0) return FailWithErrno(errno);
    return TRUE;
}

BOOL GetFileTime(HANDLE h, LPFILETIME creation, LPFILETIME last_access, LPFILETIME last_write) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    struct stat status {};
    if (!Status(*file, status)) return FALSE;
    const FileTimes times = ReadTimes(file->volume->store, file->fd.Get(), status);
    if (creation != nullptr) *creation = times.creation;
    if (last_access != nullptr) *last_access = times.last_access;
    if (last_write != nullptr) *last_write = times.last_write;
    return TRUE;
}

BOOL SetFileTime(HANDLE h, const FILETIME* creation, const FILETIME* last_access, const FILETIME* last_write) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    if ((file->access & GENERIC_WRITE) == 0) return FailWith(ERROR_ACCESS_DENIED);
    std::lock_guard lock(file->mutex);
    if (const DWORD error = WriteTimes(file->volume->store, file->fd.Get(), creation, last_access, last_write); error != ERROR_SUCCESS) {
        return FailWith(error);
    }
    if (IsTimeGiven(last_access)) file->kept_times[0] = TimespecFromFileTime(*last_access);
    if (IsTimeGiven(last_write)) file->kept_times[1] = TimespecFromFileTime(*last_write);
    file->keeps_times = file->kept_times[0].tv_nsec != UTIME_OMIT || file->kept_times[1].tv_nsec != UTIME_OMIT;
    return TRUE;
}

namespace {

// Sets the host file's length. Some FUSE-served FAT drivers refuse any
// truncate but to zero (EPERM): for them a length that is already right is
// left alone, and a longer one is reached by writing zeros, as FAT itself
// grows a file. A shorter one but zero stays refused.
DWORD SetHostLength(int fd, std::uint64_t length) {
    if (ftruncate(fd, static_cast<off_t>(length)) == 0) return ERROR_SUCCESS;
    const int truncate_errno = errno;
    struct stat status {};
    if (truncate_errno != EPERM || fstat(fd, &status) != 0) return ErrorFromErrno(truncate_errno);
    auto size = static_cast<std::uint64_t>(status.st_size);
    if (size == length) return ERROR_SUCCESS;
    if (size > length) return ErrorFromErrno(truncate_errno);
    static constexpr char kZeros[65536] = {};
    while (size < length) {
        const size_t chunk = static_cast<size_t>(std::min<std::uint64_t>(sizeof kZeros, length - size));
        const ssize_t put = pwrite(fd, kZeros, chunk, static_cast<off_t>(size));
        if (put <= 0) return ErrorFromErrno(put < 0 ? errno : ENOSPC);
        size += static_cast<std::uint64_t>(put);
    }
    return ERROR_SUCCESS;
}

}  // namespace

BOOL SetEndOfFile(HANDLE h) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    if ((file->access & GENERIC_WRITE) == 0) return FailWith(ERROR_ACCESS_DENIED);
    std::lock_guard lock(file->mutex);
    if (file->pointer > kMaxFileSize) return FailWith(ERROR_DISK_FULL);
    if (const DWORD error = SetHostLength(file->fd.Get(), file->pointer); error != ERROR_SUCCESS) {
        return FailWith(error);
    }
    RestoreKeptTimes(*file);
    return TRUE;
}

BOOL DeviceIoControl(HANDLE h, DWORD /*control_code*/, LPVOID /*in_buffer*/, DWORD /*in_size*/,
                     LPVOID /*out_buffer*/, DWORD /*out_size*/, LPDWORD bytes_returned,
                     LPOVERLAPPED /*overlapped*/) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    // A card folder has no device behind it that could answer a control code.
    if (bytes_returned != nullptr) *bytes_returned = 0;
    return FailWith(ERROR_NOT_SUPPORTED);
}

BOOL CloseFile(HANDLE h) noexcept {
    FileObject* file = AsFile(h);
    if (file == nullptr) return FALSE;
    std::unique_ptr<FileObject> owned(file);
    owned->magic = 0;
    owned->volume->open_handles.fetch_sub(1);
    // Out of the share table before the descriptor goes: closing the last
    // descriptor of a file removed while open frees its inode, which the host
    // may give at once to a file being made, and that file must not meet
    // this handle there.
    owned->share = ShareTable::Ticket();
    // The host releases the descriptor even when its close reports an error,
    // so the handle is gone either way; the error still reaches the caller,
    // since data may not have reached the card.
    const int close_errno = owned->fd.Close();
    if (close_errno != 0) return FailWithErrno(close_errno);
    return TRUE;
}

}  // namespace platform::fat::operations
