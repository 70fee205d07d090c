// One open file of the card, as the mount holds it: every open of a file
// through the mount shares its node's one OpenFile (node_table.h), and
// CardFileSystem sends each read, write and close to it without knowing
// which kind it is. Kinds: FilterFile (filter_file.h), a handle of the
// card's filter stack, for reading and writing; BlockReader
// (block_reader.h), for reading alone, from the card's bytes.
//
// Results are 0 or an errno value. The node's gate orders the calls: shared
// for Read, Write and Status, exclusive for the others.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>

#include "platform/core/types.h"

namespace quillane::mount {

// The largest file a FAT card holds: 4 GiB - 1 bytes.
inline constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;

// What an open file knows of itself: the plain size and the times.
struct OpenFileStatus {
    std::uint64_t size = 0;
    timespec last_access{};
    timespec last_write{};
};

class OpenFile {
public:
    OpenFile() = default;
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    // Gives up a file that Close did not close, reporting nothing.
    virtual ~OpenFile() = default;

    // Whether it takes writes.
    virtual bool Writable() const = 0;
    // Whether it is a handle of the filter (what a change of times or a
    // flush needs).
    virtual bool ThroughFilter() const = 0;

    // Reads at `offset` (below kMaxFileSize) into `buffer`; `count` is what
    // was read, short only at the end of the file.
    virtual int Read(std::uint64_t offset, std::span<char> buffer, size_t& count) = 0;
    // Writes `data` at `offset`, within kMaxFileSize; `count` is what was
    // written, never 0 on success.
    virtual int Write(std::uint64_t offset, std::span<const char> data, size_t& count) = 0;
    virtual int SetLength(std::uint64_t size) = 0;
    virtual int Status(OpenFileStatus& status) = 0;
    // Sets the times given (null leaves one alone).
    virtual int SetTimes(const FILETIME* last_access, const FILETIME* last_write) = 0;
    // Marks what is open as changed, so that Close puts it in place even
    // when nothing was written (after SetTimes, say).
    virtual int Flush() = 0;
    // Puts what was written in place on the card and ends the file, also
    // when it fails: the error says the card may not hold what was written.
    virtual int Close() = 0;
};

}  // namespace quillane::mount
