// Support for the registry store's tests: every test runs against a store of
// its own in a fresh temporary directory (QUILLANE_REGISTRY points there), so
// tests never meet each other's keys or the user's settings. Not for use
// outside tests.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "platform/core/types.h"

namespace platform::registry_test {

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of its scope.
class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // <temp>/store: absent until the first write.
    const std::string& StorePath() const { return store_; }
    const std::string& TempPath() const { return temp_.Path(); }

    // Creates `path` under HKEY_LOCAL_MACHINE and returns the open key.
    HKEY CreateKey(std::u16string_view path, HKEY root = HKEY_LOCAL_MACHINE);

private:
    TempDirectory temp_;
    std::string store_;
    std::string saved_;
    bool had_saved_ = false;
};

// The bytes of `text` and its NUL, as a REG_SZ value holds them.
std::vector<BYTE> TextBytes(std::u16string_view text);

// The whole of a host file, and writing one.
std::vector<BYTE> ReadHostFile(const std::string& path);
void WriteHostFile(const std::string& path, const std::vector<BYTE>& bytes);

// Sets a value and reads it back whole (or records a failure).
void SetValue(HKEY key, std::u16string_view name, DWORD type, const std::vector<BYTE>& data);
LSTATUS QueryValue(HKEY key, std::u16string_view name, std::vector<BYTE>& data, DWORD* type = nullptr);

}  // namespace platform::registry_test
