// The card's host files behind names: room taken and plain sizes (see
// host_files.h).
#include "mount/host_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "filter/codec/codec.h"
#include "mount/platform_errno.h"
#include "platform/fat/names.h"

namespace quillane::mount {
namespace {

// Plain sizes kept at most; past this the memory starts afresh.
constexpr size_t kRememberedLimit = 16384;

// The scan's view of a host file: reads from the current offset, skips by
// seeking, and knows the size so a skip past the end reports the end.
struct ScanStream {
    int fd;
    std::uint64_t position;
    std::uint64_t size;
};

BOOL ReadStream(void* context, void* buffer, DWORD count, DWORD* delivered) {
    auto* stream = static_cast<ScanStream*>(context);
    ssize_t got;
    do {
        got = ::read(stream->fd, buffer, count);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return FALSE;
    stream->position += static_cast<std::uint64_t>(got);
    *delivered = static_cast<DWORD>(got);
    return TRUE;
}

BOOL SkipStream(void* context, DWORD count, DWORD* skipped) {
    auto* stream = static_cast<ScanStream*>(context);
    const std::uint64_t rest = stream->size > stream->position ? stream->size - stream->position : 0;
    const auto step = static_cast<DWORD>(std::min<std::uint64_t>(count, rest));
    if (::lseek(stream->fd, static_cast<off_t>(step), SEEK_CUR) < 0) return FALSE;
    stream->position += step;
    *skipped = step;
    return TRUE;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

}  // namespace

int HostFiles::Status(std::u16string_view volume_path, struct stat& status) const {
    const std::u16string path(volume_path);
    platform::fat::Resolved resolved;
    if (const DWORD error = platform::fat::Resolve(root_.Get(), path.c_str(), resolved, &names_);
        error != ERROR_SUCCESS) {
        return ErrnoFrom(error);
    }
    if (resolved.is_root) return ::fstat(root_.Get(), &status) == 0 ? 0 : errno;
    if (!resolved.entry.exists) return ENOENT;
    status = resolved.entry.status;
    return 0;
}

int HostFiles::Describe(std::u16string_view volume_path, HostFile& file) {
    file = HostFile{};
    const std::u16string path(volume_path);
    platform::fat::Resolved resolved;
    if (const DWORD error = platform::fat::Resolve(root_.Get(), path.c_str(), resolved, &names_);
        error != ERROR_SUCCESS) {
        return ErrnoFrom(error);
    }
    if (resolved.is_root) return ::fstat(root_.Get(), &file.status) == 0 ? 0 : errno;
    if (!resolved.entry.exists) return ENOENT;
    file.status = resolved.entry.status;
    if (!S_ISREG(file.status.st_mode)) return 0;
    file.plain_size = static_cast<std::uint64_t>(file.status.st_size);
    // Fewer bytes than the signature: plain, whatever they are.
    if (file.status.st_size < kCodecSignatureSize) return 0;
    if (Recall(file)) return 0;

    platform::fat::UniqueFd fd;
    if (const int error = OpenEntry(resolved, fd); error != 0) return error;
    return Examine(fd.Get(), file);
}

int HostFiles::Open(std::u16string_view volume_path, platform::fat::UniqueFd& fd, HostFile& file) {
    file = HostFile{};
    const std::u16string path(volume_path);
    platform::fat::Resolved resolved;
    if (const DWORD error = platform::fat::Resolve(root_.Get(), path.c_str(), resolved); error != ERROR_SUCCESS) {
        return ErrnoFrom(error);
    }
    if (resolved.is_root) return EISDIR;
    if (!resolved.entry.exists) return ENOENT;
    if (!S_ISREG(resolved.entry.status.st_mode)) return EISDIR;
    if (const int error = OpenEntry(resolved, fd); error != 0) return error;
    return Examine(fd.Get(), file);
}

int HostFiles::OpenEntry(const platform::fat::Resolved& resolved, platform::fat::UniqueFd& fd) const {
    // Without touching the access time where the host lets the mount (it
    // owns the file): reading a file writes nothing to the card.
    if (platform::fat::OpenEntry(resolved.parent.Get(), resolved.entry, O_RDONLY | O_NOATIME, fd) == ERROR_SUCCESS) {
        return 0;
    }
    const DWORD error = platform::fat::OpenEntry(resolved.parent.Get(), resolved.entry, O_RDONLY, fd);
    return error == ERROR_SUCCESS ? 0 : ErrnoFrom(error);
}

bool HostFiles::Recall(HostFile& file) {
    std::lock_guard lock(mutex_);
    const auto found = remembered_.find(Identity{file.status.st_dev, file.status.st_ino});
    if (found == remembered_.end() || !SameTime(found->second.modified, file.status.st_mtim) ||
        found->second.size != file.status.st_size) {
        return false;
    }
    file.plain_size = found->second.plain_size;
    file.compressed = found->second.compressed;
    return true;
}

int HostFiles::Examine(int fd, HostFile& file) {
    // The descriptor's own status: the name may have been replaced since
    // the lookup, and the size must be that of the bytes scanned.
    if (::fstat(fd, &file.status) != 0) return errno;
    file.plain_size = static_cast<std::uint64_t>(file.status.st_size);
    file.compressed = false;
    if (file.status.st_size < kCodecSignatureSize || Recall(file)) return 0;
    if (const int error = Scan(fd, file.status, file); error != 0) return error;

    std::lock_guard lock(mutex_);
    if (remembered_.size() >= kRememberedLimit) remembered_.clear();
    remembered_[Identity{file.status.st_dev, file.status.st_ino}] =
        Remembered{file.status.st_mtim, file.status.st_size, file.plain_size, file.compressed};
    return 0;
}

int HostFiles::Scan(int fd, const struct stat& status, HostFile& file) const {
    ScanStream stream{fd, 0, static_cast<std::uint64_t>(status.st_size)};
    BYTE signature[kCodecSignatureSize] = {};
    DWORD delivered = 0;
    // A short read is a short file; ask again until the four bytes or the end.
    while (delivered < kCodecSignatureSize) {
        DWORD got = 0;
        if (!ReadStream(&stream, signature + delivered, kCodecSignatureSize - delivered, &got)) return errno;
        if (got == 0) break;
        delivered += got;
    }
    file.plain_size = stream.size;
    file.compressed = CodecIsSignature(signature, delivered) != FALSE;
    if (!file.compressed) return 0;

    const CodecScanSource source{CodecSource{&stream, ReadStream}, SkipStream};
    CodecScanReport report{};
    switch (CodecScan(&source, FALSE, &report)) {
        case kCodecCompleted:
        case kCodecDamaged:  // the whole blocks count, as far as they go
            file.plain_size = report.plainSize;
            return 0;
        case kCodecNoMemory:
            return ENOMEM;
        case kCodecSourceFailed:
        case kCodecSinkFailed:
            break;
    }
    return EIO;
}

}  // namespace quillane::mount
