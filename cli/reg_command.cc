// `quillane reg query KEY [VALUE]` shows what the registry store holds under
// one key, its values with their types and its subkeys, so a user can see
// what the filter, the storage manager and the settings program read;
// `reg set` and `reg delete` change one value or remove a key.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "cli/arguments.h"
#include "cli/command.h"
#include "cli/messages.h"
#include "platform/core/utf.h"
#include "platform/core/wide_string.h"
#include "platform/registry/registry.h"

namespace quillane::cli {
namespace {

struct Root {
    const char* short_name;
    const char* long_name;
    HKEY key;
};
const Root kRoots[] = {
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
};

// An open key, closed when it goes out of scope.
class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() {
        if (key_ != nullptr) platform::RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY* Out() { return &key_; }
    HKEY Get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

bool SameNoCase(std::string_view a, std::string_view b) {
    return platform::WideCompareNoCase(platform::Utf16FromUtf8Lossy(a), platform::Utf16FromUtf8Lossy(b)) == 0;
}

std::string TypeName(DWORD type) {
    switch (type) {
        case REG_NONE: return "REG_NONE";
        case REG_SZ: return "REG_SZ";
        case REG_BINARY: return "REG_BINARY";
        case REG_DWORD: return "REG_DWORD";
        default: return "type " + std::to_string(type);
    }
}

std::string Hex(const std::vector<BYTE>& data) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const BYTE byte : data) {
        if (!text.empty()) text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text.empty() ? "(no data)" : text;
}

std::string ShowData(DWORD type, const std::vector<BYTE>& data) {
    if (type == REG_SZ) {
        std::u16string text;
        for (size_t i = 0; i + 1 < data.size(); i += 2) {
            const auto unit = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
            if (unit == 0) break;
            text += unit;
        }
        return platform::Utf8FromUtf16Lossy(text);
    }
    if (type == REG_DWORD && data.size() == 4) {
        const DWORD number = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
        char text[40];
        std::snprintf(text, sizeof text, "%u (0x%08x)", number, number);
        return text;
    }
    return Hex(data);
}

void PrintValue(std::u16string_view name, DWORD type, const std::vector<BYTE>& data) {
    const std::string shown_name = name.empty() ? "(Default)" : platform::Utf8FromUtf16Lossy(name);
    std::printf("    %-12s %s [%zu bytes]  %s\n", shown_name.c_str(), TypeName(type).c_str(), data.size(),
                ShowData(type, data).c_str());
}

// The whole of one named value.
LSTATUS QueryValue(HKEY key, const std::u16string& name, DWORD* type, std::vector<BYTE>& data) {
    for (;;) {
        DWORD size = static_cast<DWORD>(data.size());
        const LSTATUS status =
            platform::RegQueryValueExW(key, name.c_str(), nullptr, type, data.empty() ? nullptr : data.data(), &size);
        if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && data.empty() && size > 0)) {
            data.resize(size);
            continue;
        }
        if (status == ERROR_SUCCESS) data.resize(size);
        return status;
    }
}

// Prints every value of `key`; false when one of them is damaged.
bool PrintValues(HKEY key) {
    bool sound = true;
    for (DWORD index = 0;; ++index) {
        std::vector<WCHAR> name(16384);
        DWORD name_size = static_cast<DWORD>(name.size());
        DWORD type = REG_NONE;
        DWORD data_size = 0;
        LSTATUS status =
            platform::RegEnumValueW(key, index, name.data(), &name_size, nullptr, &type, nullptr, &data_size);
        if (status == ERROR_NO_MORE_ITEMS) return sound;
        if (status != ERROR_SUCCESS) {
            std::printf("    (entry %u unreadable: %s)\n", index, PlatformErrorText(status).c_str());
            sound = false;
            continue;
        }
        const std::u16string value_name(name.data(), name_size);
        std::vector<BYTE> data;
        status = QueryValue(key, value_name, &type, data);
        if (status != ERROR_SUCCESS) {
            std::printf("    %s (unreadable: %s)\n", platform::Utf8FromUtf16Lossy(value_name).c_str(),
                        PlatformErrorText(status).c_str());
            sound = false;
            continue;
        }
        PrintValue(value_name, type, data);
    }
}

// Prints the full name of every subkey of `key`; false when one is damaged.
bool PrintSubkeys(HKEY key, const std::string& key_name) {
    bool sound = true;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD name_size = 256;
        const LSTATUS status =
            platform::RegEnumKeyExW(key, index, name, &name_size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) return sound;
        if (status != ERROR_SUCCESS) {
            std::printf("%s\\(subkey %u unreadable: %s)\n", key_name.c_str(), index, PlatformErrorText(status).c_str());
            sound = false;
            continue;
        }
        std::printf("%s\\%s\n", key_name.c_str(),
                    platform::Utf8FromUtf16Lossy(std::u16string_view(name, name_size)).c_str());
    }
}

// A KEY of the command line: its root, its path below the root and its
// full name for messages.
struct KeyName {
    const Root* root = nullptr;
    std::u16string path;
    std::string full;
};

// Reads KEY ("HKLM\\Path\\To\\Key"); on a wrong one prints the usage error
// and gives nothing.
std::optional<KeyName> ParseKey(const Command& self, const std::string& whole) {
    const size_t split = whole.find('\\');
    const std::string root_name = whole.substr(0, split);
    std::string path = split == std::string::npos ? std::string() : whole.substr(split + 1);
    while (!path.empty() && path.back() == '\\') path.pop_back();
    KeyName key;
    for (const Root& candidate : kRoots) {
        if (SameNoCase(root_name, candidate.short_name) || SameNoCase(root_name, candidate.long_name)) {
            key.root = &candidate;
        }
    }
    if (key.root == nullptr) {
        UsageError(self, "KEY must start with HKLM\\ or HKEY_LOCAL_MACHINE\\ (or HKCU\\), not " + Quoted(whole));
        return std::nullopt;
    }
    if (!platform::Utf8ToUtf16(path, key.path)) {
        UsageError(self, "KEY is not valid UTF-8");
        return std::nullopt;
    }
    key.full = std::string(key.root->long_name) + (path.empty() ? "" : "\\" + path);
    return key;
}

int RunQuery(const Command& self, const std::vector<std::string>& operands) {
    if (operands.size() < 2 || operands.size() > 3) return UsageError(self, "query needs KEY and at most one VALUE");
    const std::optional<KeyName> parsed_key = ParseKey(self, operands[1]);
    if (!parsed_key) return kExitUsage;
    const Root* const root = parsed_key->root;
    const std::u16string& wide_path = parsed_key->path;
    const std::string& key_name = parsed_key->full;

    OpenKey key;
    const LSTATUS status = platform::RegOpenKeyExW(root->key, wide_path.c_str(), 0, 0, key.Out());
    if (status == ERROR_FILE_NOT_FOUND) {
        return Fail(self, "no key " + key_name + " in the registry store " + platform::RegistryStorePath());
    }
    if (status != ERROR_SUCCESS) return Fail(self, key_name + ": " + PlatformErrorText(status));

    if (operands.size() == 3) {
        std::u16string value_name;
        if (!platform::Utf8ToUtf16(operands[2], value_name)) return UsageError(self, "VALUE is not valid UTF-8");
        DWORD type = REG_NONE;
        std::vector<BYTE> data;
        const LSTATUS value_status = QueryValue(key.Get(), value_name, &type, data);
        if (value_status == ERROR_FILE_NOT_FOUND) {
            return Fail(self, "no value " + Quoted(operands[2]) + " under " + key_name);
        }
        if (value_status != ERROR_SUCCESS) return Fail(self, operands[2] + ": " + PlatformErrorText(value_status));
        std::printf("%s\n", key_name.c_str());
        PrintValue(value_name, type, data);
        return kExitSuccess;
    }
    std::printf("%s\n", key_name.c_str());
    const bool values_sound = PrintValues(key.Get());
    const bool subkeys_sound = PrintSubkeys(key.Get(), key_name);
    if (!values_sound || !subkeys_sound) return Fail(self, key_name + ": some entries are damaged");
    return kExitSuccess;
}

// `set KEY VALUE TYPE DATA`: creates KEY as needed and stores VALUE as
// REG_SZ text or a REG_DWORD number (decimal or 0x hexadecimal).
int RunSet(const Command& self, const std::vector<std::string>& operands) {
    if (operands.size() != 5) return UsageError(self, "set needs KEY, VALUE, TYPE and DATA");
    const std::optional<KeyName> key_name = ParseKey(self, operands[1]);
    if (!key_name) return kExitUsage;
    if (key_name->path.empty()) return UsageError(self, "set needs a key below " + std::string(key_name->root->long_name));
    std::u16string value_name;
    if (!platform::Utf8ToUtf16(operands[2], value_name)) return UsageError(self, "VALUE is not valid UTF-8");
    const std::string& type_name = operands[3];
    const std::string& text = operands[4];
    std::vector<BYTE> data;
    DWORD type = REG_NONE;
    if (SameNoCase(type_name, "REG_SZ")) {
        type = REG_SZ;
        std::u16string wide;
        if (!platform::Utf8ToUtf16(text, wide)) return UsageError(self, "DATA is not valid UTF-8");
        for (const char16_t unit : wide) {
            data.push_back(static_cast<BYTE>(unit & 0xff));
            data.push_back(static_cast<BYTE>(unit >> 8));
        }
        data.push_back(0);
        data.push_back(0);
    } else if (SameNoCase(type_name, "REG_DWORD")) {
        type = REG_DWORD;
        char* end = nullptr;
        errno = 0;
        const unsigned long long number = std::strtoull(text.c_str(), &end, 0);
        if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || number > 0xffffffffULL) {
            return UsageError(self, "DATA of a REG_DWORD must be a number from 0 to 4294967295, not " + Quoted(text));
        }
        for (int shift = 0; shift < 32; shift += 8) data.push_back(static_cast<BYTE>(number >> shift));
    } else {
        return UsageError(self, "TYPE must be REG_SZ or REG_DWORD, not " + Quoted(type_name));
    }
    OpenKey key;
    LSTATUS status = platform::RegCreateKeyExW(key_name->root->key, key_name->path.c_str(), 0, nullptr, 0, 0, nullptr,
                                               key.Out(), nullptr);
    if (status == ERROR_SUCCESS) {
        status = platform::RegSetValueExW(key.Get(), value_name.c_str(), 0, type, data.data(),
                                          static_cast<DWORD>(data.size()));
    }
    if (status != ERROR_SUCCESS) return Fail(self, key_name->full + ": " + PlatformErrorText(status));
    return kExitSuccess;
}

// `delete KEY [VALUE]`: removes VALUE, or KEY with everything below it.
int RunDelete(const Command& self, const std::vector<std::string>& operands) {
    if (operands.size() < 2 || operands.size() > 3) return UsageError(self, "delete needs KEY and at most one VALUE");
    const std::optional<KeyName> key_name = ParseKey(self, operands[1]);
    if (!key_name) return kExitUsage;
    LSTATUS status;
    if (operands.size() == 3) {
        std::u16string value_name;
        if (!platform::Utf8ToUtf16(operands[2], value_name)) return UsageError(self, "VALUE is not valid UTF-8");
        OpenKey key;
        status = platform::RegOpenKeyExW(key_name->root->key, key_name->path.c_str(), 0, 0, key.Out());
        if (status == ERROR_SUCCESS) status = platform::RegDeleteValueW(key.Get(), value_name.c_str());
        if (status == ERROR_FILE_NOT_FOUND) {
            return Fail(self, "no value " + Quoted(operands[2]) + " under " + key_name->full);
        }
    } else {
        if (key_name->path.empty()) return UsageError(self, "delete needs a key below " + std::string(key_name->root->long_name));
        status = platform::RegDeleteKeyW(key_name->root->key, key_name->path.c_str());
        if (status == ERROR_FILE_NOT_FOUND) return Fail(self, "no key " + key_name->full);
    }
    if (status != ERROR_SUCCESS) return Fail(self, key_name->full + ": " + PlatformErrorText(status));
    return kExitSuccess;
}

int RunReg(const Command& self, Arguments arguments) {
    const std::optional<ParsedArguments> parsed = ParseArguments(self, arguments);
    if (!parsed) return kExitUsage;
    if (parsed->help) return ShowHelp(self);
    if (parsed->operands.empty()) return UsageError(self, "needs an action: query, set or delete");
    const std::string& action = parsed->operands[0];
    if (action == "query") return RunQuery(self, parsed->operands);
    if (action == "set") return RunSet(self, parsed->operands);
    if (action == "delete") return RunDelete(self, parsed->operands);
    return UsageError(self, "unknown action " + Quoted(action));
}

}  // namespace

const Command kRegCommand{
    "reg", "reg [query KEY [VALUE] | set KEY VALUE TYPE DATA | delete KEY [VALUE]]",
    "show or change what the registry store holds",
    "Shows the values of KEY with their types and sizes (REG_SZ as text up to\n"
    "its first NUL, REG_DWORD as a number, anything else as hex bytes), then\n"
    "its subkeys; with VALUE, only that value. KEY starts with HKLM\\ or\n"
    "HKEY_LOCAL_MACHINE\\, e.g.\n"
    "  quillane reg query 'HKLM\\System\\StorageManager\\FATFS\\Filters\\Quillane'\n"
    "set stores VALUE under KEY (made as needed); TYPE is REG_SZ (DATA is text)\n"
    "or REG_DWORD (DATA a number, decimal or 0x...). delete removes VALUE, or\n"
    "without it KEY and everything below it.\n"
    "The registry store is QUILLANE_REGISTRY, else ~/.config/quillane/registry.\n",
    RunReg};

}  // namespace quillane::cli
