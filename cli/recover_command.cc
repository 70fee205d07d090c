// `quillane recover [--apply] CARD_DIR`: finds what an interrupted open or
// close (a mount that was killed, a card pulled out) left at the card's
// root, tells for each leftover what the card's other files say about it,
// and with --apply removes those whose data is held elsewhere and keeps the
// rest under recovered/ (card_leftovers.h judges). Without --apply it only
// reports. Reads the card folder directly, not through the filter, and
// refuses a card that a mount is serving, whose leftovers are in use.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/card_leftovers.h"
#include "cli/card_session.h"
#include "cli/command.h"
#include "cli/messages.h"
#include "platform/storage/card_lock.h"

namespace quillane::cli {
namespace {

constexpr std::string_view kApplyOption = "--apply";

const char* KindText(LeftoverKind kind) {
    return kind == LeftoverKind::kExpansion ? "expansion file" : "staging file";
}

void PrintLeftover(const Leftover& leftover, const RecoveryAction* action) {
    std::printf("%s  %s, %s\n", leftover.name.c_str(), KindText(leftover.kind), ByteCount(leftover.size).c_str());
    if (leftover.fate != LeftoverFate::kUntouched) {
        if (leftover.owner.empty()) {
            std::printf("  owner unknown\n");
        } else {
            std::printf("  belonged to %s (%s)\n", leftover.owner.c_str(), leftover.owner_basis.c_str());
        }
    }
    std::printf("  %s\n", leftover.finding.c_str());
    switch (leftover.fate) {
        case LeftoverFate::kRemove:
            if (action == nullptr) {
                std::printf("  -> can go\n");
            } else if (action->done) {
                std::printf("  -> removed\n");
            } else {
                std::printf("  -> NOT removed: %s\n", action->error.c_str());
            }
            break;
        case LeftoverFate::kKeep:
            if (action == nullptr) {
                std::printf("  -> keep as %s\n", leftover.keep_as.c_str());
            } else if (action->done) {
                std::printf("  -> kept as %s\n", action->kept_as.c_str());
            } else {
                std::printf("  -> NOT moved, still at the root: %s\n", action->error.c_str());
            }
            break;
        case LeftoverFate::kUntouched:
            std::printf("  -> left where it is\n");
            break;
    }
}

int RunRecover(const Command& self, Arguments arguments) {
    std::vector<std::string_view> rest;
    const bool apply = TakeLongOption(arguments, kApplyOption, &rest);
    const std::optional<ParsedArguments> parsed = ParseArguments(self, rest);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (parsed->operands.size() != 1) return UsageError(self, "needs CARD_DIR");
    const std::string& card_dir = parsed->operands[0];

    struct stat status {};
    if (::stat(card_dir.c_str(), &status) != 0) return Fail(self, card_dir + ": " + HostErrorText(errno));
    if (!S_ISDIR(status.st_mode)) return Fail(self, card_dir + ": is not a folder");
    // While another program serves the card, its leftovers are files that
    // programs have open: a mount's own expansion and staging files. The
    // card's lock keeps them out while recover works.
    std::string lock_error;
    const std::unique_ptr<platform::CardLock> lock = platform::CardLock::Take(card_dir, &lock_error);
    if (lock == nullptr) return Fail(self, lock_error);

    std::string error;
    const std::optional<RecoveryPlan> plan = PlanRecovery(card_dir, &error);
    if (!plan) return Fail(self, error);
    for (const std::string& problem : plan->problems) PrintError(self, "note: " + problem);

    if (plan->leftovers.empty()) {
        std::printf("No leftovers at the root of %s: nothing to do.\n", card_dir.c_str());
        return kExitSuccess;
    }
    std::vector<RecoveryAction> actions;
    if (apply) actions = ApplyRecovery(card_dir, *plan);

    std::printf("Leftovers at the root of %s:\n\n", card_dir.c_str());
    size_t removable = 0, kept = 0, untouched = 0, removed = 0, moved = 0, failed = 0;
    for (size_t i = 0; i < plan->leftovers.size(); ++i) {
        const Leftover& leftover = plan->leftovers[i];
        PrintLeftover(leftover, apply ? &actions[i] : nullptr);
        switch (leftover.fate) {
            case LeftoverFate::kRemove: ++removable; break;
            case LeftoverFate::kKeep: ++kept; break;
            case LeftoverFate::kUntouched: ++untouched; break;
        }
        if (!apply || leftover.fate == LeftoverFate::kUntouched) continue;
        if (!actions[i].done) {
            ++failed;
        } else if (leftover.fate == LeftoverFate::kRemove) {
            ++removed;
        } else {
            ++moved;
        }
    }
    std::printf("\n");
    if (!apply) {
        std::printf("%zu can go, %zu to keep under %s/, %zu left alone. Nothing was changed: "
                    "'quillane recover --apply %s' does it.\n",
                    removable, kept, kRecoveredFolder, untouched, Quoted(card_dir).c_str());
    } else {
        std::printf("Removed %zu, kept %zu under %s/, left %zu at the root.\n", removed, moved, kRecoveredFolder,
                    untouched + failed);
    }
    if (failed > 0) return Fail(self, std::to_string(failed) + " leftovers could not be dealt with (listed above)");
    if (untouched > 0) {
        return Fail(self, std::to_string(untouched) + " leftovers could not be read and were left where they are");
    }
    return kExitSuccess;
}

}  // namespace

const Command kRecoverCommand{
    "recover", "recover [--apply] CARD_DIR", "deal with what an interrupted open or close left on a card",
    "Looks at what an interrupted open or close (a mount that was killed, a\n"
    "card pulled out) left at the root of the card in CARD_DIR: expansion files\n"
    "vXXXX.TMP (the plain copy of a compressed file while it is open) and\n"
    "staging files yXXXX.TMP (the compressed copy a close was writing). Other\n"
    "names are never touched. For each it tells what it is, which file it\n"
    "belonged to when the card tells (the same content, or the creation time a\n"
    "leftover shares with its file), and what becomes of it:\n"
    "  - a staging file can go when it is damaged or cut short (a close puts one\n"
    "    in place only once it is whole, so the file it was for still holds its\n"
    "    old or its new content), or when some file on the card holds its\n"
    "    content; a whole one that no file holds is kept as below;\n"
    "  - an expansion file can go when some file on the card holds exactly its\n"
    "    content (an open that wrote nothing); otherwise it may hold a program's\n"
    "    unsaved writes, and is kept as recovered/FILE.vXXXX.TMP (FILE being the\n"
    "    file it belonged to), or recovered/vXXXX.TMP when that is unknown.\n"
    "Without --apply nothing is changed. With --apply what can go is removed\n"
    "and the rest is moved under recovered/ at the card root; nothing there is\n"
    "ever replaced. Nothing is deleted that the card holds nowhere else.\n"
    "Run it while the card is not mounted. The exit status is 1 when a leftover\n"
    "could not be read or dealt with.\n",
    RunRecover};

}  // namespace quillane::cli
