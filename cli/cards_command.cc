// `quillane cards [list | add NAME PATH | remove NAME]`: the cards the
// registry names, HKLM\System\StorageManager\Cards\<NAME> with the REG_SZ
// value HostPath, which the settings program mounts when it starts and
// `quillane mount NAME MOUNTPOINT` serves. Only the registry changes: a
// card's folder is never touched.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "cli/arguments.h"
#include "cli/command.h"
#include "cli/messages.h"
#include "platform/core/utf.h"
#include "platform/registry/registry.h"
#include "platform/storage/storage_config.h"

namespace quillane::cli {
namespace {

constexpr char16_t kCardsKey[] = u"System\\StorageManager\\Cards";

// A card's name is one key name: a folder name of the storage manager.
bool ValidName(const std::string& name, std::u16string* wide) {
    return !name.empty() && name.size() <= 255 && name.find('\\') == std::string::npos &&
           platform::Utf8ToUtf16(name, *wide);
}

int List(const Command& self) {
    std::vector<platform::storage::CardEntry> cards;
    bool discover = true;
    std::vector<std::string> messages;
    const DWORD error = platform::storage::ReadCardEntries(&cards, &discover, &messages);
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND) {
        return Fail(self, "cannot read the cards: " + PlatformErrorText(error));
    }
    for (const auto& card : cards) {
        std::printf("%s\t%s\n", platform::Utf8FromUtf16Lossy(card.folder_name).c_str(), card.host_path.c_str());
    }
    for (const std::string& message : messages) PrintError(self, message);
    return messages.empty() ? kExitSuccess : kExitFailure;
}

int Add(const Command& self, const std::string& name, const std::string& path) {
    std::u16string wide_name;
    if (!ValidName(name, &wide_name)) return UsageError(self, "NAME must be a folder name without \\: " + Quoted(name));
    char resolved[PATH_MAX];
    struct stat status {};
    if (::realpath(path.c_str(), resolved) == nullptr || ::stat(resolved, &status) != 0) {
        return Fail(self, path + ": " + HostErrorText(errno));
    }
    if (!S_ISDIR(status.st_mode)) return Fail(self, path + ": is not a folder");
    std::u16string wide_path;
    if (!platform::Utf8ToUtf16(resolved, wide_path)) return Fail(self, path + ": the path is not valid UTF-8");

    const std::u16string key_name = std::u16string(kCardsKey) + u"\\" + wide_name;
    HKEY existing = nullptr;
    if (platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key_name.c_str(), 0, 0, &existing) == ERROR_SUCCESS) {
        platform::RegCloseKey(existing);
        return Fail(self, "a card named " + Quoted(name) + " is registered already; 'quillane cards remove " + name +
                              "' first");
    }
    HKEY key = nullptr;
    LSTATUS status_code = platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_name.c_str(), 0, nullptr, 0, 0, nullptr,
                                                    &key, nullptr);
    if (status_code == ERROR_SUCCESS) {
        status_code = platform::RegSetValueExW(key, u"HostPath", 0, REG_SZ,
                                               reinterpret_cast<const BYTE*>(wide_path.c_str()),
                                               static_cast<DWORD>((wide_path.size() + 1) * sizeof(char16_t)));
        platform::RegCloseKey(key);
    }
    if (status_code != ERROR_SUCCESS) {
        return Fail(self, "cannot register the card in " + platform::RegistryStorePath() + ": " +
                              PlatformErrorText(status_code));
    }
    std::printf("card %s is %s\n", name.c_str(), resolved);
    return kExitSuccess;
}

int Remove(const Command& self, const std::string& name) {
    std::u16string wide_name;
    if (!ValidName(name, &wide_name)) return UsageError(self, "NAME must be a folder name without \\: " + Quoted(name));
    HKEY cards = nullptr;
    LSTATUS status = platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kCardsKey, 0, 0, &cards);
    if (status == ERROR_SUCCESS) {
        status = platform::RegDeleteKeyW(cards, wide_name.c_str());
        platform::RegCloseKey(cards);
    }
    if (status == ERROR_FILE_NOT_FOUND) return Fail(self, "no card named " + Quoted(name) + " is registered");
    if (status != ERROR_SUCCESS) return Fail(self, "cannot remove the card: " + PlatformErrorText(status));
    return kExitSuccess;
}

int RunCards(const Command& self, Arguments arguments) {
    const std::optional<ParsedArguments> parsed = ParseArguments(self, arguments);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    const std::vector<std::string>& words = parsed->operands;
    const std::string action = words.empty() ? "list" : words[0];
    if (action == "list") {
        if (words.size() > 1) return UsageError(self, "list takes no arguments");
        return List(self);
    }
    if (action == "add") {
        if (words.size() != 3) return UsageError(self, "add needs NAME and PATH");
        return Add(self, words[1], words[2]);
    }
    if (action == "remove") {
        if (words.size() != 2) return UsageError(self, "remove needs NAME");
        return Remove(self, words[1]);
    }
    return UsageError(self, "unknown action " + Quoted(action));
}

}  // namespace

const Command kCardsCommand{
    "cards", "cards [list | add NAME PATH | remove NAME]", "name card folders for the settings program",
    "Lists, adds or removes the cards the registry names (the key\n"
    "HKLM\\System\\StorageManager\\Cards\\NAME, value HostPath): the settings\n"
    "program mounts each of them when it starts, and 'quillane mount NAME\n"
    "MOUNTPOINT' serves one by its name. PATH must be a folder; it is stored\n"
    "as an absolute path. list (the default) prints NAME, a tab and the path.\n",
    RunCards};

}  // namespace quillane::cli
