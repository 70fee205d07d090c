// Test helper for the settings tests: a private registry store in a fresh
// temporary folder with the filter's key made (as installing the filter
// makes it), and raw access to the `Exception` value as another writer or
// reader would see it. Used by the exception list, sheet and conversion
// tests; header-only, no test framework.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/registry/registry.h"
#include "settings/exception_list.h"

class TestRegistry {
public:
    // Points QUILLANE_REGISTRY at a new empty store holding the filter's key.
    TestRegistry() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillane-settings-registry-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) store_ = pattern;
        ::setenv("QUILLANE_REGISTRY", store_.c_str(), 1);
        HKEY key = nullptr;
        key_made_ = platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, quillane::kFilterKeyPath, 0, nullptr, 0, 0,
                                              nullptr, &key, nullptr) == ERROR_SUCCESS;
        if (key_made_) platform::RegCloseKey(key);
    }
    ~TestRegistry() {
        if (!store_.empty()) std::filesystem::remove_all(store_);
    }
    TestRegistry(const TestRegistry&) = delete;
    TestRegistry& operator=(const TestRegistry&) = delete;

    bool ready() const { return !store_.empty() && key_made_; }
    const std::string& path() const { return store_; }

    // Writes the value's data exactly as given.
    bool PutException(const std::u16string& units, DWORD type = REG_SZ) const {
        HKEY key = nullptr;
        if (platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, quillane::kFilterKeyPath, 0, 0, &key) != ERROR_SUCCESS) {
            return false;
        }
        const LSTATUS status =
            platform::RegSetValueExW(key, quillane::kExceptionValueName, 0, type,
                                     reinterpret_cast<const BYTE*>(units.data()),
                                     static_cast<DWORD>(units.size() * sizeof(WCHAR)));
        platform::RegCloseKey(key);
        return status == ERROR_SUCCESS;
    }

    // The value's whole data, or nothing when the key or value is missing.
    std::optional<std::u16string> ExceptionData(DWORD* type = nullptr) const {
        HKEY key = nullptr;
        if (platform::RegOpenKeyExW(HKEY_LOCAL_MACHINE, quillane::kFilterKeyPath, 0, 0, &key) != ERROR_SUCCESS) {
            return std::nullopt;
        }
        std::u16string units(8192, u'\0');
        DWORD size = static_cast<DWORD>(units.size() * sizeof(WCHAR));
        const LSTATUS status = platform::RegQueryValueExW(key, quillane::kExceptionValueName, nullptr, type,
                                                          reinterpret_cast<BYTE*>(units.data()), &size);
        platform::RegCloseKey(key);
        if (status != ERROR_SUCCESS) return std::nullopt;
        units.resize(size / sizeof(WCHAR));
        return units;
    }

    // The stored text: the data up to its first NUL.
    std::optional<std::u16string> ExceptionText() const {
        std::optional<std::u16string> data = ExceptionData();
        if (data) data->resize(std::min(data->find(u'\0'), data->size()));
        return data;
    }

private:
    std::string store_;
    bool key_made_ = false;
};
