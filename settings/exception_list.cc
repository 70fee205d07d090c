// Loading and storing the `Exception` value (see exception_list.h).
#include "settings/exception_list.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "platform/registry/registry.h"

namespace quillane {
namespace {

constexpr size_t kValueUnits = kExceptionDataBytes / sizeof(WCHAR);

// Closes the key on every way out.
class OpenKey {
public:
    OpenKey() { status_ = platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKeyPath, 0, 0, &key_); }
    ~OpenKey() {
        if (status_ == ERROR_SUCCESS) platform::RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    LSTATUS status() const { return status_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
    LSTATUS status_;
};

// Text for messages: the registry's error words for a few codes.
std::string RegistryErrorText(LSTATUS status) {
    switch (status) {
        case ERROR_BADDB: return "the registry entry is damaged";
        case ERROR_MORE_DATA: return "it is longer than the 4096 bytes the filter reads";
        default: return "registry error " + std::to_string(status);
    }
}

}  // namespace

std::u16string JoinExceptionItems(std::span<const std::u16string> items) {
    std::u16string text;
    for (const std::u16string& item : items) {
        text += u'.';
        text += item;
    }
    return text;
}

std::vector<std::u16string> SplitExceptionText(std::u16string_view text) {
    std::vector<std::u16string> items;
    const size_t first_dot = text.find(u'.');
    if (first_dot == std::u16string_view::npos) return items;
    std::u16string item;
    for (WCHAR unit : text.substr(first_dot + 1)) {
        if (unit == u'.') {
            items.push_back(item);
            item.clear();
        } else {
            item += unit;
        }
    }
    items.push_back(item);
    return items;
}

DWORD LoadExceptionList(std::vector<std::u16string>& items, std::string* problem, bool* unusable) {
    items.clear();
    std::string ignored;
    std::string& why = problem != nullptr ? *problem : ignored;
    why.clear();
    bool ignored_flag = false;
    bool& cannot_read = unusable != nullptr ? *unusable : ignored_flag;
    cannot_read = false;
    OpenKey key;
    if (key.status() != ERROR_SUCCESS) return static_cast<DWORD>(key.status());

    // Read as the filter reads it: into 4096 bytes of zeros, nothing at all
    // when the value does not fit.
    std::vector<BYTE> data(kExceptionDataBytes, 0);
    DWORD size = kExceptionDataBytes;
    const LSTATUS status =
        platform::RegQueryValueExW(key.get(), kExceptionValueName, nullptr, nullptr, data.data(), &size);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_FILE_NOT_FOUND;
    if (status != ERROR_SUCCESS) {
        cannot_read = true;
        why = "the stored exempt list (registry value Exception) cannot be used: " + RegistryErrorText(status) +
              "; the filter exempts no type until the list is stored again";
        return ERROR_SUCCESS;
    }
    data.resize(size);

    // An odd last byte is the low half of one more unit.
    std::u16string text((data.size() + 1) / sizeof(WCHAR), u'\0');
    std::memcpy(text.data(), data.data(), data.size());
    text.resize(std::min(text.find(u'\0'), text.size()));
    items = SplitExceptionText(text);

    if (size % sizeof(WCHAR) != 0) {
        why = "the stored exempt list (registry value Exception) has an odd length (" + std::to_string(size) +
              " bytes): its last byte is read as half a character";
    } else if (!text.empty() && text[0] != u'.') {
        why = "the stored exempt list (registry value Exception) does not begin with \".\": the filter does not "
              "apply the text before its first \".\"";
    }
    return ERROR_SUCCESS;
}

std::string ExceptionListWarning() {
    std::vector<std::u16string> items;
    std::string problem;
    bool unusable = false;
    LoadExceptionList(items, &problem, &unusable);
    return unusable ? problem : std::string();
}

DWORD StoreExceptionList(std::span<const std::u16string> items) {
    const std::u16string text = JoinExceptionItems(items);
    if (text.size() > kValueUnits) return ERROR_INVALID_PARAMETER;
    std::u16string data(kValueUnits, u'\0');
    std::copy(text.begin(), text.end(), data.begin());

    OpenKey key;
    if (key.status() != ERROR_SUCCESS) return static_cast<DWORD>(key.status());
    return static_cast<DWORD>(platform::RegSetValueExW(key.get(), kExceptionValueName, 0, REG_SZ,
                                                       reinterpret_cast<const BYTE*>(data.data()),
                                                       kExceptionDataBytes));
}

AddVerdict CheckNewItem(std::u16string_view typed, std::span<const std::u16string> listed, std::u16string& item) {
    const size_t first_kept = typed.find_first_not_of(u'.');
    item = first_kept == std::u16string_view::npos ? std::u16string() : std::u16string(typed.substr(first_kept));
    if (item.empty()) return AddVerdict::Empty;
    if (std::find(listed.begin(), listed.end(), item) != listed.end()) return AddVerdict::AlreadyListed;
    if (JoinExceptionItems(listed).size() + 1 + item.size() > kExceptionTextLimit) return AddVerdict::TooLong;
    return AddVerdict::Accepted;
}

}  // namespace quillane
