// `quillane mount [-f] [-o OPTIONS] CARD_DIR MOUNTPOINT`: serves the folder
// CARD_DIR (a card's mount point, or any folder standing for a card) at
// MOUNTPOINT as a FUSE 3 file system, through the storage manager with the
// registered filters stacked on the card, so files are stored compressed on
// the card and read plain. The filter is registered first when it is not.
//
// Runs in the background unless -f is given; `fusermount3 -u MOUNTPOINT`,
// SIGINT or SIGTERM end it once every file open through it has been closed
// through the filter. Other options are FUSE's own (-d, -s, -o allow_other,
// ...). The command-line tool's `mount` subcommand is this function; it is
// not the one-shot card access of the other subcommands.
#pragma once

#include <span>
#include <string_view>

namespace quillane::mount {

// `arguments` are the words after "mount". Returns the exit status: 0 when
// the mount ran and was unmounted (or, in the background, once the daemon
// serves it), 1 when the card or the mount could not be set up (the reason
// on stderr, before the program detaches), 2 for a wrong command line.
int RunMount(std::span<const std::string_view> arguments);

}  // namespace quillane::mount
