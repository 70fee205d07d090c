// Support for the registry store's tests (see test_store.h).
#include "platform/registry/test_store.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/registry/registry.h"

namespace platform::registry_test {

TempDirectory::TempDirectory() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != 0 ? base : "/tmp") + "/quillane-reg-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "cannot make a temporary directory";
        return;
    }
    path_ = pattern;
}

TempDirectory::~TempDirectory() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void RegistryTest::SetUp() {
    ASSERT_FALSE(temp_.Path().empty());
    store_ = temp_.Path() + "/store";
    if (const char* old = std::getenv("QUILLANE_REGISTRY")) {
        saved_ = old;
        had_saved_ = true;
    }
    ::setenv("QUILLANE_REGISTRY", store_.c_str(), 1);
}

void RegistryTest::TearDown() {
    if (had_saved_) {
        ::setenv("QUILLANE_REGISTRY", saved_.c_str(), 1);
    } else {
        ::unsetenv("QUILLANE_REGISTRY");
    }
}

HKEY RegistryTest::CreateKey(std::u16string_view path, HKEY root) {
    const std::u16string subkey(path);
    HKEY key = nullptr;
    EXPECT_EQ(RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, 0, nullptr, &key, nullptr), ERROR_SUCCESS);
    return key;
}

std::vector<BYTE> TextBytes(std::u16string_view text) {
    std::vector<BYTE> bytes;
    for (const char16_t unit : text) {
        bytes.push_back(static_cast<BYTE>(unit & 0xFF));
        bytes.push_back(static_cast<BYTE>(unit >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<BYTE> ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.good()) << path;
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteHostFile(const std::string& path, const std::vector<BYTE>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    EXPECT_TRUE(out.good()) << path;
}

void SetValue(HKEY key, std::u16string_view name, DWORD type, const std::vector<BYTE>& data) {
    const std::u16string value_name(name);
    EXPECT_EQ(RegSetValueExW(key, value_name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
}

LSTATUS QueryValue(HKEY key, std::u16string_view name, std::vector<BYTE>& data, DWORD* type) {
    const std::u16string value_name(name);
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key, value_name.c_str(), nullptr, type, nullptr, &size);
    if (status != ERROR_SUCCESS) return status;
    data.assign(size, 0);
    status = RegQueryValueExW(key, value_name.c_str(), nullptr, type, data.data(), &size);
    data.resize(size);
    return status;
}

}  // namespace platform::registry_test
