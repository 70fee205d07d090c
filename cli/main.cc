// The quillane command: looks the subcommand up in its table and runs it.
// Each subcommand lives in its own file; this file only dispatches and
// prints the overview.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command.h"
#include "cli/mount_helper.h"
#include "platform/core/version.h"

namespace quillane::cli {
namespace {

const Command* const kCommands[] = {
    &kDemoCommand,   &kMountCommand, &kConvertCommand, &kRecoverCommand, &kExceptionsCommand, &kPackCommand,
    &kUnpackCommand, &kCatCommand,   &kInfoCommand,    &kInstallCommand, &kRegCommand,
    &kStatsCommand,  &kCardsCommand, &kEncoderCommand,
};

void PrintOverview(std::FILE* to) {
    std::fprintf(to,
                 "usage: quillane SUBCOMMAND [ARGUMENTS]\n\n"
                 "Quillane keeps the files of a FAT storage card compressed, so the card\n"
                 "holds more, while programs see them plain.\n\n"
                 "Subcommands:\n");
    for (const Command* command : kCommands) {
        constexpr int kColumn = 44;
        const int width = static_cast<int>(command->synopsis.size());
        std::fprintf(to, "  %.*s", width, command->synopsis.data());
        // A long synopsis puts its summary on a line of its own.
        if (width > kColumn) {
            std::fprintf(to, "\n  %*s", kColumn, "");
        } else {
            std::fprintf(to, "%*s", kColumn - width, "");
        }
        std::fprintf(to, " %.*s\n", static_cast<int>(command->summary.size()), command->summary.data());
    }
    std::fprintf(to,
                 "\n'quillane SUBCOMMAND --help' tells more; 'quillane --version' its version.\n"
                 "Settings live in the registry store named by QUILLANE_REGISTRY, else\n"
                 "~/.config/quillane/registry.\n"
                 "Exit status: 0 success, 1 failure, 2 bad usage.\n");
}

int Main(int argc, char** argv) {
    const std::string_view program = argv[0];
    if (program.substr(program.rfind('/') + 1) == kMountHelperName) {
        return RunMountHelper(std::vector<std::string_view>(argv + 1, argv + argc));
    }
    if (argc < 2) {
        std::fprintf(stderr, "quillane: needs a subcommand\n\n");
        PrintOverview(stderr);
        return kExitUsage;
    }
    const std::string_view name = argv[1];
    if (name == "--version" || name == "-V") {
        std::printf("quillane %s\n", platform::kQuillaneVersion);
        return kExitSuccess;
    }
    if (name == "--help" || name == "-h" || name == "help") {
        if (name != "help" || argc < 3) {
            PrintOverview(stdout);
            return kExitSuccess;
        }
        for (const Command* command : kCommands) {
            if (command->name == argv[2]) {
                const std::string_view help_flag = "--help";
                return command->run(*command, Arguments(&help_flag, 1));
            }
        }
        std::fprintf(stderr, "quillane: unknown subcommand '%s'\n\n", argv[2]);
        PrintOverview(stderr);
        return kExitUsage;
    }
    for (const Command* command : kCommands) {
        if (command->name == name) {
            const std::vector<std::string_view> arguments(argv + 2, argv + argc);
            const int status = command->run(*command, arguments);
            if (std::fflush(stdout) != 0 && status == kExitSuccess) {
                std::fprintf(stderr, "quillane %s: cannot write to standard output\n", argv[1]);
                return kExitFailure;
            }
            return status;
        }
    }
    std::fprintf(stderr, "quillane: unknown subcommand '%s'\n\n", argv[1]);
    PrintOverview(stderr);
    return kExitUsage;
}

}  // namespace
}  // namespace quillane::cli

int main(int argc, char** argv) { return quillane::cli::Main(argc, argv); }
