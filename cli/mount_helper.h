// The quillane program called as mount.fuse.quillane, the name mount(8)
// runs for `mount -t fuse.quillane CARD MOUNTPOINT -o OPTIONS` and for an
// fstab line of type fuse.quillane:
//   mount.fuse.quillane CARD MOUNTPOINT [-sfnv] [-N NAMESPACE] [-o OPTIONS] [-t TYPE]
// It drops the options meant for mount(8), fstab and systemd (defaults,
// auto, noauto, nofail, user, users, nouser, _netdev, x-*, comment=*),
// passes every other option (ro, rw, allow_other, ...) to the FUSE mount and
// runs `quillane mount CARD MOUNTPOINT -o OPTIONS`. Not a subcommand: main.cc
// runs it when the program's name is kMountHelperName.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillane::cli {

inline constexpr std::string_view kMountHelperName = "mount.fuse.quillane";

// The arguments for `quillane mount` that a helper's command line (the
// words after the program's name) stands for, or none with `message` when
// the command line is wrong. `fake` is set for -f (mount(8)'s "do not
// really mount").
struct HelperMount {
    std::vector<std::string> mount_arguments;
    bool fake = false;
};
bool TranslateHelperArguments(std::span<const std::string_view> arguments, HelperMount* mount, std::string* message);

// Runs the helper; returns the exit status (0, 1, or 2 for a wrong command line).
int RunMountHelper(std::span<const std::string_view> arguments);

}  // namespace quillane::cli
