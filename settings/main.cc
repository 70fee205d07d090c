// quillane-settings: the settings program. Starts the platform (the registry
// store is reached on demand; the storage manager mounts the cards the
// registry names and the host's removable FAT volumes, each under its
// filters), then runs the application object, whose sheet is the program's
// only window, and unmounts the cards when the sheet has closed.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/afx/win_app.h"
#include "platform/registry/registry.h"
#include "platform/storage/storage_manager.h"

int main(int argc, char** argv) {
    // The settings are the user's own: never another user's store.
    if (std::string why; !platform::RegistryStoreIsCallers(why)) {
        std::fprintf(stderr, "quillane-settings: %s\n", why.c_str());
        return 1;
    }
    std::vector<std::string> messages;
    platform::StorageManager::Instance().MountConfiguredCards(&messages);
    for (const std::string& message : messages) std::fprintf(stderr, "quillane-settings: %s\n", message.c_str());

    const int exit_code = AfxWinMain(argc, argv);

    // Closes what is still open on the cards through their filters.
    platform::StorageManager::Instance().UnmountAll();
    return exit_code;
}
