// Ordinary host files for the codec subcommands (pack, unpack, cat, info):
// an input read in full requests, as the encoder needs to make whole blocks
// even from a pipe, and an output that appears under its name only when it
// is complete (a temporary file beside it, renamed into place), so a failure
// or an interrupt never leaves a half-written OUT. "-" names standard input
// or output; a character device or a fifo is written directly, and a
// symbolic link through to the file it names: nothing but a regular file is
// ever replaced. Not the card's files: those go through the storage manager.
#pragma once

#include <sys/stat.h>

#include <optional>
#include <span>
#include <string>

#include "cli/byte_progress.h"
#include "filter/codec/codec.h"
#include "platform/fat/unique_fd.h"

namespace quillane::cli {

class InputFile {
public:
    // Opens `path` for reading ("-": standard input). A folder or a missing
    // file gives nothing, with the reason in `error`.
    static std::optional<InputFile> Open(const std::string& path, std::string* error);

    // "standard input" or the path as given, for messages.
    const std::string& Name() const { return name_; }
    const struct stat& Status() const { return status_; }
    bool IsRegularFile() const { return S_ISREG(status_.st_mode); }

    // Reads up to `buffer.size()` bytes, fewer only at the end of the data.
    // Returns the count, or nothing on a read error (kept in ReadError).
    std::optional<size_t> Read(std::span<BYTE> buffer);

    // A codec source over Read, and for the scan one that can also skip
    // payloads when the input is a regular file.
    CodecSource Source();
    CodecScanSource ScanSource();

    // errno of the first failed read or skip; 0 when none failed.
    int ReadError() const { return read_error_; }

    // Shows on `progress` how far the reads and skips have come.
    void ShowProgress(ByteProgress* progress) { progress_ = progress; }

private:
    InputFile() = default;
    static BOOL ReadEntry(void* context, void* buffer, DWORD count, DWORD* delivered);
    static BOOL SkipEntry(void* context, DWORD count, DWORD* skipped);

    platform::fat::UniqueFd owned_;
    int fd_ = -1;
    std::string name_;
    struct stat status_ {};
    int read_error_ = 0;
    ByteProgress* progress_ = nullptr;
    uint64_t consumed_ = 0;
    void Consumed(size_t count) {
        consumed_ += count;
        if (progress_ != nullptr) progress_->Show(consumed_);
    }
};

class OutputFile {
public:
    // Prepares `path` ("-": standard output). Refuses a path that is a
    // folder, the very file `input` reads (so IN is never overwritten), a
    // symbolic link to nothing, or a node that is neither a regular file, a
    // character device nor a fifo. A device or fifo is opened and written
    // as the data comes. A regular file (through a symbolic link: the file
    // it names) is made by Commit; until then the data goes to a hidden
    // temporary file in its folder.
    static std::optional<OutputFile> Create(const std::string& path, const InputFile& input, std::string* error);

    // Removes the temporary file unless Commit succeeded.
    ~OutputFile();
    OutputFile(OutputFile&& other) noexcept;
    OutputFile& operator=(OutputFile&&) = delete;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& Name() const { return name_; }

    // Writes all of `data`; false on a write error (kept in WriteError).
    bool Write(std::span<const BYTE> data);
    CodecSink Sink();
    int WriteError() const { return write_error_; }

    // Flushes the data to the disk and renames the temporary file to the
    // path (for standard output, a device or a fifo: only checks that
    // everything was written and, for the last two, closes it).
    bool Commit(std::string* error);

private:
    OutputFile() = default;
    static BOOL WriteEntry(void* context, const void* buffer, DWORD count);

    platform::fat::UniqueFd owned_;
    int fd_ = -1;
    std::string name_;
    std::string path_;
    std::string temporary_path_;  // empty for standard output or once committed
    int write_error_ = 0;
};

// Writes all of `data` to a descriptor (standard output for cat); false with
// errno set on failure.
bool WriteAll(int fd, std::span<const BYTE> data);

}  // namespace quillane::cli
