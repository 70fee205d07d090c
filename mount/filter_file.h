// An open file that is a handle of the card's filter stack: what programs
// write goes to the filter (for a compressed file, into its expansion file),
// and the filter's close compresses the file and puts it in place.
#pragma once

#include <memory>
#include <string>

#include "mount/open_file.h"
#include "platform/core/types.h"

namespace quillane::mount {

class FilterFile final : public OpenFile {
public:
    // Opens `card_path` ("\Card\dir\name") with `disposition`, for reading
    // and writing. A read-only file opened with OPEN_EXISTING and without
    // `want_write` is opened for reading alone.
    static int Open(const std::u16string& card_path, bool want_write, DWORD disposition,
                    std::unique_ptr<OpenFile>& file);

    FilterFile(HANDLE handle, bool writable) : handle_(handle), writable_(writable) {}
    ~FilterFile() override;

    bool Writable() const override { return writable_; }
    bool ThroughFilter() const override { return true; }
    int Read(std::uint64_t offset, std::span<char> buffer, size_t& count) override;
    int Write(std::uint64_t offset, std::span<const char> data, size_t& count) override;
    int SetLength(std::uint64_t size) override;
    int Status(OpenFileStatus& status) override;
    int SetTimes(const FILETIME* last_access, const FILETIME* last_write) override;
    int Flush() override;
    int Close() override;

private:
    HANDLE handle_;  // null once closed
    const bool writable_;
};

}  // namespace quillane::mount
