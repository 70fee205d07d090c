// The terminal side of a card conversion, for convert and demo: a progress
// bar (files done of total, the current path) when the output is a terminal,
// one plain line per file when it is not, and the summary at the end.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "cli/card_conversion.h"

namespace quillane::cli {

class ProgressDisplay {
public:
    // A bar when `out` is a terminal, lines otherwise.
    explicit ProgressDisplay(std::FILE* out);
    // Clears the bar.
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    void Show(const ConversionReport& report, std::string_view path);

private:
    std::FILE* out_;
    bool terminal_;
    bool shown_ = false;
};

// Prints the summary of a conversion of `card_dir` to `out`.
void PrintConversionSummary(std::FILE* out, const std::string& card_dir, const ConversionReport& report);

}  // namespace quillane::cli
