// Tests of the registry store shared by processes: what one process writes
// another reads at once, a reader never sees a value half-written, and two
// processes making the same key end up with one key.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "platform/registry/registry.h"
#include "platform/registry/test_store.h"

namespace platform::registry_test {
namespace {

constexpr char16_t kFilterKey[] = u"System\\StorageManager\\FATFS\\Filters\\Quillane";

// Runs `body` in a child process; its result becomes the exit status. The
// child leaves with _exit so that it runs none of the parent's teardown.
pid_t StartChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    return pid;
}

int WaitForChild(pid_t pid) {
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<BYTE> ExceptionData(char16_t fill) {
    std::vector<BYTE> data(4096);
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        data[i] = static_cast<BYTE>(fill & 0xFF);
        data[i + 1] = static_cast<BYTE>(fill >> 8);
    }
    return data;
}

TEST_F(RegistryTest, ReadersInAnotherProcessNeverSeeATornValue) {
    const std::vector<BYTE> first = ExceptionData(u'a');
    const std::vector<BYTE> second = ExceptionData(u'\u042F');
    HKEY key = CreateKey(kFilterKey);
    SetValue(key, u"Exception", REG_SZ, first);

    constexpr int kWrites = 200;
    const pid_t writer = StartChild([&] {
        HKEY own = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kFilterKey, 0, 0, &own) != ERROR_SUCCESS) return 2;
        for (int i = 0; i < kWrites; ++i) {
            const auto& data = (i % 2 == 0) ? second : first;
            if (RegSetValueExW(own, u"Exception", 0, REG_SZ, data.data(), 4096) != ERROR_SUCCESS) return 3;
        }
        return RegCloseKey(own) == ERROR_SUCCESS ? 0 : 4;
    });
    ASSERT_GT(writer, 0);

    int reads = 0;
    int torn = 0;
    int failed = 0;
    std::vector<BYTE> buffer(4096);
    int writer_status = -1;
    for (;;) {
        const bool writer_done = ::waitpid(writer, &writer_status, WNOHANG) != 0;
        DWORD size = 4096;
        DWORD type = 0;
        const LSTATUS status = RegQueryValueExW(key, u"Exception", nullptr, &type, buffer.data(), &size);
        ++reads;
        if (status != ERROR_SUCCESS || size != 4096 || type != REG_SZ) {
            ++failed;
        } else if (buffer != first && buffer != second) {
            ++torn;
        }
        if (writer_done) break;
    }
    ASSERT_TRUE(WIFEXITED(writer_status));
    EXPECT_EQ(WEXITSTATUS(writer_status), 0);
    EXPECT_GT(reads, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(torn, 0);
    std::vector<BYTE> last;
    ASSERT_EQ(QueryValue(key, u"Exception", last), ERROR_SUCCESS);
    EXPECT_EQ(last, first);  // the last of an even number of writes
    RegCloseKey(key);
}

TEST_F(RegistryTest, AnotherProcessSeesChangesAtOnce) {
    HKEY key = CreateKey(u"Shared");
    SetValue(key, u"V", REG_DWORD, {1, 0, 0, 0});
    const pid_t child = StartChild([] {
        HKEY own = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"shared", 0, 0, &own) != ERROR_SUCCESS) return 2;
        DWORD value = 0;
        DWORD size = 4;
        if (RegQueryValueExW(own, u"V", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size) != ERROR_SUCCESS ||
            value != 1) {
            return 3;
        }
        value = 2;
        if (RegSetValueExW(own, u"V", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4) != ERROR_SUCCESS) {
            return 4;
        }
        HKEY made = nullptr;
        if (RegCreateKeyExW(own, u"MadeByChild", 0, nullptr, 0, 0, nullptr, &made, nullptr) != ERROR_SUCCESS) return 5;
        RegCloseKey(made);
        RegCloseKey(own);
        return 0;
    });
    ASSERT_EQ(WaitForChild(child), 0);
    std::vector<BYTE> data;
    ASSERT_EQ(QueryValue(key, u"V", data), ERROR_SUCCESS);
    EXPECT_EQ(data, (std::vector<BYTE>{2, 0, 0, 0}));
    HKEY made = nullptr;
    EXPECT_EQ(RegOpenKeyExW(key, u"MadeByChild", 0, 0, &made), ERROR_SUCCESS);
    RegCloseKey(made);

    // A key deleted by another process is gone for this one's open handle.
    const pid_t deleter = StartChild([] { return RegDeleteKeyW(HKEY_LOCAL_MACHINE, u"Shared") == ERROR_SUCCESS ? 0 : 2; });
    ASSERT_EQ(WaitForChild(deleter), 0);
    EXPECT_EQ(QueryValue(key, u"V", data), ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
}

TEST_F(RegistryTest, TwoProcessesMakingOneKeyMakeItOnce) {
    constexpr int kRounds = 20;
    RegCloseKey(CreateKey(u"Race"));
    for (int round = 0; round < kRounds; ++round) {
        const std::u16string name = u"Race\\Key" + std::u16string(1, static_cast<char16_t>(u'A' + round));
        std::u16string other_case = name;
        for (auto& c : other_case) c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 0x20) : c;
        auto create = [](const std::u16string& path) {
            HKEY key = nullptr;
            DWORD disposition = 0;
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, 0, nullptr, &key, &disposition) !=
                ERROR_SUCCESS) {
                return 9;
            }
            RegCloseKey(key);
            return disposition == REG_CREATED_NEW_KEY ? 1 : 0;
        };
        const pid_t child = StartChild([&] { return create(other_case); });
        const int here = create(name);
        const int there = WaitForChild(child);
        ASSERT_NE(here, 9);
        ASSERT_NE(there, 9);
        EXPECT_EQ(here + there, 1) << "round " << round;
    }
    HKEY race = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Race", 0, 0, &race), ERROR_SUCCESS);
    int keys = 0;
    for (DWORD index = 0;; ++index) {
        WCHAR name[32];
        DWORD count = 32;
        const LSTATUS status = RegEnumKeyExW(race, index, name, &count, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) {
            EXPECT_EQ(status, ERROR_NO_MORE_ITEMS);
            break;
        }
        ++keys;
    }
    EXPECT_EQ(keys, kRounds);
    RegCloseKey(race);
}

}  // namespace
}  // namespace platform::registry_test
