// Tests of the registry store against damage on the host: entry files cut
// short, changed, replaced or left half-written by a crash. Every case must
// give ERROR_BADDB or the old value, never a crash or wrong data.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "platform/registry/registry.h"
#include "platform/registry/test_store.h"

namespace platform::registry_test {
namespace {

class RegistryDamageTest : public RegistryTest {
protected:
    // The host layout (see store_layout.h): key "Test" under the local
    // machine root, its values "Data" and "Other", its subkeys.
    std::string KeyDirectory() const { return StorePath() + "/HKEY_LOCAL_MACHINE/KTEST"; }
    std::string DataFile() const { return KeyDirectory() + "/VDATA"; }
};

const std::vector<BYTE> kData = TextBytes(u"the stored text");

TEST_F(RegistryDamageTest, DamagedValueFilesGiveBadDb) {
    struct Case {
        const char* what;
        std::function<void(std::vector<BYTE>&)> damage;
    } cases[] = {
        {"emptied", [](std::vector<BYTE>& b) { b.clear(); }},
        {"cut inside the header", [](std::vector<BYTE>& b) { b.resize(7); }},
        {"cut after the header", [](std::vector<BYTE>& b) { b.resize(20); }},
        {"last byte missing", [](std::vector<BYTE>& b) { b.pop_back(); }},
        {"a byte too many", [](std::vector<BYTE>& b) { b.push_back(0); }},
        {"magic changed", [](std::vector<BYTE>& b) { b[0] ^= 0x01; }},
        {"type changed", [](std::vector<BYTE>& b) { b[4] ^= 0x02; }},
        {"name length changed", [](std::vector<BYTE>& b) { b[8] += 1; }},
        {"data length grown", [](std::vector<BYTE>& b) { b[14] = 0xFF; }},
        {"checksum changed", [](std::vector<BYTE>& b) { b[16] ^= 0x80; }},
        {"name changed", [](std::vector<BYTE>& b) { b[20] ^= 0x20; }},
        {"data changed", [](std::vector<BYTE>& b) { b[b.size() - 5] ^= 0x01; }},
        {"all zeros", [](std::vector<BYTE>& b) { std::fill(b.begin(), b.end(), 0); }},
    };
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"Other", REG_SZ, TextBytes(u"untouched"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SetValue(key, u"Data", REG_SZ, kData);
        std::vector<BYTE> bytes = ReadHostFile(DataFile());
        ASSERT_FALSE(bytes.empty());
        c.damage(bytes);
        WriteHostFile(DataFile(), bytes);

        BYTE buffer[64];
        DWORD size = sizeof buffer;
        EXPECT_EQ(RegQueryValueExW(key, u"Data", nullptr, nullptr, buffer, &size), ERROR_BADDB);
        EXPECT_EQ(RegQueryValueExW(key, u"Data", nullptr, nullptr, nullptr, &size), ERROR_BADDB);
        WCHAR name[16];
        DWORD count = 16;
        // Damaged entries keep a place, after the intact ones.
        EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
        EXPECT_EQ(std::u16string(name), u"Other");
        count = 16;
        EXPECT_EQ(RegEnumValueW(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_BADDB);
        std::vector<BYTE> other;
        EXPECT_EQ(QueryValue(key, u"Other", other), ERROR_SUCCESS);
        EXPECT_EQ(other, TextBytes(u"untouched"));
    }
    // Writing the value again repairs it, and so does deleting it.
    SetValue(key, u"Data", REG_SZ, kData);
    std::vector<BYTE> data;
    EXPECT_EQ(QueryValue(key, u"Data", data), ERROR_SUCCESS);
    EXPECT_EQ(data, kData);
    WriteHostFile(DataFile(), {1, 2, 3});
    EXPECT_EQ(RegDeleteValueW(key, u"Data"), ERROR_SUCCESS);
    EXPECT_EQ(QueryValue(key, u"Data", data), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

// An intact entry in the wrong place (copied or renamed on the host) is not
// the value asked for.
TEST_F(RegistryDamageTest, AnEntryUnderAnotherNameIsBadDb) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"Other", REG_SZ, TextBytes(u"other"));
    std::filesystem::copy_file(KeyDirectory() + "/VOTHER", DataFile());
    std::vector<BYTE> data;
    EXPECT_EQ(QueryValue(key, u"Data", data), ERROR_BADDB);
    RegCloseKey(key);
}

TEST_F(RegistryDamageTest, SomethingElseWhereAnEntryBelongsIsBadDb) {
    HKEY key = CreateKey(u"Test");
    ASSERT_TRUE(std::filesystem::create_directory(DataFile()));
    std::vector<BYTE> data;
    EXPECT_EQ(QueryValue(key, u"Data", data), ERROR_BADDB);
    EXPECT_EQ(RegDeleteValueW(key, u"Data"), ERROR_BADDB);

    // A file where a subkey's directory belongs.
    WriteHostFile(KeyDirectory() + "/KSUB", {1, 2, 3});
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, u"Sub", 0, 0, &sub), ERROR_BADDB);
    EXPECT_EQ(RegCreateKeyExW(key, u"Sub\\Deeper", 0, nullptr, 0, 0, nullptr, &sub, nullptr), ERROR_BADDB);
    EXPECT_EQ(sub, nullptr);
    RegCloseKey(key);
}

TEST_F(RegistryDamageTest, ADamagedKeyNameGivesBadDbInEnumerationOnly) {
    HKEY key = CreateKey(u"Test");
    RegCloseKey(CreateKey(u"Test\\Good"));
    RegCloseKey(CreateKey(u"Test\\Bad"));
    RegCloseKey(CreateKey(u"Test\\Gone"));
    const std::string bad_name_file = KeyDirectory() + "/KBAD/N";
    std::vector<BYTE> bytes = ReadHostFile(bad_name_file);
    bytes.back() ^= 0x01;
    WriteHostFile(bad_name_file, bytes);
    std::filesystem::remove(KeyDirectory() + "/KGONE/N");

    WCHAR name[16];
    DWORD count = 16;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"Good");
    count = 16;
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_BADDB);
    count = 16;
    EXPECT_EQ(RegEnumKeyExW(key, 2, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_BADDB);
    count = 16;
    EXPECT_EQ(RegEnumKeyExW(key, 3, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);

    // The keys themselves still open and hold values; their names were only
    // needed for enumeration.
    HKEY bad = nullptr;
    ASSERT_EQ(RegOpenKeyExW(key, u"Bad", 0, 0, &bad), ERROR_SUCCESS);
    SetValue(bad, u"V", REG_DWORD, {1, 0, 0, 0});
    RegCloseKey(bad);
    EXPECT_EQ(RegDeleteKeyW(key, u"Bad"), ERROR_SUCCESS);
    RegCloseKey(key);
}

// A crash leaves a half-written temporary file beside the value, a key
// directory being built, or a deleted tree not yet removed: none of them is
// ever seen, and the old value stays.
TEST_F(RegistryDamageTest, WhatACrashLeavesBehindIsNeverRead) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"Data", REG_SZ, kData);
    std::vector<BYTE> partial = ReadHostFile(DataFile());
    partial.resize(partial.size() / 2);
    WriteHostFile(KeyDirectory() + "/.tmp-AbC123", partial);
    std::filesystem::create_directory(KeyDirectory() + "/.new-AbC123");
    std::filesystem::create_directory(KeyDirectory() + "/.del-AbC123");
    WriteHostFile(KeyDirectory() + "/.del-AbC123/N", {1, 2, 3});

    std::vector<BYTE> data;
    EXPECT_EQ(QueryValue(key, u"Data", data), ERROR_SUCCESS);
    EXPECT_EQ(data, kData);
    WCHAR name[16];
    DWORD count = 16;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    count = 16;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    count = 16;
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

// A write that fails part way (here: the host refuses a file beyond a size
// limit) leaves the old value and no temporary file.
TEST_F(RegistryDamageTest, AFailedWriteKeepsTheOldValue) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"Data", REG_SZ, kData);
    const pid_t child = ::fork();
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{64, 64};
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(2);
        const std::vector<BYTE> large(4096, 0x55);
        const LSTATUS status = RegSetValueExW(key, u"Data", 0, REG_BINARY, large.data(), 4096);
        ::_exit(status == ERROR_DISK_FULL ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::vector<BYTE> data;
    DWORD type = 0;
    EXPECT_EQ(QueryValue(key, u"Data", data, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(data, kData);
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(KeyDirectory())) {
        entries.push_back(entry.path().filename().string());
    }
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string>{"N", "VDATA"}));
    RegCloseKey(key);
}

}  // namespace
}  // namespace platform::registry_test
