// Progress in bytes on a terminal (see byte_progress.h).
#include "cli/byte_progress.h"

#include <unistd.h>

#include <cstdio>

#include <iterator>

namespace quillane::cli {
namespace {

// "12.3 MiB", short enough for a line that is redrawn.
std::string Short(uint64_t bytes) {
    static const char* const kUnits[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < std::size(kUnits)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0) {
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    } else {
        std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    }
    return text;
}

constexpr auto kRedrawEvery = std::chrono::milliseconds(100);

}  // namespace

ByteProgress::ByteProgress(std::string_view label, uint64_t total)
    : label_(label), total_(total), terminal_(::isatty(STDERR_FILENO) != 0),
      next_(std::chrono::steady_clock::now() + kRedrawEvery * 5) {}

ByteProgress::~ByteProgress() {
    if (shown_) std::fprintf(stderr, "\r\x1b[K");
}

void ByteProgress::Show(uint64_t done, std::string_view detail) {
    if (!terminal_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return;  // quick work shows nothing; a long one, ten lines a second
    next_ = now + kRedrawEvery;
    std::string line = label_ + ": " + Short(done);
    if (total_ > 0) {
        line += " of " + Short(total_);
        char percent[16];
        std::snprintf(percent, sizeof percent, " (%d%%)", static_cast<int>(100.0 * static_cast<double>(done) / total_));
        line += percent;
    }
    if (!detail.empty()) line += ", " + std::string(detail);
    std::fprintf(stderr, "\r\x1b[K%s", line.c_str());
    std::fflush(stderr);
    shown_ = true;
}

}  // namespace quillane::cli
