// install and reg query against the test's own registry store: what install
// writes (and leaves), and how reg query shows each type of value, subkeys,
// and a key or value that is not there.
#include <vector>

#include "cli/tests/cli_test_support.h"
#include "platform/registry/registry.h"

namespace quillane::cli::test {
namespace {

constexpr char kFilterKey[] = "HKLM\\System\\StorageManager\\FATFS\\Filters\\Quillane";
constexpr char16_t kFilterKeyPath[] = u"System\\StorageManager\\FATFS\\Filters\\Quillane";

class RegTest : public CliTest {
protected:
    HKEY CreateKey(const std::u16string& path) {
        HKEY key = nullptr;
        EXPECT_EQ(platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        return key;
    }
};

TEST_F(RegTest, InstallWritesTheFilterKeyWithItsDllAndKeepsTheExemptList) {
    HKEY key = CreateKey(kFilterKeyPath);
    const std::vector<BYTE> exception{'.', 0, 'm', 0, 'p', 0, '3', 0, 0, 0};
    ASSERT_EQ(platform::RegSetValueExW(key, u"Exception", 0, REG_SZ, exception.data(), 10), ERROR_SUCCESS);
    platform::RegCloseKey(key);

    const RunResult install = Run({"install"});
    ASSERT_EQ(install.status, 0) << install.err;
    EXPECT_TRUE(Holds(install.out, "Installed the filter"));
    EXPECT_TRUE(Holds(install.out, RegistryPath()));

    const RunResult query = Run({"reg", "query", kFilterKey});
    ASSERT_EQ(query.status, 0) << query.err;
    EXPECT_TRUE(Holds(query.out, "HKEY_LOCAL_MACHINE\\System\\StorageManager\\FATFS\\Filters\\Quillane\n"));
    EXPECT_TRUE(Holds(query.out, "    Dll          REG_SZ [24 bytes]  Quillane.so\n")) << query.out;
    EXPECT_TRUE(Holds(query.out, "    Exception    REG_SZ [10 bytes]  .mp3\n")) << query.out;
}

TEST_F(RegTest, QueryShowsEachTypeAndTheSubkeys) {
    HKEY key = CreateKey(u"Software\\Test");
    const DWORD number = 0x1234;
    ASSERT_EQ(platform::RegSetValueExW(key, u"Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), 4),
              ERROR_SUCCESS);
    const std::vector<BYTE> bytes{0xBE, 0xEF, 0x85, 0xA1};
    ASSERT_EQ(platform::RegSetValueExW(key, u"Blob", 0, REG_BINARY, bytes.data(), 4), ERROR_SUCCESS);
    // REG_SZ up to its first NUL: the filler behind it is not shown.
    const std::vector<BYTE> text{'h', 0, 'i', 0, 0, 0, 'x', 0};
    ASSERT_EQ(platform::RegSetValueExW(key, u"Text", 0, REG_SZ, text.data(), 8), ERROR_SUCCESS);
    ASSERT_EQ(platform::RegSetValueExW(key, u"", 0, REG_SZ, text.data(), 6), ERROR_SUCCESS);
    platform::RegCloseKey(key);
    platform::RegCloseKey(CreateKey(u"Software\\Test\\Child"));

    const RunResult query = Run({"reg", "query", "HKEY_LOCAL_MACHINE\\Software\\Test"});
    ASSERT_EQ(query.status, 0) << query.err;
    EXPECT_TRUE(Holds(query.out, "    Count        REG_DWORD [4 bytes]  4660 (0x00001234)\n")) << query.out;
    EXPECT_TRUE(Holds(query.out, "    Blob         REG_BINARY [4 bytes]  be ef 85 a1\n"));
    EXPECT_TRUE(Holds(query.out, "    Text         REG_SZ [8 bytes]  hi\n"));
    EXPECT_TRUE(Holds(query.out, "    (Default)    REG_SZ [6 bytes]  hi\n"));
    EXPECT_TRUE(Holds(query.out, "HKEY_LOCAL_MACHINE\\Software\\Test\\Child\n"));

    const RunResult one = Run({"reg", "query", "hklm\\software\\test", "count"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_TRUE(Holds(one.out, "REG_DWORD [4 bytes]  4660"));
    EXPECT_FALSE(Holds(one.out, "Blob"));
}

TEST_F(RegTest, AMissingKeyOrValueFails) {
    const RunResult key = Run({"reg", "query", kFilterKey});
    EXPECT_EQ(key.status, 1);
    EXPECT_TRUE(Holds(key.err, "no key HKEY_LOCAL_MACHINE\\System\\StorageManager\\FATFS\\Filters\\Quillane"))
        << key.err;
    ASSERT_EQ(Run({"install"}).status, 0);
    const RunResult value = Run({"reg", "query", kFilterKey, "Exception"});
    EXPECT_EQ(value.status, 1);
    EXPECT_TRUE(Holds(value.err, "no value Exception under"));
}

TEST_F(RegTest, InstallFailsWhenTheStoreCannotBeWritten) {
    WriteFile("not-a-folder", "x");
    const RunResult result = Run({"install"}, {}, {{"QUILLANE_REGISTRY", Path("not-a-folder/store")}});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Holds(result.err, "cannot write the registry store")) << result.err;
}

}  // namespace
}  // namespace quillane::cli::test
