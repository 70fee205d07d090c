// Reading the storage manager's registry keys, and the installation step
// that writes the filter's key (see storage_config.h, storage_manager.h).
#include "platform/storage/storage_config.h"

#include <algorithm>

#include "platform/core/utf.h"
#include "platform/core/wide_string.h"
#include "platform/registry/registry.h"
#include "platform/storage/storage_manager.h"

namespace platform {
namespace storage {
namespace {

constexpr WCHAR kFiltersKey[] = u"System\\StorageManager\\FATFS\\Filters";
constexpr WCHAR kCardsKey[] = u"System\\StorageManager\\Cards";

class OpenKey {
public:
    OpenKey() = default;
    ~OpenKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    LSTATUS Open(HKEY parent, LPCWSTR subkey) { return RegOpenKeyExW(parent, subkey, 0, 0, &key_); }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

std::string Text(std::u16string_view text) { return Utf8FromUtf16Lossy(text); }

std::string Describe(LSTATUS status) { return "registry error " + std::to_string(status); }

// A REG_SZ value without its terminating NULs. ERROR_FILE_NOT_FOUND when
// absent, ERROR_INVALID_DATA when of another type.
LSTATUS ReadString(HKEY key, LPCWSTR name, std::u16string* out) {
    DWORD type = REG_NONE;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ) return ERROR_INVALID_DATA;
    std::u16string text(size / sizeof(WCHAR) + 1, u'\0');
    status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    if (status != ERROR_SUCCESS) return status;
    text.resize(std::min<size_t>(size / sizeof(WCHAR), WideLength(text.c_str())));
    *out = std::move(text);
    return ERROR_SUCCESS;
}

// A REG_DWORD value; `*out` is left alone when the value is absent.
LSTATUS ReadDword(HKEY key, LPCWSTR name, DWORD* out) {
    DWORD type = REG_NONE;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (status == ERROR_MORE_DATA) return ERROR_INVALID_DATA;
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_DWORD || size != sizeof(value)) return ERROR_INVALID_DATA;
    *out = value;
    return ERROR_SUCCESS;
}

LSTATUS SubkeyNames(HKEY key, std::vector<std::u16string>* names) {
    for (DWORD index = 0;; ++index) {
        std::u16string name(256, u'\0');
        DWORD size = static_cast<DWORD>(name.size());
        LSTATUS status = RegEnumKeyExW(key, index, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) {
            name.assign(size, u'\0');
            status = RegEnumKeyExW(key, index, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
        }
        if (status == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
        if (status != ERROR_SUCCESS) return status;
        name.resize(WideLength(name.c_str()));
        names->push_back(std::move(name));
    }
}

}  // namespace

DWORD ReadFilterEntries(std::vector<FilterEntry>* filters, std::string* message) {
    filters->clear();
    OpenKey root;
    LSTATUS status = root.Open(HKEY_LOCAL_MACHINE, kFiltersKey);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) {
        *message = "cannot read the filter list HKEY_LOCAL_MACHINE\\" + Text(kFiltersKey) + ": " + Describe(status);
        return status;
    }
    std::vector<std::u16string> names;
    if ((status = SubkeyNames(root.get(), &names)) != ERROR_SUCCESS) {
        *message = "cannot list the filters under HKEY_LOCAL_MACHINE\\" + Text(kFiltersKey) + ": " + Describe(status);
        return status;
    }
    for (const std::u16string& name : names) {
        const std::string where = "filter " + Text(name);
        OpenKey key;
        if ((status = key.Open(root.get(), name.c_str())) != ERROR_SUCCESS) {
            *message = where + ": cannot open its key: " + Describe(status);
            return status;
        }
        FilterEntry entry{name, {}, 0};
        status = ReadString(key.get(), u"Dll", &entry.dll);
        if (status == ERROR_FILE_NOT_FOUND) continue;
        if (status != ERROR_SUCCESS) {
            *message = where + ": its Dll value cannot be read as text: " + Describe(status);
            return status;
        }
        status = ReadDword(key.get(), u"Order", &entry.order);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            *message = where + ": its Order value is not a DWORD: " + Describe(status);
            return status;
        }
        filters->push_back(std::move(entry));
    }
    // The registry lists keys by folded name already; the sort only has to
    // bring the orders in and keep that order among equals.
    std::stable_sort(filters->begin(), filters->end(),
                     [](const FilterEntry& a, const FilterEntry& b) { return a.order < b.order; });
    return ERROR_SUCCESS;
}

DWORD ReadCardEntries(std::vector<CardEntry>* cards, bool* discover_removable, std::vector<std::string>* messages) {
    cards->clear();
    *discover_removable = true;
    OpenKey root;
    LSTATUS status = root.Open(HKEY_LOCAL_MACHINE, kCardsKey);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) {
        messages->push_back("cannot read the card list HKEY_LOCAL_MACHINE\\" + Text(kCardsKey) + ": " +
                            Describe(status));
        return status;
    }
    DWORD discover = 1;
    if (ReadDword(root.get(), u"DiscoverRemovable", &discover) == ERROR_SUCCESS) *discover_removable = discover != 0;

    std::vector<std::u16string> names;
    if ((status = SubkeyNames(root.get(), &names)) != ERROR_SUCCESS) {
        messages->push_back("cannot list the cards: " + Describe(status));
        return status;
    }
    DWORD result = ERROR_SUCCESS;
    for (const std::u16string& name : names) {
        OpenKey key;
        std::u16string host;
        status = key.Open(root.get(), name.c_str());
        if (status == ERROR_SUCCESS) status = ReadString(key.get(), u"HostPath", &host);
        std::string host_path;
        if (status == ERROR_SUCCESS && (host.empty() || !Utf16ToUtf8(host, host_path))) status = ERROR_INVALID_DATA;
        if (status != ERROR_SUCCESS) {
            messages->push_back("card " + Text(name) + ": no usable HostPath value: " + Describe(status));
            if (result == ERROR_SUCCESS) result = status;
            continue;
        }
        cards->push_back(CardEntry{name, std::move(host_path)});
    }
    return result;
}

}  // namespace storage

DWORD InstallFilter(std::u16string_view dll) {
    const std::u16string key_name = std::u16string(storage::kFiltersKey) + u"\\Quillane";
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, key_name.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, 0,
                                     nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    const std::u16string value(dll);
    status = RegSetValueExW(key, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                            static_cast<DWORD>((value.size() + 1) * sizeof(WCHAR)));
    RegCloseKey(key);
    return status;
}

}  // namespace platform
