// `quillane install`: the installation step that makes the storage manager
// load the filter for every card, i.e. the filter's registry key with its
// `Dll` value (platform::InstallFilter). Nothing else is written; an
// existing `Exception` value stays as it is.
#include <cstdio>

#include "cli/arguments.h"
#include "cli/command.h"
#include "cli/messages.h"
#include "platform/core/utf.h"
#include "platform/registry/registry.h"
#include "platform/storage/storage_manager.h"

namespace quillane::cli {
namespace {

int RunInstall(const Command& self, Arguments arguments) {
    const std::optional<ParsedArguments> parsed = ParseArguments(self, arguments);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (!parsed->operands.empty()) return UsageError(self, "takes no arguments");
    if (const DWORD error = platform::InstallFilter(); error != ERROR_SUCCESS) {
        return Fail(self, "cannot write the registry store " + platform::RegistryStorePath() + ": " +
                              PlatformErrorText(error));
    }
    std::printf("Installed the filter: HKEY_LOCAL_MACHINE\\System\\StorageManager\\FATFS\\Filters\\Quillane\n"
                "  Dll = Quillane.so (found in the lib folder beside this program)\n"
                "  registry store: %s\n"
                "Every file type is compressed until you exempt some; 'quillane exceptions add\n"
                "--media' exempts the common types that are compressed already (zip, jpg, mp3, ...).\n",
                platform::RegistryStorePath().c_str());
    return kExitSuccess;
}

}  // namespace

const Command kInstallCommand{
    "install", "install", "register the filter in the registry",
    "Creates the filter's registry key\n"
    "HKEY_LOCAL_MACHINE\\System\\StorageManager\\FATFS\\Filters\\Quillane with its\n"
    "Dll value, so the storage manager stacks the filter on every card it\n"
    "mounts. The exempt list (the Exception value) is left as it is. mount and\n"
    "convert do this by themselves when the key is missing.\n"
    "The registry store is QUILLANE_REGISTRY, else ~/.config/quillane/registry.\n",
    RunInstall};

}  // namespace quillane::cli
