// `quillane mount [-f] [-o OPTIONS] CARD_DIR MOUNTPOINT`: the FUSE front end
// (mount/run_mount.h) serves the card at MOUNTPOINT with the filter stacked
// on it. This file only hands the command line over, whole, since the front
// end reads FUSE's own options as well; without the front end built it
// says so.
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/command.h"
#include "cli/messages.h"

#ifdef QUILLANE_HAVE_MOUNT
#include "mount/run_mount.h"
#endif

namespace quillane::cli {
namespace {

int RunMountCommand(const Command& self, Arguments arguments) {
#ifdef QUILLANE_HAVE_MOUNT
    WarnOfUnusableExemptList(self);
    return mount::RunMount(arguments);
#else
    const std::optional<ParsedArguments> parsed = ParseArguments(self, arguments, "f", "o");
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (parsed->operands.size() != 2) return UsageError(self, "needs CARD_DIR and MOUNTPOINT");
    return Fail(self, "this quillane was built without the FUSE front end (QUILLANE_BUILD_MOUNT is off)");
#endif
}

}  // namespace

const Command kMountCommand{
    "mount", "mount [-f] [-o OPTIONS] CARD_DIR MOUNTPOINT", "serve a card folder compressed at a mount point",
    "Mounts the card in CARD_DIR at MOUNTPOINT through the filter: programs\n"
    "see every file plain at MOUNTPOINT, while CARD_DIR holds them compressed.\n"
    "  -f          stay in the foreground\n"
    "  -o OPTIONS  FUSE mount options, comma-separated\n"
    "              and the owner options of a vfat mount: uid=N, gid=N,\n"
    "              umask=OOO, fmask=OOO, dmask=OOO (default: you, umask 022)\n"
    "CARD_DIR may also be the NAME of a card that 'quillane cards add' registered.\n"
    "Unmount with: fusermount3 -u MOUNTPOINT\n",
    RunMountCommand};

}  // namespace quillane::cli
