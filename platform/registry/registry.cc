// The platform's registry calls over the host-directory store (see
// registry.h for the contract, store_layout.h for where things lie). Every
// call reads or writes the store itself: another process may change it at any
// moment, so nothing is kept here but the table of open keys.
#include "platform/registry/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>
#include <vector>

#include "platform/core/wide_string.h"
#include "platform/registry/entry_format.h"
#include "platform/registry/key_handles.h"
#include "platform/registry/store_files.h"
#include "platform/registry/store_layout.h"

namespace platform {
namespace {

using registry_store::Entry;
using registry_store::OpenKey;

// The components of a subkey path. Empty components (a leading, trailing or
// doubled "\") name nothing and are passed over.
DWORD SplitSubkey(LPCWSTR subkey, std::vector<std::u16string>& parts) {
    parts.clear();
    if (subkey == nullptr) return ERROR_SUCCESS;
    std::u16string_view rest(subkey);
    while (!rest.empty()) {
        const size_t cut = rest.find(u'\\');
        const std::u16string_view part = rest.substr(0, cut);
        if (part.size() > registry_store::kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
        if (!part.empty()) parts.emplace_back(part);
        if (cut == std::u16string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    return ERROR_SUCCESS;
}

// A null value name is the key's default value, as is the empty name.
std::u16string_view ValueNameOf(LPCWSTR value_name) {
    return value_name != nullptr ? std::u16string_view(value_name) : std::u16string_view();
}

std::string Join(const std::string& directory, const std::string& name) { return directory + "/" + name; }

// Reads an entry file and checks that it belongs where it lies: an entry
// whose name maps to another host name was not written there by the store.
DWORD ReadEntryAt(const std::string& path, const std::string& host_name, bool is_key_name, Entry& entry) {
    std::vector<BYTE> bytes;
    const DWORD error = registry_store::ReadWholeFile(path, bytes);
    if (error != ERROR_SUCCESS) return error;
    if (!registry_store::DecodeEntry(bytes, entry)) return ERROR_BADDB;
    const std::string expected =
        is_key_name ? registry_store::SubkeyHostName(entry.name) : registry_store::ValueHostName(entry.name);
    return expected == host_name ? ERROR_SUCCESS : ERROR_BADDB;
}

DWORD ReadValueEntry(const std::string& key_directory, std::u16string_view value_name, Entry& entry) {
    const std::string host_name = registry_store::ValueHostName(value_name);
    return ReadEntryAt(Join(key_directory, host_name), host_name, false, entry);
}

DWORD ReadSubkeyName(const std::string& key_directory, const std::string& host_name, Entry& entry) {
    return ReadEntryAt(Join(Join(key_directory, host_name), registry_store::kKeyNameFile), host_name, true, entry);
}

// Makes every missing directory of `path`, flushing each parent so that a
// crash cannot lose a directory whose contents were already flushed.
DWORD EnsureDirectoryPath(const std::string& path) {
    const DWORD state = registry_store::CheckDirectory(path);
    if (state != ERROR_FILE_NOT_FOUND) return state;
    const size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (slash != std::string::npos && slash > 0) {
        const DWORD error = EnsureDirectoryPath(parent);
        if (error != ERROR_SUCCESS) return error;
    }
    if (::mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) return registry_store::ErrorFromErrno(errno);
    registry_store::SyncDirectory(parent);
    return registry_store::CheckDirectory(path);
}

// Makes the subkey whole or not at all: its directory is built under a
// temporary name with its name file inside, then renamed into place. When
// another process makes the same key at the same moment, one rename wins and
// the key exists once either way.
DWORD CreateSubkeyDirectory(const std::string& parent, const std::string& host_name, std::u16string_view name,
                            bool& created) {
    created = false;
    std::string temp = Join(parent, ".new-XXXXXX");
    if (::mkdtemp(temp.data()) == nullptr) return registry_store::ErrorFromErrno(errno);
    const std::vector<BYTE> name_entry = registry_store::EncodeEntry(name, REG_NONE, {});
    DWORD error = registry_store::ReplaceFileAtomically(temp, registry_store::kKeyNameFile, name_entry);
    if (error == ERROR_SUCCESS) {
        const std::string target = Join(parent, host_name);
        if (::rename(temp.c_str(), target.c_str()) == 0) {
            created = true;
            return registry_store::SyncDirectory(parent);
        }
        const int rename_error = errno;
        error = (rename_error == EEXIST || rename_error == ENOTEMPTY) ? registry_store::CheckDirectory(target)
                                                                        : registry_store::ErrorFromErrno(rename_error);
    }
    std::error_code ignored;
    std::filesystem::remove_all(temp, ignored);
    return error;
}

DWORD WalkToSubkey(const OpenKey& base, const std::vector<std::u16string>& parts, std::string& directory) {
    directory = base.directory;
    for (const auto& part : parts) {
        directory = Join(directory, registry_store::SubkeyHostName(part));
        const DWORD error = registry_store::CheckDirectory(directory);
        if (error != ERROR_SUCCESS) return error;
    }
    return ERROR_SUCCESS;
}

// One subkey or value found in a key's directory. A damaged one has no
// trustworthy name; it keeps its place in the order so that enumeration
// reports it instead of skipping it.
struct Listed {
    std::string host_name;
    bool intact = false;
    Entry entry;
    std::u16string folded;
};

// The subkeys (kind 'K') or values (kind 'V') of `key`, in the order the
// enumeration calls promise: intact ones by folded name, damaged ones after
// them by host name.
DWORD ListEntries(const OpenKey& key, char kind, std::vector<Listed>& listed) {
    listed.clear();
    std::error_code ec;
    std::filesystem::directory_iterator it(key.directory, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        Listed item;
        item.host_name = it->path().filename().string();
        if (item.host_name.empty() || item.host_name.front() != kind) continue;
        const DWORD error = kind == 'K' ? ReadSubkeyName(key.directory, item.host_name, item.entry)
                                        : ReadEntryAt(Join(key.directory, item.host_name), item.host_name, false,
                                                      item.entry);
        // Gone between listing and reading: another process deleted it. (A
        // subkey directory still there without its name file is damage.)
        struct stat st {};
        if (error == ERROR_FILE_NOT_FOUND && ::lstat(it->path().c_str(), &st) != 0 && errno == ENOENT) continue;
        item.intact = error == ERROR_SUCCESS;
        if (item.intact) item.folded = WideFoldUpper(item.entry.name);
        listed.push_back(std::move(item));
    }
    if (ec) {
        // A root's directory is made on its first write; until then it is empty.
        if (ec.value() == ENOENT && key.is_root) return ERROR_SUCCESS;
        return registry_store::ErrorFromErrno(ec.value());
    }
    std::sort(listed.begin(), listed.end(), [](const Listed& a, const Listed& b) {
        if (a.intact != b.intact) return a.intact;
        if (a.intact && a.folded != b.folded) return a.folded < b.folded;
        return a.host_name < b.host_name;
    });
    return ERROR_SUCCESS;
}

// Whether `name` with its NUL fits a buffer of `*count` units.
bool NameFits(const std::u16string& name, const LPDWORD count) { return name.size() + 1 <= *count; }

// Copies `name` with its NUL and leaves its length, without the NUL, in
// `*count`, as the platform's enumeration calls do.
void CopyName(const std::u16string& name, LPWSTR buffer, LPDWORD count) {
    std::copy(name.begin(), name.end(), buffer);
    buffer[name.size()] = 0;
    *count = static_cast<DWORD>(name.size());
}

FILETIME FileTimeOf(const timespec& t) {
    constexpr std::int64_t kSecondsFrom1601To1970 = 11644473600;
    const std::int64_t ticks = (static_cast<std::int64_t>(t.tv_sec) + kSecondsFrom1601To1970) * 10000000 +
                               static_cast<std::int64_t>(t.tv_nsec) / 100;
    const auto unsigned_ticks = static_cast<std::uint64_t>(ticks);
    return FILETIME{static_cast<DWORD>(unsigned_ticks), static_cast<DWORD>(unsigned_ticks >> 32)};
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, LPCWSTR subkey, DWORD /*options*/, REGSAM /*access*/, PHKEY result) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    const auto base = registry_store::LookupKey(key);
    if (!base) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> parts;
    DWORD error = SplitSubkey(subkey, parts);
    if (error != ERROR_SUCCESS) return error;
    std::string directory;
    error = WalkToSubkey(*base, parts, directory);
    if (error != ERROR_SUCCESS) return error;
    *result = registry_store::RegisterKey(OpenKey{directory, parts.empty() && base->is_root});
    return ERROR_SUCCESS;
}

LSTATUS RegCreateKeyExW(HKEY key, LPCWSTR subkey, DWORD /*reserved*/, LPWSTR /*class_name*/, DWORD /*options*/,
                        REGSAM /*access*/, LPSECURITY_ATTRIBUTES /*security*/, PHKEY result, LPDWORD disposition) {
    if (result == nullptr) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    const auto base = registry_store::LookupKey(key);
    if (!base) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> parts;
    DWORD error = SplitSubkey(subkey, parts);
    if (error != ERROR_SUCCESS) return error;
    // Only a root is made on demand: an open subkey whose directory is gone
    // was deleted, and writing under it must not bring it back.
    if (base->is_root) {
        error = EnsureDirectoryPath(base->directory);
        if (error != ERROR_SUCCESS) return error;
    }
    std::string directory = base->directory;
    bool created_last = false;
    for (const auto& part : parts) {
        const std::string host_name = registry_store::SubkeyHostName(part);
        const std::string child = Join(directory, host_name);
        created_last = false;
        error = registry_store::CheckDirectory(child);
        if (error == ERROR_FILE_NOT_FOUND) error = CreateSubkeyDirectory(directory, host_name, part, created_last);
        if (error != ERROR_SUCCESS) return error;
        directory = child;
    }
    *result = registry_store::RegisterKey(OpenKey{directory, parts.empty() && base->is_root});
    if (disposition != nullptr) *disposition = created_last ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
}

LSTATUS RegQueryValueExW(HKEY key, LPCWSTR value_name, LPDWORD reserved, LPDWORD type, BYTE* data, LPDWORD size) {
    const auto open_key = registry_store::LookupKey(key);
    if (!open_key) return ERROR_INVALID_HANDLE;
    if (reserved != nullptr || (data != nullptr && size == nullptr)) return ERROR_INVALID_PARAMETER;
    const std::u16string_view name = ValueNameOf(value_name);
    if (name.size() > registry_store::kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;
    Entry entry;
    const DWORD error = ReadValueEntry(open_key->directory, name, entry);
    if (error != ERROR_SUCCESS) return error;

    const auto needed = static_cast<DWORD>(entry.data.size());
    if (type != nullptr) *type = entry.type;
    if (data == nullptr) {
        if (size != nullptr) *size = needed;
        return ERROR_SUCCESS;
    }
    if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
    }
    std::copy(entry.data.begin(), entry.data.end(), data);
    *size = needed;
    return ERROR_SUCCESS;
}

LSTATUS RegSetValueExW(HKEY key, LPCWSTR value_name, DWORD reserved, DWORD type, const BYTE* data, DWORD size) {
    const auto open_key = registry_store::LookupKey(key);
    if (!open_key) return ERROR_INVALID_HANDLE;
    if (reserved != 0 || (data == nullptr && size != 0)) return ERROR_INVALID_PARAMETER;
    const std::u16string_view name = ValueNameOf(value_name);
    if (name.size() > registry_store::kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;
    // Leaves room for the header and name, so that whatever is written can
    // be read back.
    if (size > registry_store::kMaxEntryFileBytes / 2) return ERROR_INVALID_PARAMETER;
    if (open_key->is_root) {
        const DWORD error = EnsureDirectoryPath(open_key->directory);
        if (error != ERROR_SUCCESS) return error;
    }
    // A value keeps the spelling of its name from when it was first set.
    std::u16string stored_name(name);
    Entry existing;
    if (ReadValueEntry(open_key->directory, name, existing) == ERROR_SUCCESS) stored_name = existing.name;
    const std::vector<BYTE> bytes =
        registry_store::EncodeEntry(stored_name, type, std::span<const BYTE>(data, data != nullptr ? size : 0));
    return registry_store::ReplaceFileAtomically(open_key->directory, registry_store::ValueHostName(name), bytes);
}

LSTATUS RegDeleteValueW(HKEY key, LPCWSTR value_name) {
    const auto open_key = registry_store::LookupKey(key);
    if (!open_key) return ERROR_INVALID_HANDLE;
    const std::u16string_view name = ValueNameOf(value_name);
    if (name.size() > registry_store::kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;
    const std::string path = Join(open_key->directory, registry_store::ValueHostName(name));
    if (::unlink(path.c_str()) != 0) return registry_store::ErrorFromErrno(errno);
    return registry_store::SyncDirectory(open_key->directory);
}

LSTATUS RegDeleteKeyW(HKEY key, LPCWSTR subkey) {
    const auto base = registry_store::LookupKey(key);
    if (!base) return ERROR_INVALID_HANDLE;
    std::vector<std::u16string> parts;
    DWORD error = SplitSubkey(subkey, parts);
    if (error != ERROR_SUCCESS) return error;
    if (parts.empty()) return ERROR_INVALID_PARAMETER;
    std::string target;
    error = WalkToSubkey(*base, parts, target);
    if (error != ERROR_SUCCESS) return error;
    const std::string parent = target.substr(0, target.find_last_of('/'));

    // The key leaves its place in one rename, so no reader meets half a
    // tree; what a crash leaves behind under ".del-" is never read as a key.
    std::string trash = Join(parent, ".del-XXXXXX");
    if (::mkdtemp(trash.data()) == nullptr) return registry_store::ErrorFromErrno(errno);
    if (::rename(target.c_str(), trash.c_str()) != 0) {
        const int rename_error = errno;
        ::rmdir(trash.c_str());
        return registry_store::ErrorFromErrno(rename_error);
    }
    error = registry_store::SyncDirectory(parent);
    std::error_code ignored;
    std::filesystem::remove_all(trash, ignored);
    return error;
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_size, LPDWORD reserved, LPWSTR class_name,
                      LPDWORD class_size, LPFILETIME last_write) {
    const auto open_key = registry_store::LookupKey(key);
    if (!open_key) return ERROR_INVALID_HANDLE;
    if (name == nullptr || name_size == nullptr || reserved != nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<Listed> listed;
    const DWORD error = ListEntries(*open_key, 'K', listed);
    if (error != ERROR_SUCCESS) return error;
    if (index >= listed.size()) return ERROR_NO_MORE_ITEMS;
    const Listed& item = listed[index];
    if (!item.intact) return ERROR_BADDB;
    if (!NameFits(item.entry.name, name_size)) {
        *name_size = static_cast<DWORD>(item.entry.name.size() + 1);
        return ERROR_MORE_DATA;
    }
    CopyName(item.entry.name, name, name_size);
    // Keys carry no class.
    if (class_size != nullptr) {
        if (class_name != nullptr && *class_size > 0) class_name[0] = 0;
        *class_size = 0;
    }
    if (last_write != nullptr) {
        struct stat st {};
        *last_write = ::stat(Join(open_key->directory, item.host_name).c_str(), &st) == 0 ? FileTimeOf(st.st_mtim)
                                                                                            : FILETIME{0, 0};
    }
    return ERROR_SUCCESS;
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, LPWSTR name, LPDWORD name_size, LPDWORD reserved, LPDWORD type,
                      BYTE* data, LPDWORD data_size) {
    const auto open_key = registry_store::LookupKey(key);
    if (!open_key) return ERROR_INVALID_HANDLE;
    if (name == nullptr || name_size == nullptr || reserved != nullptr || (data != nullptr && data_size == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    std::vector<Listed> listed;
    const DWORD error = ListEntries(*open_key, 'V', listed);
    if (error != ERROR_SUCCESS) return error;
    if (index >= listed.size()) return ERROR_NO_MORE_ITEMS;
    const Listed& item = listed[index];
    if (!item.intact) return ERROR_BADDB;

    const auto needed = static_cast<DWORD>(item.entry.data.size());
    const bool name_fits = NameFits(item.entry.name, name_size);
    const bool data_fits = data == nullptr || *data_size >= needed;
    if (type != nullptr) *type = item.entry.type;
    if (!name_fits || !data_fits) {
        if (!name_fits) *name_size = static_cast<DWORD>(item.entry.name.size() + 1);
        if (data_size != nullptr) *data_size = needed;
        return ERROR_MORE_DATA;
    }
    CopyName(item.entry.name, name, name_size);
    if (data != nullptr) std::copy(item.entry.data.begin(), item.entry.data.end(), data);
    if (data_size != nullptr) *data_size = needed;
    return ERROR_SUCCESS;
}

LSTATUS RegCloseKey(HKEY key) { return registry_store::ForgetKey(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE; }

}  // namespace platform
