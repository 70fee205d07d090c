// Support for the storage manager's tests: a fixture with its own registry
// store and card folders on the real disk (under the build folder, not
// /tmp, which may be tmpfs), the registry entries the storage manager reads,
// and the pass-through test filter's counters.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/core/types.h"

namespace platform::storage_test {

// The folder of the test's built libraries (build/lib).
std::string LibraryFolder();

// Call counters of a loaded pass-through filter library. Holding the
// library open keeps its counters alive when a card unloads it.
class FilterCounters {
public:
    explicit FilterCounters(const std::string& library_file);  // e.g. "PassthroughFilter.so"
    ~FilterCounters();
    FilterCounters(const FilterCounters&) = delete;
    FilterCounters& operator=(const FilterCounters&) = delete;

    long Count(const char* entry) const;
    long OpenRecords() const;
    void* Symbol(const char* name) const;

private:
    void* library_;
};

class StorageTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A new, empty card folder on the disk.
    std::string MakeCardFolder(const std::string& name);
    // Registers a filter under ...\FATFS\Filters\<key>.
    void RegisterFilter(const std::u16string& key, const std::u16string& dll, const DWORD* order = nullptr);
    // Registers a card under ...\StorageManager\Cards\<folder>.
    void RegisterCard(const std::u16string& folder, const std::string& host_path);
    // Sets a REG_DWORD value on an HKEY_LOCAL_MACHINE key, creating the key.
    void SetDword(const std::u16string& key, LPCWSTR name, DWORD value);
    void SetString(const std::u16string& key, LPCWSTR name, const std::u16string& value);

    std::string scratch_;
};

// Writes `content` into a new file at `path` through the platform's file API.
bool WriteWholeFile(LPCWSTR path, const std::string& content);
// Reads a file through the platform's file API; false if it cannot be opened.
bool ReadWholeFile(LPCWSTR path, std::string* content);
// Reads a host file directly.
std::string HostFileContent(const std::string& path);

}  // namespace platform::storage_test
