// Loading and storing the `Exception` value (see exception_list.h).
#include "settings/exception_list.h"

#include <algorithm>
#include <cstring>

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

// The value's data as the platform hands it over with a byte count of 4096:
// its first 4096 bytes. The store copies nothing into a buffer too small for
// the whole value, so a longer value (never written here) is read whole and
// its beginning kept.
LSTATUS ReadValueStart(HKEY key, std::vector<BYTE>& data) {
    data.assign(kExceptionDataBytes, 0);
    DWORD size = kExceptionDataBytes;
    LSTATUS status = platform::RegQueryValueExW(key, kExceptionValueName, nullptr, nullptr, data.data(), &size);
    if (status == ERROR_MORE_DATA) {
        data.assign(size, 0);
        status = platform::RegQueryValueExW(key, kExceptionValueName, nullptr, nullptr, data.data(), &size);
    }
    if (status != ERROR_SUCCESS) {
        data.clear();
        return status;
    }
    data.resize(std::min<size_t>(size, kExceptionDataBytes));
    return ERROR_SUCCESS;
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
    if (text.empty()) return items;
    std::u16string item;
    for (WCHAR unit : text.substr(1)) {
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

DWORD LoadExceptionList(std::vector<std::u16string>& items) {
    items.clear();
    OpenKey key;
    if (key.status() != ERROR_SUCCESS) return static_cast<DWORD>(key.status());
    std::vector<BYTE> data;
    const LSTATUS status = ReadValueStart(key.get(), data);
    if (status != ERROR_SUCCESS) return static_cast<DWORD>(status);

    // Read into zeros, as the platform reads it: an odd last byte is the low
    // half of one more unit.
    std::u16string text((data.size() + 1) / sizeof(WCHAR), u'\0');
    std::memcpy(text.data(), data.data(), data.size());
    text.resize(std::min(text.find(u'\0'), text.size()));
    items = SplitExceptionText(text);
    return ERROR_SUCCESS;
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
