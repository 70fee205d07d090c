// Tests of the registry calls in one process: values, names, results and
// handles, each test against a store of its own.
#include "platform/registry/registry.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "platform/registry/test_store.h"

namespace platform::registry_test {
namespace {

constexpr char16_t kFilterKey[] = u"System\\StorageManager\\FATFS\\Filters\\Quillane";

std::vector<std::u16string> SubkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD count = 256;
        const LSTATUS status = RegEnumKeyExW(key, index, name, &count, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(status, ERROR_SUCCESS);
        if (status != ERROR_SUCCESS) break;
        names.emplace_back(name, count);
    }
    return names;
}

std::vector<std::u16string> ValueNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256];
        DWORD count = 256;
        const LSTATUS status = RegEnumValueW(key, index, name, &count, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_NO_MORE_ITEMS) break;
        EXPECT_EQ(status, ERROR_SUCCESS);
        if (status != ERROR_SUCCESS) break;
        names.emplace_back(name, count);
    }
    return names;
}

TEST_F(RegistryTest, ValuesComeBackWithTheirTypeAndBytes) {
    struct Case {
        const char16_t* name;
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {u"Text", REG_SZ, TextBytes(u"hello")},
        {u"Number", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
        {u"Blob", REG_BINARY, {0x00, 0xFF, 0x00, 0x7F, 0x80}},
        {u"Empty", REG_BINARY, {}},
        {u"Odd type", 0x12345678u, {1, 2, 3}},
    };
    HKEY key = CreateKey(u"Test");
    for (const auto& c : cases) SetValue(key, c.name, c.type, c.data);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name)));
        DWORD type = 0;
        DWORD size = 0xDEAD;
        ASSERT_EQ(RegQueryValueExW(key, c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(size, c.data.size());
        std::vector<BYTE> data;
        ASSERT_EQ(QueryValue(key, c.name, data, &type), ERROR_SUCCESS);
        EXPECT_EQ(data, c.data);
    }
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
}

TEST_F(RegistryTest, RewritingReplacesDataAndType) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"V", REG_SZ, TextBytes(u"a much longer first text"));
    SetValue(key, u"V", REG_DWORD, {1, 0, 0, 0});
    std::vector<BYTE> data;
    DWORD type = 0;
    ASSERT_EQ(QueryValue(key, u"V", data, &type), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(data, (std::vector<BYTE>{1, 0, 0, 0}));
    RegCloseKey(key);
}

// The value the settings program writes and the filter reads on every close.
TEST_F(RegistryTest, ExceptionValueOfTheFilterKeyRoundTrips) {
    HKEY created = CreateKey(kFilterKey);
    RegCloseKey(created);

    std::array<WCHAR, 2048> stored{};
    const std::u16string text = u".wmv.mp3";
    std::copy(text.begin(), text.end(), stored.begin());
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKey, 0, 0, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExW(key, u"Exception", 0, REG_SZ, reinterpret_cast<const BYTE*>(stored.data()), 4096),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);

    std::array<WCHAR, 4096> list{};
    DWORD type = 0;
    DWORD size = 4096;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKey, 0, 0, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegQueryValueExW(key, u"Exception", nullptr, &type, reinterpret_cast<BYTE*>(list.data()), &size),
              ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, 4096u);
    EXPECT_EQ(std::u16string(list.data()), text);
    EXPECT_TRUE(std::equal(stored.begin(), stored.end(), list.begin()));
    EXPECT_TRUE(std::all_of(list.begin() + 2048, list.end(), [](WCHAR c) { return c == 0; }));
}

TEST_F(RegistryTest, KeyNamesIgnoreCaseAndKeepTheirSpelling) {
    RegCloseKey(CreateKey(kFilterKey));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"SYSTEM\\storagemanager\\FatFs\\FILTERS\\quillane", 0, 0, &key),
              ERROR_SUCCESS);
    SetValue(key, u"Exception", REG_SZ, TextBytes(u".wmv"));
    RegCloseKey(key);

    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"system\\STORAGEMANAGER", 0, nullptr, 0, 0, nullptr, &key,
                              &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(SubkeyNames(key), (std::vector<std::u16string>{u"FATFS"}));
    RegCloseKey(key);
    EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE), (std::vector<std::u16string>{u"System"}));
}

TEST_F(RegistryTest, ValueNamesIgnoreCaseAndKeepTheirFirstSpelling) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"Exception", REG_SZ, TextBytes(u"one"));
    SetValue(key, u"EXCEPTION", REG_SZ, TextBytes(u"two"));
    std::vector<BYTE> data;
    ASSERT_EQ(QueryValue(key, u"exception", data), ERROR_SUCCESS);
    EXPECT_EQ(data, TextBytes(u"two"));
    EXPECT_EQ(ValueNames(key), (std::vector<std::u16string>{u"Exception"}));
    RegCloseKey(key);
}

TEST_F(RegistryTest, CreateMakesMissingParentsAndReportsWhetherTheKeyIsNew) {
    HKEY key = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"A\\B\\C", 0, nullptr, 0, 0, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    RegCloseKey(key);
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, u"a\\b\\c", 0, nullptr, 0, 0, nullptr, &key, &disposition),
              ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
    RegCloseKey(key);
    for (const char16_t* path : {u"A", u"A\\B", u"A\\B\\C", u"\\A\\\\B\\"}) {
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, 0, &key), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // The two roots are separate trees.
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"A", 0, 0, &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, CreateBelowAnOpenKey) {
    HKEY parent = CreateKey(u"Parent");
    HKEY child = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(parent, u"Child", 0, nullptr, 0, 0, nullptr, &child, &disposition), ERROR_SUCCESS);
    EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
    SetValue(child, u"V", REG_DWORD, {7, 0, 0, 0});
    RegCloseKey(child);
    RegCloseKey(parent);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"parent\\child", 0, 0, &child), ERROR_SUCCESS);
    std::vector<BYTE> data;
    EXPECT_EQ(QueryValue(child, u"v", data), ERROR_SUCCESS);
    RegCloseKey(child);
}

TEST_F(RegistryTest, MissingKeysAndValuesAreNotFound) {
    HKEY key = reinterpret_cast<HKEY>(0x1);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKey, 0, 0, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    // Reading an empty store does not make it.
    EXPECT_FALSE(std::filesystem::exists(StorePath()));
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExW(HKEY_LOCAL_MACHINE, u"Exception", nullptr, nullptr, nullptr, &size),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Nothing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(HKEY_LOCAL_MACHINE, u"Nothing"), ERROR_FILE_NOT_FOUND);
    WCHAR name[16];
    DWORD count = 16;
    EXPECT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, &count, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_FALSE(std::filesystem::exists(StorePath()));

    key = CreateKey(u"Test");
    EXPECT_TRUE(std::filesystem::is_directory(StorePath()));
    EXPECT_EQ(RegQueryValueExW(key, u"Exception", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    HKEY sub = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, u"Missing", 0, 0, &sub), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, ShortBufferGetsTheSizeNeededAndNothingCopied) {
    HKEY key = CreateKey(u"Test");
    std::vector<BYTE> value(100);
    for (size_t i = 0; i < value.size(); ++i) value[i] = static_cast<BYTE>(i + 1);
    SetValue(key, u"V", REG_BINARY, value);

    struct Case {
        DWORD capacity;
        LSTATUS status;
    } cases[] = {{0, ERROR_MORE_DATA}, {10, ERROR_MORE_DATA}, {99, ERROR_MORE_DATA}, {100, ERROR_SUCCESS},
                 {300, ERROR_SUCCESS}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::vector<BYTE> buffer(300, 0xAA);
        DWORD size = c.capacity;
        DWORD type = 0;
        EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, &type, buffer.data(), &size), c.status);
        EXPECT_EQ(size, 100u);
        EXPECT_EQ(type, REG_BINARY);
        if (c.status == ERROR_SUCCESS) {
            EXPECT_TRUE(std::equal(value.begin(), value.end(), buffer.begin()));
            EXPECT_EQ(buffer[100], 0xAA);
        } else {
            EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](BYTE b) { return b == 0xAA; }));
        }
    }
    RegCloseKey(key);
}

TEST_F(RegistryTest, NullDataReportsTheSize) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"V", REG_SZ, TextBytes(u"abc"));
    DWORD size = 0;
    DWORD type = 0;
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(type, REG_SZ);
    // Asking for nothing at all is a valid question about existence.
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, nullptr, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, NullAndEmptyNamesAreTheDefaultValue) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"", REG_SZ, TextBytes(u"default"));
    std::vector<BYTE> data(32);
    DWORD size = 32;
    ASSERT_EQ(RegQueryValueExW(key, nullptr, nullptr, nullptr, data.data(), &size), ERROR_SUCCESS);
    data.resize(size);
    EXPECT_EQ(data, TextBytes(u"default"));
    EXPECT_EQ(ValueNames(key), (std::vector<std::u16string>{u""}));
    EXPECT_EQ(RegDeleteValueW(key, nullptr), ERROR_SUCCESS);
    EXPECT_EQ(QueryValue(key, u"", data), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, KeysThatAreNotOpenAreRefusedWithoutHarm) {
    HKEY closed = CreateKey(u"Test");
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    const HKEY bogus[] = {nullptr, closed, reinterpret_cast<HKEY>(0x1234), reinterpret_cast<HKEY>(0x80000003u),
                          INVALID_HANDLE_VALUE, reinterpret_cast<HKEY>(&closed)};
    for (const HKEY key : bogus) {
        SCOPED_TRACE(reinterpret_cast<std::uintptr_t>(key));
        HKEY result = nullptr;
        DWORD size = 4;
        BYTE data[4] = {};
        WCHAR name[16];
        DWORD count = 16;
        EXPECT_EQ(RegOpenKeyExW(key, u"Test", 0, 0, &result), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCreateKeyExW(key, u"Test", 0, nullptr, 0, 0, nullptr, &result, nullptr), ERROR_INVALID_HANDLE);
        EXPECT_EQ(result, nullptr);
        EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, data, &size), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegSetValueExW(key, u"V", 0, REG_BINARY, data, 4), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteValueW(key, u"V"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegDeleteKeyW(key, u"Test"), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    }
    // Nothing was written through any of them.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Test", 0, 0, &key), ERROR_SUCCESS);
    EXPECT_TRUE(ValueNames(key).empty());
    RegCloseKey(key);
}

TEST_F(RegistryTest, ClosingTwiceRefusesTheSecondAndRootsStayOpen) {
    HKEY key = CreateKey(u"Test");
    HKEY again = CreateKey(u"Test");
    EXPECT_NE(key, again);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
    // Another handle to the same key is not affected.
    SetValue(again, u"V", REG_DWORD, {1, 0, 0, 0});
    EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Test", 0, 0, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, NullWhereRequiredIsAnInvalidParameter) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"V", REG_DWORD, {1, 0, 0, 0});
    BYTE data[4];
    DWORD size = 4;
    DWORD reserved = 0;
    WCHAR name[16];
    DWORD count = 16;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Test", 0, 0, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Test", 0, nullptr, 0, 0, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"V", nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(key, u"V", &reserved, nullptr, data, &size), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"V", 0, REG_BINARY, nullptr, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegSetValueExW(key, u"V", 1, REG_BINARY, data, 4), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, nullptr), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"\\"), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, nullptr, &count, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumKeyExW(HKEY_LOCAL_MACHINE, 0, name, nullptr, nullptr, nullptr, nullptr, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, nullptr, data, nullptr), ERROR_INVALID_PARAMETER);
    // A set with no data and no size stores an empty value.
    EXPECT_EQ(RegSetValueExW(key, u"Empty", 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    std::vector<BYTE> value;
    EXPECT_EQ(QueryValue(key, u"Empty", value), ERROR_SUCCESS);
    EXPECT_TRUE(value.empty());
    RegCloseKey(key);
}

TEST_F(RegistryTest, NamesBeyondTheLimitsAreRefused) {
    const std::u16string longest_key(255, u'k');
    HKEY key = CreateKey(longest_key);
    RegCloseKey(key);
    HKEY result = nullptr;
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, std::u16string(256, u'k').c_str(), 0, nullptr, 0, 0, nullptr,
                              &result, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE), (std::vector<std::u16string>{longest_key}));

    key = CreateKey(u"Test");
    const BYTE data[1] = {1};
    EXPECT_EQ(RegSetValueExW(key, std::u16string(16383, u'v').c_str(), 0, REG_BINARY, data, 1), ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, std::u16string(16384, u'v').c_str(), 0, REG_BINARY, data, 1),
              ERROR_INVALID_PARAMETER);
    RegCloseKey(key);
}

// Long names end in a hash on the host; names that share a long start must
// stay apart.
TEST_F(RegistryTest, LongNamesThatDifferOnlyAtTheEndAreDistinct) {
    const std::u16string stem(254, u'\u65E5');
    const std::u16string first = stem + u"A";
    const std::u16string second = stem + u"B";
    RegCloseKey(CreateKey(first));
    RegCloseKey(CreateKey(second));
    EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE), (std::vector<std::u16string>{first, second}));
    HKEY key = CreateKey(u"Test");
    SetValue(key, first, REG_DWORD, {1, 0, 0, 0});
    SetValue(key, second, REG_DWORD, {2, 0, 0, 0});
    std::vector<BYTE> data;
    ASSERT_EQ(QueryValue(key, first, data), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 1);
    ASSERT_EQ(QueryValue(key, second, data), ERROR_SUCCESS);
    EXPECT_EQ(data[0], 2);
    RegCloseKey(key);
}

TEST_F(RegistryTest, NonAsciiNamesRoundTripAndFoldBeyondAscii) {
    struct Case {
        std::u16string spelled;
        std::u16string other_case;
    } cases[] = {
        {u"Café", u"CAFÉ"},
        {u"Ελληνικά", u"ΕΛΛΗΝΙΚΆ"},
        {u"Кириллица", u"кИРИЛЛИЦА"},
        {u"日本語", u"日本語"},
        {u"Clef \U0001D11E", u"CLEF \U0001D11E"},
        {u"ÿes", u"ŸES"},
    };
    HKEY key = CreateKey(u"Test");
    for (const auto& c : cases) {
        HKEY sub = CreateKey(u"Test\\" + c.spelled);
        SetValue(sub, c.spelled, REG_SZ, TextBytes(c.spelled));
        RegCloseKey(sub);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.other_case));
        HKEY sub = nullptr;
        ASSERT_EQ(RegOpenKeyExW(key, c.other_case.c_str(), 0, 0, &sub), ERROR_SUCCESS);
        std::vector<BYTE> data;
        ASSERT_EQ(QueryValue(sub, c.other_case, data), ERROR_SUCCESS);
        EXPECT_EQ(data, TextBytes(c.spelled));
        EXPECT_EQ(ValueNames(sub), (std::vector<std::u16string>{c.spelled}));
        RegCloseKey(sub);
    }
    EXPECT_EQ(SubkeyNames(key).size(), std::size(cases));
    RegCloseKey(key);
}

// Names are the registry's, not the host's: separators, dots, escapes and
// lone surrogates are ordinary characters and never reach outside the store.
TEST_F(RegistryTest, NamesThatMeanSomethingToTheHostAreOrdinary) {
    const std::u16string names[] = {u"..", u".", u"a/b", u"/", u"%0041", u"A", u"~", u"N", u"V",
                                    u".tmp-1", std::u16string(1, u'\xD800'), std::u16string(1, u'\xDC00')};
    HKEY key = CreateKey(u"Test");
    for (const auto& name : names) {
        HKEY sub = nullptr;
        DWORD disposition = 0;
        ASSERT_EQ(RegCreateKeyExW(key, name.c_str(), 0, nullptr, 0, 0, nullptr, &sub, &disposition), ERROR_SUCCESS);
        EXPECT_EQ(disposition, REG_CREATED_NEW_KEY) << testing::PrintToString(name);
        RegCloseKey(sub);
        SetValue(key, name, REG_SZ, TextBytes(name));
    }
    EXPECT_EQ(SubkeyNames(key).size(), std::size(names));
    EXPECT_EQ(ValueNames(key).size(), std::size(names));
    for (const auto& name : names) {
        std::vector<BYTE> data;
        ASSERT_EQ(QueryValue(key, name, data), ERROR_SUCCESS);
        EXPECT_EQ(data, TextBytes(name));
    }
    RegCloseKey(key);
    // Only the store itself appeared in its parent directory.
    std::vector<std::string> entries;
    for (const auto& entry : std::filesystem::directory_iterator(TempPath())) {
        entries.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(entries, (std::vector<std::string>{"store"}));
}

TEST_F(RegistryTest, EnumerationIsOrderedByFoldedName) {
    HKEY key = CreateKey(u"Test");
    for (const char16_t* name : {u"beta", u"Alpha", u"GAMMA", u"delta"}) {
        RegCloseKey(CreateKey(std::u16string(u"Test\\") + name));
        SetValue(key, name, REG_DWORD, {0, 0, 0, 0});
    }
    const std::vector<std::u16string> expected = {u"Alpha", u"beta", u"delta", u"GAMMA"};
    EXPECT_EQ(SubkeyNames(key), expected);
    EXPECT_EQ(ValueNames(key), expected);
    RegCloseKey(key);
}

TEST_F(RegistryTest, EnumeratingSubkeysWithShortNameBuffers) {
    HKEY key = CreateKey(u"Test");
    RegCloseKey(CreateKey(u"Test\\Quillane"));
    WCHAR name[16] = {u'x'};
    FILETIME written{0, 0};
    DWORD class_size = 5;
    WCHAR class_name[5] = {u'c'};

    DWORD count = 8;  // "Quillane" needs 9 with its NUL
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    EXPECT_EQ(count, 9u);
    EXPECT_EQ(name[0], u'x');
    EXPECT_EQ(RegEnumKeyExW(key, 0, name, &count, nullptr, class_name, &class_size, &written), ERROR_SUCCESS);
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(std::u16string(name), u"Quillane");
    EXPECT_EQ(class_size, 0u);
    EXPECT_EQ(class_name[0], 0);
    EXPECT_NE(written.dwHighDateTime, 0u);
    count = 16;
    EXPECT_EQ(RegEnumKeyExW(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, EnumeratingValuesWithShortBuffers) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"Exception", REG_SZ, TextBytes(u".wmv"));
    WCHAR name[16] = {u'x'};
    BYTE data[16] = {0xAA};
    DWORD type = 0;

    struct Case {
        DWORD name_capacity;
        DWORD data_capacity;
        LSTATUS status;
        DWORD name_count_after;
    } cases[] = {
        {9, 16, ERROR_MORE_DATA, 10},   // the name does not fit
        {10, 9, ERROR_MORE_DATA, 10},   // the data does not fit
        {10, 10, ERROR_SUCCESS, 9},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name_capacity * 100 + c.data_capacity);
        DWORD count = c.name_capacity;
        DWORD size = c.data_capacity;
        EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, &type, data, &size), c.status);
        EXPECT_EQ(count, c.name_count_after);
        EXPECT_EQ(size, 10u);
        EXPECT_EQ(type, REG_SZ);
        if (c.status == ERROR_SUCCESS) {
            EXPECT_EQ(std::u16string(name), u"Exception");
            EXPECT_TRUE(std::equal(data, data + 10, TextBytes(u".wmv").begin()));
        } else {
            EXPECT_EQ(name[0], u'x');
            EXPECT_EQ(data[0], 0xAA);
        }
    }
    DWORD count = 16;
    DWORD size = 0;
    EXPECT_EQ(RegEnumValueW(key, 0, name, &count, nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, 10u);
    count = 16;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &count, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DeletingAKeyRemovesEverythingBelowIt) {
    HKEY deep = CreateKey(u"Top\\Middle\\Bottom");
    SetValue(deep, u"V", REG_DWORD, {1, 0, 0, 0});
    HKEY middle = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Top\\Middle", 0, 0, &middle), ERROR_SUCCESS);
    RegCloseKey(CreateKey(u"Keep"));

    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"top"), ERROR_SUCCESS);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Top", 0, 0, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SubkeyNames(HKEY_LOCAL_MACHINE), (std::vector<std::u16string>{u"Keep"}));

    // Handles into the deleted tree stay valid handles but find nothing, and
    // writing through them does not bring the key back.
    std::vector<BYTE> data;
    EXPECT_EQ(QueryValue(deep, u"V", data), ERROR_FILE_NOT_FOUND);
    const BYTE one[4] = {1, 0, 0, 0};
    EXPECT_EQ(RegSetValueExW(deep, u"V", 0, REG_DWORD, one, 4), ERROR_FILE_NOT_FOUND);
    HKEY child = nullptr;
    EXPECT_EQ(RegCreateKeyExW(middle, u"New", 0, nullptr, 0, 0, nullptr, &child, nullptr), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Top", 0, 0, &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(deep), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(middle), ERROR_SUCCESS);

    // Deleting below an open key, by a path of several parts.
    key = CreateKey(u"Keep\\A\\B");
    RegCloseKey(key);
    key = CreateKey(u"Keep");
    EXPECT_EQ(RegDeleteKeyW(key, u"A\\B"), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(key), (std::vector<std::u16string>{u"A"}));
    EXPECT_EQ(RegDeleteKeyW(key, u"A\\B"), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, DeletingAValueLeavesTheOthers) {
    HKEY key = CreateKey(u"Test");
    SetValue(key, u"One", REG_DWORD, {1, 0, 0, 0});
    SetValue(key, u"Two", REG_DWORD, {2, 0, 0, 0});
    EXPECT_EQ(RegDeleteValueW(key, u"ONE"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(key, u"One"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ValueNames(key), (std::vector<std::u16string>{u"Two"}));
    RegCloseKey(key);
}

TEST_F(RegistryTest, HandlesFromManyThreadsStayApart) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 50;
    std::vector<std::thread> threads;
    std::array<int, kThreads> failures{};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            const std::u16string path = u"Shared\\Thread" + std::u16string(1, static_cast<char16_t>(u'0' + t));
            for (int round = 0; round < kRounds; ++round) {
                HKEY key = nullptr;
                if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr, &key, nullptr) !=
                    ERROR_SUCCESS) {
                    ++failures[t];
                    continue;
                }
                const DWORD value = static_cast<DWORD>(t * 1000 + round);
                if (RegSetValueExW(key, u"Round", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4) !=
                    ERROR_SUCCESS) {
                    ++failures[t];
                }
                DWORD read = 0;
                DWORD size = 4;
                if (RegQueryValueExW(key, u"Round", nullptr, nullptr, reinterpret_cast<BYTE*>(&read), &size) !=
                        ERROR_SUCCESS ||
                    read != value) {
                    ++failures[t];
                }
                if (RegCloseKey(key) != ERROR_SUCCESS || RegCloseKey(key) != ERROR_INVALID_HANDLE) ++failures[t];
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
    HKEY shared = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Shared", 0, 0, &shared), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(shared).size(), static_cast<size_t>(kThreads));
    RegCloseKey(shared);
}

// Where the store lies, from the environment at the time of the call.
// Sets or unsets environment variables for a test and puts back what was
// there at the end of its scope.
class EnvironmentScope {
public:
    EnvironmentScope() {
        for (auto& s : saved_) {
            if (const char* v = std::getenv(s.name)) s.value = v, s.set = true;
        }
    }
    ~EnvironmentScope() {
        for (const auto& s : saved_) Put(s.name, s.set ? s.value.c_str() : nullptr);
    }
    EnvironmentScope(const EnvironmentScope&) = delete;
    EnvironmentScope& operator=(const EnvironmentScope&) = delete;

    static void Put(const char* name, const char* value) {
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    static void PutStorePlaces(const char* registry, const char* config_home, const char* home) {
        Put("QUILLANE_REGISTRY", registry);
        Put("XDG_CONFIG_HOME", config_home);
        Put("HOME", home);
    }

private:
    struct Saved {
        const char* name;
        std::string value;
        bool set;
    } saved_[3] = {{"QUILLANE_REGISTRY", {}, false}, {"XDG_CONFIG_HOME", {}, false}, {"HOME", {}, false}};
};

TEST(RegistryStorePathTest, FollowsTheEnvironment) {
    const EnvironmentScope environment;
    struct Case {
        const char* registry;
        const char* config_home;
        const char* home;
        std::string expected;
    } cases[] = {
        {"/r/store", "/x", "/h", "/r/store"},
        {nullptr, "/x/config", "/h", "/x/config/quillane/registry"},
        {"", "/x/config", "/h", "/x/config/quillane/registry"},
        {nullptr, nullptr, "/home/me", "/home/me/.config/quillane/registry"},
        {nullptr, "", "/home/me", "/home/me/.config/quillane/registry"},
        {nullptr, "relative/config", "/home/me", "/home/me/.config/quillane/registry"},
    };
    for (const auto& c : cases) {
        EnvironmentScope::PutStorePlaces(c.registry, c.config_home, c.home);
        EXPECT_EQ(RegistryStorePath(), c.expected);
    }
}

// The caller's home as the user database has it.
std::string OwnHome() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : ".";
}

// HOME and XDG_CONFIG_HOME that name another user's folders (as under
// `sudo -E`) are passed over, and a store of another user is not the caller's.
TEST(RegistryStorePathTest, PassesOverAnotherUsersFolders) {
    const EnvironmentScope environment;
    const TempDirectory temp;
    const std::string own = temp.Path() + "/own";
    const std::string others = temp.Path() + "/others";
    std::filesystem::create_directories(own + "/store");
    std::filesystem::create_directories(others + "/store");
    // Root gives a folder away; anyone else finds one of root's.
    const std::string other = ::geteuid() == 0 ? others : std::string("/");
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(others.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::chown((others + "/store").c_str(), 65534, 65534), 0);
    }
    const std::string other_store = ::geteuid() == 0 ? others + "/store" : std::string("/");
    const std::string fallback = OwnHome() + "/.config/quillane/registry";
    struct Case {
        std::string config_home;
        std::string home;
        std::string expected;
    } cases[] = {
        {other, own, own + "/.config/quillane/registry"},
        {"", other, fallback},
        {other, other, fallback},
        {own, other, own + "/quillane/registry"},
        {own + "/missing", other, own + "/missing/quillane/registry"},
        {"", own + "/missing", own + "/missing/.config/quillane/registry"},
    };
    for (const auto& c : cases) {
        EnvironmentScope::PutStorePlaces(nullptr, c.config_home.empty() ? nullptr : c.config_home.c_str(),
                                         c.home.c_str());
        EXPECT_EQ(RegistryStorePath(), c.expected) << "XDG_CONFIG_HOME=" << c.config_home << " HOME=" << c.home;
    }

    struct StoreCase {
        std::string store;
        bool callers;
    } stores[] = {{own + "/store", true}, {own + "/missing", true}, {other_store, false}};
    for (const auto& c : stores) {
        EnvironmentScope::PutStorePlaces(c.store.c_str(), nullptr, nullptr);
        std::string why;
        EXPECT_EQ(RegistryStoreIsCallers(why), c.callers) << c.store;
        EXPECT_EQ(why.empty(), c.callers) << why;
        if (!c.callers) {
            EXPECT_NE(why.find(c.store), std::string::npos) << why;
        }
    }
}

}  // namespace
}  // namespace platform::registry_test
