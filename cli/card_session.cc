// A host folder mounted as a card for one command (see card_session.h).
#include "cli/card_session.h"

#include <sys/stat.h>

#include <cerrno>

#include "cli/messages.h"
#include "platform/registry/registry.h"
#include "platform/storage/storage_manager.h"
#include "settings/exception_list.h"

namespace quillane::cli {

DWORD EnsureFilterInstalled(bool* installed) {
    *installed = false;
    HKEY key = nullptr;
    // The key alone is not enough: the settings program may have made it for
    // the Exception value, and a key without Dll stacks no filter, so the
    // card would be walked raw and nothing compressed.
    if (platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKeyPath, 0, 0, &key) == ERROR_SUCCESS) {
        DWORD size = 0;
        const LSTATUS status = platform::RegQueryValueExW(key, u"Dll", nullptr, nullptr, nullptr, &size);
        platform::RegCloseKey(key);
        if (status == ERROR_SUCCESS && size > sizeof(WCHAR)) return ERROR_SUCCESS;
    }
    const DWORD error = platform::InstallFilter();
    *installed = error == ERROR_SUCCESS;
    return error;
}

std::unique_ptr<CardSession> CardSession::Open(const std::string& host_dir, std::string* error, bool* installed) {
    struct stat status {};
    if (::stat(host_dir.c_str(), &status) != 0) {
        *error = host_dir + ": " + HostErrorText(errno);
        return nullptr;
    }
    if (!S_ISDIR(status.st_mode)) {
        *error = host_dir + ": is not a folder";
        return nullptr;
    }
    if (std::string why; !platform::RegistryStoreIsCallers(why)) {
        *error = why;
        return nullptr;
    }
    if (const DWORD install_error = EnsureFilterInstalled(installed); install_error != ERROR_SUCCESS) {
        *error = "cannot install the filter in the registry store " + platform::RegistryStorePath() + ": " +
                 PlatformErrorText(install_error);
        return nullptr;
    }
    // Two storage managers on one card would each think they alone hold its
    // files: the card's lock, taken in MountCard, refuses a second server.
    std::string why;
    const DWORD mount_error = platform::StorageManager::Instance().MountCard(kFolderName, host_dir, &why);
    if (mount_error != ERROR_SUCCESS) {
        *error = why.empty() ? "cannot mount " + host_dir + ": " + PlatformErrorText(mount_error) : why;
        return nullptr;
    }
    return std::unique_ptr<CardSession>(new CardSession(host_dir));
}

CardSession::~CardSession() { platform::StorageManager::Instance().UnmountCard(kFolderName); }

}  // namespace quillane::cli
