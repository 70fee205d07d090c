// An open file for reading alone, served from the card's own bytes without
// the filter, so that reading writes nothing to the card and needs no room
// on it: a plain file is read as it is; a compressed one through an index of
// its blocks, made from the block headers as reads reach them, decoding only
// the blocks a read touches. A few decoded blocks are kept for neighbouring
// reads, and while a file is read from start to end a helper thread decodes
// the next blocks ahead of the reads. A read that touches a damaged block
// answers EIO; every other range of the file reads as it should.
//
// The reader holds the file it opened (a host descriptor), whatever later
// happens to its name; the mount drops it when a writer opens the file
// (card_open_files.cc), and the next read opens the file's new form.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "mount/host_files.h"
#include "mount/open_file.h"
#include "platform/fat/unique_fd.h"

namespace quillane::mount {

class BlockReader final : public OpenFile {
public:
    // Opens the file at `volume_path` of the card's host folder.
    static int Open(HostFiles& host_files, std::u16string_view volume_path, std::unique_ptr<OpenFile>& file);

    BlockReader(platform::fat::UniqueFd fd, const HostFile& described);
    ~BlockReader() override;

    bool Writable() const override { return false; }
    bool ThroughFilter() const override { return false; }
    int Read(std::uint64_t offset, std::span<char> buffer, size_t& count) override;
    int Write(std::uint64_t offset, std::span<const char> data, size_t& count) override;
    int SetLength(std::uint64_t size) override;
    int Status(OpenFileStatus& status) override;
    int SetTimes(const FILETIME* last_access, const FILETIME* last_write) override;
    int Flush() override;
    int Close() override;

private:
    // Where one block lies, in the plain data and in the file.
    struct Block {
        std::uint64_t plain_offset;
        std::uint64_t payload_offset;
        DWORD data_length;
        DWORD payload_length;
        bool compressed;
    };
    struct Decoded {
        std::unique_ptr<char[]> data;  // data_length bytes
        bool damaged = false;
    };
    struct Cached {
        size_t block;
        std::shared_ptr<const Decoded> decoded;
        std::uint64_t last_use;
    };

    int ReadPlain(std::uint64_t offset, std::span<char> buffer, size_t& count) const;
    int ReadBlocks(std::uint64_t offset, std::span<char> buffer, size_t& count);
    // Under mutex_: adds the next block's header to the index. False at the
    // end of the blocks (the file's end, or damage that ends them, as the
    // scan ends them); an error reading the header is kept in index_error_.
    bool ExtendIndex();
    // Under mutex_: the block's decoded data, decoding it (with the lock let
    // go meanwhile) or waiting for the helper that decodes it. Null with
    // `error` set when it could not be had.
    std::shared_ptr<const Decoded> Get(size_t block, std::unique_lock<std::mutex>& lock, int& error);
    int Decode(const Block& block, Decoded& decoded) const;
    void Keep(size_t block, std::shared_ptr<const Decoded> decoded);  // under mutex_
    const Cached* Find(size_t block);                                  // under mutex_
    void AheadOf(size_t block);                                        // under mutex_
    void DecodeAhead();

    const platform::fat::UniqueFd fd_;
    const struct stat status_;
    const std::uint64_t plain_size_;
    const bool compressed_;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Block> index_;
    std::uint64_t indexed_to_ = 0;    // file offset of the next header to read
    bool index_ended_ = false;
    int index_error_ = 0;
    std::vector<Cached> cache_;
    std::uint64_t uses_ = 0;
    std::vector<size_t> decoding_;    // blocks someone is decoding now
    std::uint64_t sequential_end_ = 0;  // where the last read ended
    std::vector<size_t> ahead_;       // blocks for the helper to decode, nearest first
    bool stopping_ = false;
    std::thread helper_;
};

}  // namespace quillane::mount
