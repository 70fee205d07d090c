// Progress in bytes for work that can take more than a second (pack,
// unpack, recover, stats): one line on standard error, redrawn at most ten
// times a second, and only when standard error is a terminal, so scripts
// and logs never see it. The line is cleared when the work ends.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillane::cli {

class ByteProgress {
public:
    // `label` starts the line ("pack big.iso"); `total` 0 when unknown.
    ByteProgress(std::string_view label, uint64_t total);
    // Clears the line.
    ~ByteProgress();
    ByteProgress(const ByteProgress&) = delete;
    ByteProgress& operator=(const ByteProgress&) = delete;

    // `done` bytes so far; `detail` is shown after them ("312 files").
    void Show(uint64_t done, std::string_view detail = {});

private:
    std::string label_;
    uint64_t total_;
    bool terminal_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point next_;
};

}  // namespace quillane::cli
