// The quillane command's subcommands as a table: each has a name, a one-line
// synopsis, its --help text and the function that runs it. main.cc looks a
// subcommand up here and runs it; the subcommands' own files define them.
// Not an argument parser (arguments.h is).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "filter/codec/codec.h"

namespace quillane::cli {

// Exit statuses of every subcommand.
enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailure = 1,  // the work failed (missing file, damaged data, ...)
    kExitUsage = 2,    // the command line was wrong
};

// The arguments after the subcommand's name.
using Arguments = std::span<const std::string_view>;

struct Command {
    std::string_view name;
    std::string_view synopsis;  // "pack IN OUT": the usage line without "quillane "
    std::string_view summary;   // one line for the command's overview
    std::string_view help;      // what --help prints below the usage line
    int (*run)(const Command& self, Arguments arguments);
};

extern const Command kMountCommand;
extern const Command kConvertCommand;
extern const Command kExceptionsCommand;
extern const Command kPackCommand;
extern const Command kUnpackCommand;
extern const Command kCatCommand;
extern const Command kInfoCommand;
extern const Command kInstallCommand;
extern const Command kRegCommand;
extern const Command kRecoverCommand;
extern const Command kDemoCommand;
extern const Command kStatsCommand;
extern const Command kCardsCommand;
extern const Command kEncoderCommand;

// The block encoders by the names the command line and the Encoder value
// give them: "zlib" and "libdeflate".
std::optional<CodecEncoder> ParseEncoderName(std::string_view name);
std::string EncoderName(CodecEncoder encoder);

}  // namespace quillane::cli
