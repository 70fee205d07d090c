// Splitting a subcommand's arguments into options and operands, the one way
// every subcommand reads its command line: single-letter options ("-f",
// "-o VALUE", "-oVALUE", bundled "-fo VALUE"), "-h" and "--help" anywhere,
// "--" to end the options, and "-" as an operand (standard input or output).
// Options may come before, between or after operands.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cli/command.h"

namespace quillane::cli {

struct ParsedArguments {
    bool help = false;
    std::vector<std::pair<char, std::string>> options;  // in command-line order; value empty for a flag
    std::vector<std::string> operands;

    bool Has(char letter) const;
    // Every value given to `letter`, in order.
    std::vector<std::string> Values(char letter) const;
};

// A long name for an option that takes a value: "--encoder NAME" and
// "--encoder=NAME" stand for "-e NAME".
struct LongOption {
    std::string_view name;  // without the dashes
    char letter;            // one of the valued letters
};

// `flags`: the letters of options without a value; `valued`: those that take
// one; `long_options`: long names for valued ones. An unknown option or a
// missing value prints a usage error (see messages.h) and gives nothing; the
// caller then exits with kExitUsage.
std::optional<ParsedArguments> ParseArguments(const Command& command, Arguments arguments,
                                              std::string_view flags = {}, std::string_view valued = {},
                                              std::span<const LongOption> long_options = {});

// The parser knows single letters only: a subcommand's long option
// ("--json") is taken out first, wherever it stands before "--". Returns
// whether it was given; `rest` gets the other arguments, for ParseArguments.
bool TakeLongOption(Arguments arguments, std::string_view option, std::vector<std::string_view>* rest);

}  // namespace quillane::cli
