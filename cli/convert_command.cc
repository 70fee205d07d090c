// `quillane convert CARD_DIR`: the Convert page's job without the GUI. The
// folder is mounted as a card through the storage manager, under the filter,
// every file is opened, flushed and closed so the filter stores it
// compressed, and the marker file is written; then a summary of what each
// file became. Run it on a card that no other program is using.
#include <cstdio>

#include "cli/arguments.h"
#include "cli/card_conversion.h"
#include "cli/card_session.h"
#include "cli/command.h"
#include "cli/conversion_display.h"
#include "cli/messages.h"
#include "platform/registry/registry.h"

namespace quillane::cli {
namespace {

int RunConvert(const Command& self, Arguments arguments) {
    const std::optional<ParsedArguments> parsed = ParseArguments(self, arguments);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (parsed->operands.size() != 1) return UsageError(self, "needs CARD_DIR");
    const std::string& card_dir = parsed->operands[0];

    std::string error;
    bool installed = false;
    const std::unique_ptr<CardSession> session = CardSession::Open(card_dir, &error, &installed);
    if (session == nullptr) return Fail(self, error);
    if (installed) std::printf("Installed the filter in the registry store %s\n", platform::RegistryStorePath().c_str());
    WarnOfUnusableExemptList(self);

    ConversionReport report;
    {
        ProgressDisplay display(stdout);
        report = ConvertCard(*session, [&](const ConversionReport& so_far, const std::string& path) {
            display.Show(so_far, path);
        });
    }
    PrintConversionSummary(stdout, card_dir, report);
    if (!report.marker_created) return Fail(self, "the marker file quillane.x13 could not be created");
    if (report.Failures() > 0) {
        if (!report.damaged.empty()) {
            PrintError(self, std::to_string(report.damaged.size()) +
                                 " damaged files were left exactly as they are; quillane info FILE names the first "
                                 "damaged block, quillane cat FILE writes what still decodes");
        }
        return Fail(self, std::to_string(report.Failures()) + " files or folders were not converted (listed above)");
    }
    return kExitSuccess;
}

}  // namespace

const Command kConvertCommand{
    "convert", "convert CARD_DIR", "compress every file of a card folder",
    "Converts the card in CARD_DIR (the folder of a card, e.g. its mount point\n"
    "/media/me/CARD, or any folder): every file is opened, flushed and closed\n"
    "through the filter, which stores it compressed, except empty files and\n"
    "exempt types (quillane exceptions); then the hidden empty marker file\n"
    "quillane.x13 is written at its root, so a mount reports twice the card's\n"
    "capacity. A converted card can be converted again.\n\n"
    "Shows progress, then a summary: files, bytes stored before and after, and\n"
    "the files passed over and why (held open elsewhere, path over 255\n"
    "characters, exempt type, empty, damaged, close failed). A damaged file\n"
    "(compressed data that does not decode) is left exactly as it is. The exit\n"
    "status is 1 when a file could not be converted. Installs the filter first when the registry lacks it.\n"
    "Do not run it on a card that a mount is serving at the same time.\n",
    RunConvert};

}  // namespace quillane::cli
