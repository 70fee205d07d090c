// The terminal side of a card conversion (see conversion_display.h).
#include "cli/conversion_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <vector>

#include "cli/messages.h"

namespace quillane::cli {
namespace {

int TerminalColumns(std::FILE* out) {
    winsize size{};
    if (::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col >= 20) return size.ws_col;
    return 80;
}

// Characters a UTF-8 text takes, counting each code point once.
size_t Columns(std::string_view text) {
    size_t count = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
    return count;
}

// The end of `text` that fits `width` columns, "..." in front when cut.
std::string Tail(std::string_view text, size_t width) {
    if (Columns(text) <= width) return std::string(text);
    if (width <= 3) return std::string(width, '.');
    size_t start = text.size();
    size_t kept = 0;
    while (start > 0 && kept < width - 3) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) ++kept;
    }
    return "..." + std::string(text.substr(start));
}

void PrintList(std::FILE* out, const char* label, const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    std::fprintf(out, "    %-20s %zu\n", label, paths.size());
    constexpr size_t kShown = 5;
    for (size_t i = 0; i < paths.size() && i < kShown; ++i) std::fprintf(out, "      %s\n", paths[i].c_str());
    if (paths.size() > kShown) std::fprintf(out, "      ... and %zu more\n", paths.size() - kShown);
}

}  // namespace

ProgressDisplay::ProgressDisplay(std::FILE* out) : out_(out), terminal_(::isatty(fileno(out)) != 0) {}

ProgressDisplay::~ProgressDisplay() {
    if (terminal_ && shown_) {
        std::fprintf(out_, "\r\x1b[K");
        std::fflush(out_);
    }
}

void ProgressDisplay::Show(const ConversionReport& report, std::string_view path) {
    const unsigned long long done = report.files_done + 1;
    const unsigned long long total = report.files_total;
    if (!terminal_) {
        std::fprintf(out_, "converting %llu/%llu %.*s\n", done, total, static_cast<int>(path.size()), path.data());
        return;
    }
    shown_ = true;
    constexpr int kBarWidth = 24;
    const int filled = total == 0 ? kBarWidth : static_cast<int>(kBarWidth * (done - 1) / total);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kBarWidth, '.');
    char counts[64];
    std::snprintf(counts, sizeof counts, " %llu/%llu ", done, total);
    const int used = kBarWidth + 2 + static_cast<int>(std::string_view(counts).size());
    const int room = TerminalColumns(out_) - used - 1;
    std::fprintf(out_, "\r[%s]%s%s\x1b[K", bar.c_str(), counts,
                 Tail(path, static_cast<size_t>(room > 0 ? room : 0)).c_str());
    std::fflush(out_);
}

void PrintConversionSummary(std::FILE* out, const std::string& card_dir, const ConversionReport& report) {
    const size_t passed_over =
        report.exempt.size() + report.empty.size() + report.leftovers.size() + report.Failures();
    std::fprintf(out, "Converted %s\n", card_dir.c_str());
    std::fprintf(out, "  files walked:          %llu\n", static_cast<unsigned long long>(report.files_done));
    std::fprintf(out, "  compressed:            %llu\n", static_cast<unsigned long long>(report.compressed));
    std::fprintf(out, "  stored before:         %s\n", ByteCount(report.bytes_before).c_str());
    std::fprintf(out, "  stored after:          %s", ByteCount(report.bytes_after).c_str());
    if (report.bytes_before > 0) {
        std::fprintf(out, ", %.1f%% of before", 100.0 * static_cast<double>(report.bytes_after) / report.bytes_before);
    }
    std::fprintf(out, "\n  passed over:           %zu\n", passed_over);
    PrintList(out, "exempt type:", report.exempt);
    PrintList(out, "empty:", report.empty);
    PrintList(out, "held open elsewhere:", report.held_open);
    PrintList(out, "damaged, left as is:", report.damaged);
    PrintList(out, "could not be opened:", report.not_opened);
    PrintList(out, "path too long (>255):", report.too_long);
    PrintList(out, "folder unreadable:", report.unreadable);
    PrintList(out, "left plain:", report.left_plain);
    PrintList(out, "close failed:", report.close_failed);
    PrintList(out, "filter's leftovers:", report.leftovers);
    if (!report.leftovers.empty()) {
        std::fprintf(out, "      (working files of an interrupted open or close: 'quillane recover %s'\n"
                          "       tells what they hold)\n",
                     card_dir.c_str());
    }
    if (report.marker_created) {
        // Only what the card keeps is claimed: a FAT host served by some
        // FUSE drivers has no place for the hidden attribute.
        const char* made = report.marker_existed ? "was already there" : "created";
        const char* how = report.marker_hidden ? "hidden, empty" : "empty; this card keeps no hidden attribute";
        std::fprintf(out, "  marker:                quillane.x13 %s (%s): the card %s\n"
                          "                         twice its capacity\n",
                     made, how, report.marker_existed ? "reports" : "now reports");
    } else {
        std::fprintf(out, "  marker:                quillane.x13 NOT created: %s\n",
                     PlatformErrorText(report.marker_error).c_str());
    }
}

}  // namespace quillane::cli
