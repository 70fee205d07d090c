// The card's host files behind names: room taken and plain sizes (see
// host_files.h).
#include "mount/host_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "filter/codec/codec.h"
#include "mount/platform_errno.h"
#include "platform/fat/names.h"

namespace quillane::mount {
namespace {

// Plain sizes kept at most; past this the memory starts afresh.
constexpr size_t kRememberedLimit = 16384;

// The scan's view of a host file: reads at its own position through a
// small window, so that the two 4-byte reads of a block header and the skip
// over its payload cost one system call, and knows the size so a skip past
// the end reports the end.
struct ScanStream {
    int fd;
    std::uint64_t position;
    std::uint64_t size;
    char window[512];
    std::uint64_t window_start = 0;
    size_t window_length = 0;
};

BOOL ReadStream(void* context, void* buffer, DWORD count, DWORD* delivered) {
    auto* stream = static_cast<ScanStream*>(context);
    if (stream->position < stream->window_start ||
        stream->position >= stream->window_start + stream->window_length) {
        ssize_t got;
        do {
            got = ::pread(stream->fd, stream->window, sizeof stream->window, static_cast<off_t>(stream->position));
        } while (got < 0 && errno == EINTR);
        if (got < 0) return FALSE;
        stream->window_start = stream->position;
        stream->window_length = static_cast<size_t>(got);
    }
    const size_t offset = static_cast<size_t>(stream->position - stream->window_start);
    const size_t taken = std::min<size_t>(count, stream->window_length - offset);
    std::memcpy(buffer, stream->window + offset, taken);
    stream->position += taken;
    *delivered = static_cast<DWORD>(taken);
    return TRUE;
}

BOOL SkipStream(void* context, DWORD count, DWORD* skipped) {
    auto* stream = static_cast<ScanStream*>(context);
    const std::uint64_t rest = stream->size > stream->position ? stream->size - stream->position : 0;
    const auto step = static_cast<DWORD>(std::min<std::uint64_t>(count, rest));
    stream->position += step;
    *skipped = step;
    return TRUE;
}

// What a compressed file shows past its whole blocks when damage ended
// them: the data length of a block cut short when its header is sound, or
// else one byte. Reads of it fail (block_reader.h), so a program that reads
// the whole file, or copies it, meets the damage instead of a shorter file
// that looks whole.
std::uint64_t DamagedTail(int fd, std::uint64_t header_offset, std::uint64_t file_size) {
    BYTE bytes[kCodecHeaderSize];
    CodecBlockHeader header{};
    if (file_size >= header_offset + kCodecHeaderSize &&
        ::pread(fd, bytes, sizeof bytes, static_cast<off_t>(header_offset)) == static_cast<ssize_t>(sizeof bytes) &&
        CodecReadHeader(bytes, &header)) {
        return header.dataLength;
    }
    return 1;
}

bool SameTime(const timespec& a, const timespec& b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; }

// Whether a file last modified at `modified` can no longer change without
// its modification time changing too: FAT's times step by 2 seconds, and a
// second more covers a host clock that rounds rather than truncates. A time
// ahead of the clock never settles.
bool Settled(const timespec& modified) {
    constexpr time_t kUnsettledSeconds = 3;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return modified.tv_sec + kUnsettledSeconds < now.tv_sec;
}

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
    if (Recall(volume_path, file)) return 0;

    platform::fat::UniqueFd fd;
    if (const int error = OpenEntry(resolved, fd); error != 0) return error;
    return Examine(volume_path, fd.Get(), file);
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
    return Examine(volume_path, fd.Get(), file);
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

bool HostFiles::Recall(std::u16string_view volume_path, HostFile& file) {
    std::lock_guard lock(mutex_);
    const auto found =
        remembered_.find(Key{std::u16string(volume_path), file.status.st_dev, file.status.st_ino});
    if (found == remembered_.end() || !SameTime(found->second.modified, file.status.st_mtim) ||
        found->second.size != file.status.st_size) {
        return false;
    }
    file.plain_size = found->second.plain_size;
    file.compressed = found->second.compressed;
    return true;
}

int HostFiles::Examine(std::u16string_view volume_path, int fd, HostFile& file) {
    // The descriptor's own status: the name may have been replaced since
    // the lookup, and the size must be that of the bytes scanned.
    if (::fstat(fd, &file.status) != 0) return errno;
    file.plain_size = static_cast<std::uint64_t>(file.status.st_size);
    file.compressed = false;
    if (file.status.st_size < kCodecSignatureSize || Recall(volume_path, file)) return 0;
    if (const int error = Scan(fd, file.status, file); error != 0) return error;
    if (!Settled(file.status.st_mtim)) return 0;

    std::lock_guard lock(mutex_);
    if (remembered_.size() >= kRememberedLimit) remembered_.clear();
    remembered_[Key{std::u16string(volume_path), file.status.st_dev, file.status.st_ino}] =
        Remembered{file.status.st_mtim, file.status.st_size, file.plain_size, file.compressed};
    return 0;
}

int HostFiles::Scan(int fd, const struct stat& status, HostFile& file) const {
    ScanStream stream{fd, 0, static_cast<std::uint64_t>(status.st_size), {}};
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
            file.plain_size = report.plainSize;
            return 0;
        case kCodecDamaged:
            file.plain_size = report.plainSize + DamagedTail(fd, report.damageOffset, stream.size);
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
