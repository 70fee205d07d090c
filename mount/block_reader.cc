// Reads served from the card's own bytes (see block_reader.h).
#include "mount/block_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "filter/codec/codec.h"
#include "mount/attributes.h"

namespace quillane::mount {
namespace {

// Decoded blocks kept per open file: enough for the blocks a read and the
// decoding ahead touch, and for programs that read around one spot.
constexpr size_t kCachedBlocks = 8;
// Blocks decoded ahead of a reader that reads the file in order: a few, so
// that a helper kept waiting for the processor a while still stays ahead.
constexpr size_t kBlocksAhead = 4;
// How far from where the last read ended a read still counts as going on
// in order: the kernel's own read-ahead sends neighbouring reads out of order.
constexpr std::uint64_t kInOrderSlack = 4 * std::uint64_t{kCodecBlockSize};

// Reads exactly `count` bytes at `offset`; EIO when the file ends first.
int ReadExactly(int fd, char* buffer, size_t count, std::uint64_t offset) {
    while (count > 0) {
        const ssize_t got = ::pread(fd, buffer, count, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        if (got == 0) return EIO;  // shorter than its blocks say: changed underneath
        buffer += got;
        count -= static_cast<size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return 0;
}

}  // namespace

int BlockReader::Open(HostFiles& host_files, std::u16string_view volume_path, std::unique_ptr<OpenFile>& file) {
    platform::fat::UniqueFd fd;
    HostFile described;
    if (const int error = host_files.Open(volume_path, fd, described); error != 0) return error;
    file = std::make_unique<BlockReader>(std::move(fd), described);
    return 0;
}

BlockReader::BlockReader(platform::fat::UniqueFd fd, const HostFile& described)
    : fd_(std::move(fd)),
      status_(described.status),
      plain_size_(described.plain_size),
      compressed_(described.compressed),
      indexed_to_(kCodecSignatureSize) {}

BlockReader::~BlockReader() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (helper_.joinable()) helper_.join();
}

int BlockReader::Read(std::uint64_t offset, std::span<char> buffer, size_t& count) {
    count = 0;
    if (offset >= plain_size_ || buffer.empty()) return 0;
    buffer = buffer.first(static_cast<size_t>(std::min<std::uint64_t>(buffer.size(), plain_size_ - offset)));
    return compressed_ ? ReadBlocks(offset, buffer, count) : ReadPlain(offset, buffer, count);
}

int BlockReader::ReadPlain(std::uint64_t offset, std::span<char> buffer, size_t& count) const {
    for (;;) {
        const ssize_t got = ::pread(fd_.Get(), buffer.data(), buffer.size(), static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return errno;
        count = static_cast<size_t>(got);
        return 0;
    }
}

int BlockReader::ReadBlocks(std::uint64_t offset, std::span<char> buffer, size_t& count) {
    std::unique_lock lock(mutex_);
    const std::uint64_t end = offset + buffer.size();
    // The first block that ends after `offset`.
    auto ends_after = [&](std::uint64_t position) {
        return std::upper_bound(index_.begin(), index_.end(), position, [](std::uint64_t at, const Block& block) {
            return at < block.plain_offset + block.data_length;
        });
    };
    while (ends_after(offset) == index_.end()) {
        if (!ExtendIndex()) return index_error_ != 0 ? index_error_ : EIO;
    }
    size_t block = static_cast<size_t>(ends_after(offset) - index_.begin());
    size_t copied = 0;
    size_t last = block;
    // Every block the read touches is whole and sound, or the read fails:
    // a short read would tell the kernel the file ends there.
    while (copied < buffer.size()) {
        while (block >= index_.size()) {
            if (!ExtendIndex()) return index_error_ != 0 ? index_error_ : EIO;
        }
        int error = 0;
        const std::shared_ptr<const Decoded> decoded = Get(block, lock, error);
        if (decoded == nullptr) return error;
        if (decoded->damaged) return EIO;
        const Block& where = index_[block];
        const std::uint64_t from = offset + copied - where.plain_offset;
        const size_t take = static_cast<size_t>(std::min<std::uint64_t>(where.data_length - from, buffer.size() - copied));
        std::memcpy(buffer.data() + copied, decoded->data.get() + from, take);
        copied += take;
        last = block++;
    }
    count = copied;

    const bool in_order = offset <= sequential_end_ + kInOrderSlack && end + kInOrderSlack >= sequential_end_;
    sequential_end_ = end;
    if (in_order) AheadOf(last);
    return 0;
}

bool BlockReader::ExtendIndex() {
    if (index_ended_) return false;
    const auto file_size = static_cast<std::uint64_t>(status_.st_size);
    if (indexed_to_ >= file_size) {
        index_ended_ = true;
        return false;
    }
    BYTE bytes[kCodecHeaderSize];
    if (file_size - indexed_to_ < kCodecHeaderSize) {
        index_ended_ = true;  // a header cut short: damage, and the end of the blocks
        return false;
    }
    if (const int error = ReadExactly(fd_.Get(), reinterpret_cast<char*>(bytes), sizeof bytes, indexed_to_);
        error != 0) {
        index_error_ = error;
        index_ended_ = true;
        return false;
    }
    CodecBlockHeader header{};
    const std::uint64_t payload_offset = indexed_to_ + kCodecHeaderSize;
    // The scan that gave the plain size stops at the same places.
    if (!CodecReadHeader(bytes, &header) || file_size - payload_offset < header.payloadLength) {
        index_ended_ = true;
        return false;
    }
    const std::uint64_t plain_offset =
        index_.empty() ? 0 : index_.back().plain_offset + index_.back().data_length;
    index_.push_back(Block{plain_offset, payload_offset, header.dataLength, header.payloadLength,
                           header.compressed != FALSE});
    indexed_to_ = payload_offset + header.payloadLength;
    return true;
}

std::shared_ptr<const BlockReader::Decoded> BlockReader::Get(size_t block, std::unique_lock<std::mutex>& lock,
                                                             int& error) {
    for (;;) {
        if (const Cached* cached = Find(block)) return cached->decoded;
        if (std::find(decoding_.begin(), decoding_.end(), block) != decoding_.end()) {
            changed_.wait(lock);
            continue;
        }
        decoding_.push_back(block);
        const Block where = index_[block];
        lock.unlock();
        auto decoded = std::make_shared<Decoded>();
        error = Decode(where, *decoded);
        lock.lock();
        decoding_.erase(std::find(decoding_.begin(), decoding_.end(), block));
        changed_.notify_all();
        if (error != 0) return nullptr;
        Keep(block, decoded);
        return decoded;
    }
}

int BlockReader::Decode(const Block& block, Decoded& decoded) const {
    decoded.data = std::make_unique_for_overwrite<char[]>(block.data_length);
    if (!block.compressed) return ReadExactly(fd_.Get(), decoded.data.get(), block.data_length, block.payload_offset);
    const auto payload = std::make_unique_for_overwrite<char[]>(block.payload_length);
    if (const int error = ReadExactly(fd_.Get(), payload.get(), block.payload_length, block.payload_offset);
        error != 0) {
        return error;
    }
    DWORD produced = 0;
    switch (CodecDecodeBlock(reinterpret_cast<const BYTE*>(payload.get()), block.payload_length, TRUE,
                             reinterpret_cast<BYTE*>(decoded.data.get()), block.data_length, &produced)) {
        case kCodecCompleted:
            return 0;
        case kCodecNoMemory:
            return ENOMEM;
        default:
            decoded.damaged = true;
            return 0;
    }
}

const BlockReader::Cached* BlockReader::Find(size_t block) {
    for (Cached& cached : cache_) {
        if (cached.block == block) {
            cached.last_use = ++uses_;
            return &cached;
        }
    }
    return nullptr;
}

void BlockReader::Keep(size_t block, std::shared_ptr<const Decoded> decoded) {
    if (cache_.size() < kCachedBlocks) {
        cache_.push_back(Cached{block, std::move(decoded), ++uses_});
        return;
    }
    Cached& oldest = *std::min_element(cache_.begin(), cache_.end(),
                                       [](const Cached& a, const Cached& b) { return a.last_use < b.last_use; });
    oldest = Cached{block, std::move(decoded), ++uses_};
}

void BlockReader::AheadOf(size_t block) {
    ahead_.clear();  // what was asked for earlier and not begun is behind the reader by now
    for (size_t next = block + 1; next <= block + kBlocksAhead; ++next) {
        const bool known = next < index_.size();
        if (known && (std::find_if(cache_.begin(), cache_.end(), [&](const Cached& c) { return c.block == next; }) !=
                          cache_.end() ||
                      std::find(decoding_.begin(), decoding_.end(), next) != decoding_.end())) {
            continue;
        }
        if (!known && index_ended_) break;
        ahead_.push_back(next);
    }
    if (ahead_.empty()) return;
    if (!helper_.joinable()) helper_ = std::thread([this] { DecodeAhead(); });
    changed_.notify_all();
}

void BlockReader::DecodeAhead() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [&] { return stopping_ || !ahead_.empty(); });
        if (stopping_) return;
        const size_t block = ahead_.front();
        ahead_.erase(ahead_.begin());
        bool known = true;
        while (known && block >= index_.size()) known = ExtendIndex();
        if (!known) continue;
        int error = 0;
        Get(block, lock, error);  // a failure here is met again by the read that needs the block
    }
}

int BlockReader::Write(std::uint64_t /*offset*/, std::span<const char> /*data*/, size_t& count) {
    count = 0;
    return EBADF;
}

int BlockReader::SetLength(std::uint64_t /*size*/) { return EBADF; }

int BlockReader::Status(OpenFileStatus& status) {
    status.size = plain_size_;
    status.last_access = CardTime(status_.st_atim);
    status.last_write = CardTime(status_.st_mtim);
    return 0;
}

int BlockReader::SetTimes(const FILETIME* /*last_access*/, const FILETIME* /*last_write*/) { return EBADF; }

int BlockReader::Flush() { return 0; }

// Nothing was written: the file on the card is as it was.
int BlockReader::Close() { return 0; }

}  // namespace quillane::mount
