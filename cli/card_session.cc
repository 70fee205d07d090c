// A host folder mounted as a card for one command (see card_session.h).
#include "cli/card_session.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>
#include <cerrno>
#include <fstream>
#include <string_view>

#include "cli/messages.h"
#include "platform/registry/registry.h"
#include "platform/storage/storage_manager.h"
#include "settings/exception_list.h"

namespace quillane::cli {
namespace {

// A field of /proc/self/mounts, with its octal escapes (\040 for a space)
// decoded.
std::string DecodeMountField(std::string_view field) {
    std::string text;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string_view::npos) {
                text += static_cast<char>(std::stoi(std::string(digits), nullptr, 8));
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

}  // namespace

std::string QuillaneMountPointOf(const std::string& host_dir) {
    char resolved[PATH_MAX];
    if (::realpath(host_dir.c_str(), resolved) == nullptr) return {};
    std::ifstream mounts("/proc/self/mounts");
    std::string source, mount_point, type, rest;
    while (mounts >> source >> mount_point >> type && std::getline(mounts, rest)) {
        if (type == "fuse.quillane" && DecodeMountField(source) == resolved) return DecodeMountField(mount_point);
    }
    return {};
}

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
    // Two storage managers on one card would each think they alone hold its
    // files: a file open through the mount could be replaced under it.
    if (const std::string mount_point = QuillaneMountPointOf(host_dir); !mount_point.empty()) {
        *error = host_dir + ": is mounted at " + mount_point + "; unmount it first (fusermount3 -u " +
                 Quoted(mount_point) + ")";
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
