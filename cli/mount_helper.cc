// The mount.fuse.quillane calling form (see mount_helper.h).
#include "cli/mount_helper.h"

#include <cstdio>

#include "cli/command.h"

namespace quillane::cli {
namespace {

// Options that mean something to mount(8), fstab or systemd and nothing to
// a FUSE mount: passing them on would make the mount fail.
bool ForMountOnly(std::string_view option) {
    static constexpr std::string_view kNames[] = {"defaults", "auto",  "noauto",  "nofail", "user",
                                                  "users",    "nouser", "_netdev", "owner",  "group"};
    for (const std::string_view name : kNames) {
        if (option == name) return true;
    }
    return option.starts_with("x-") || option.starts_with("comment=");
}

// Splits an -o list at its unescaped commas, keeping the escapes.
std::vector<std::string> SplitOptions(std::string_view list) {
    std::vector<std::string> options(1);
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] == '\\' && i + 1 < list.size()) {
            options.back() += list.substr(i, 2);
            ++i;
        } else if (list[i] == ',') {
            options.emplace_back();
        } else {
            options.back() += list[i];
        }
    }
    return options;
}

}  // namespace

bool TranslateHelperArguments(std::span<const std::string_view> arguments, HelperMount* mount, std::string* message) {
    std::vector<std::string> operands;
    std::string kept;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (argument.size() < 2 || argument[0] != '-') {
            operands.emplace_back(argument);
            continue;
        }
        for (size_t at = 1; at < argument.size(); ++at) {
            const char letter = argument[at];
            if (letter == 's' || letter == 'n' || letter == 'v') continue;  // sloppy, no mtab, verbose
            if (letter == 'f') {
                mount->fake = true;
                continue;
            }
            if (letter != 'o' && letter != 't' && letter != 'N') {
                *message = std::string("unknown option -") + letter;
                return false;
            }
            std::string_view value = argument.substr(at + 1);
            if (value.empty()) {
                if (i + 1 == arguments.size()) {
                    *message = std::string("option -") + letter + " needs a value";
                    return false;
                }
                value = arguments[++i];
            }
            if (letter == 'N') {
                *message = "mounting in another namespace (-N) is not supported";
                return false;
            }
            if (letter == 'o') {
                for (const std::string& option : SplitOptions(value)) {
                    if (option.empty() || ForMountOnly(option)) continue;
                    kept += (kept.empty() ? "" : ",") + option;
                }
            }
            break;  // -t TYPE: mount(8) chose this helper by it already
        }
    }
    if (operands.size() != 2) {
        *message = "needs CARD and MOUNTPOINT";
        return false;
    }
    mount->mount_arguments = operands;
    if (!kept.empty()) {
        mount->mount_arguments.emplace_back("-o");
        mount->mount_arguments.push_back(kept);
    }
    return true;
}

int RunMountHelper(std::span<const std::string_view> arguments) {
    HelperMount mount;
    std::string message;
    if (!TranslateHelperArguments(arguments, &mount, &message)) {
        std::fprintf(stderr,
                     "%s: %s\nusage: %s CARD MOUNTPOINT [-sfnv] [-o OPTIONS]   (as mount -t fuse.quillane runs it)\n",
                     kMountHelperName.data(), message.c_str(), kMountHelperName.data());
        return kExitUsage;
    }
    if (mount.fake) return kExitSuccess;
    const std::vector<std::string_view> words(mount.mount_arguments.begin(), mount.mount_arguments.end());
    return kMountCommand.run(kMountCommand, words);
}

}  // namespace quillane::cli
