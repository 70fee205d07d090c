// An open file through the card's filter stack (see filter_file.h).
#include "mount/filter_file.h"

#include <cerrno>

#include "mount/platform_errno.h"
#include "platform/core/last_error.h"
#include "platform/fat/metadata.h"
#include "platform/storage/file_api.h"

namespace quillane::mount {
namespace {

constexpr DWORD kFullSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;

DWORD Low(std::uint64_t value) { return static_cast<DWORD>(value & 0xFFFFFFFFu); }
DWORD High(std::uint64_t value) { return static_cast<DWORD>(value >> 32); }

}  // namespace

int FilterFile::Open(const std::u16string& card_path, bool want_write, DWORD disposition,
                     std::unique_ptr<OpenFile>& file) {
    HANDLE handle = platform::CreateFileW(card_path.c_str(), GENERIC_READ | GENERIC_WRITE, kFullSharing, nullptr,
                                          disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool writable = true;
    if (handle == INVALID_HANDLE_VALUE && !want_write && disposition == OPEN_EXISTING &&
        platform::GetLastError() == ERROR_ACCESS_DENIED) {
        // A read-only file: readers still get it.
        handle = platform::CreateFileW(card_path.c_str(), GENERIC_READ, kFullSharing, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        writable = false;
    }
    if (handle == INVALID_HANDLE_VALUE) return LastErrno();
    file = std::make_unique<FilterFile>(handle, writable);
    return 0;
}

FilterFile::~FilterFile() {
    if (handle_ != nullptr) platform::CloseHandle(handle_);
}

int FilterFile::Read(std::uint64_t offset, std::span<char> buffer, size_t& count) {
    DWORD got = 0;
    if (!platform::ReadFileWithSeek(handle_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr,
                                    Low(offset), High(offset))) {
        return LastErrno();
    }
    count = got;
    return 0;
}

int FilterFile::Write(std::uint64_t offset, std::span<const char> data, size_t& count) {
    DWORD written = 0;
    if (!platform::WriteFileWithSeek(handle_, data.data(), static_cast<DWORD>(data.size()), &written, nullptr,
                                     Low(offset), High(offset))) {
        return LastErrno();
    }
    if (written == 0) return ENOSPC;  // a write that took nothing must not look like success
    count = written;
    return 0;
}

int FilterFile::SetLength(std::uint64_t size) {
    if (size > kMaxFileSize) return EFBIG;
    LONG high = static_cast<LONG>(High(size));
    platform::SetLastError(ERROR_SUCCESS);
    if (platform::SetFilePointer(handle_, static_cast<LONG>(Low(size)), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        platform::GetLastError() != ERROR_SUCCESS) {
        return LastErrno();
    }
    if (!platform::SetEndOfFile(handle_)) return LastErrno();
    return 0;
}

int FilterFile::Status(OpenFileStatus& status) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!platform::GetFileInformationByHandle(handle_, &information)) return LastErrno();
    status.size = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    status.last_access = platform::fat::TimespecFromFileTime(information.ftLastAccessTime);
    status.last_write = platform::fat::TimespecFromFileTime(information.ftLastWriteTime);
    return 0;
}

int FilterFile::SetTimes(const FILETIME* last_access, const FILETIME* last_write) {
    if (!platform::SetFileTime(handle_, nullptr, last_access, last_write)) return LastErrno();
    return 0;
}

int FilterFile::Flush() {
    if (!platform::FlushFileBuffers(handle_)) return LastErrno();
    return 0;
}

int FilterFile::Close() {
    if (handle_ == nullptr) return 0;
    // The filter's close: a written file is compressed and put in place.
    // The handle is gone whatever it answers; a failure says the card may
    // not hold what was written, which the program must learn.
    const bool closed = platform::CloseHandle(handle_) != FALSE;
    handle_ = nullptr;
    return closed ? 0 : LastErrno();
}

}  // namespace quillane::mount
