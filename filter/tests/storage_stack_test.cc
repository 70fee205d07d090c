// The filter as programs meet it: Quillane.so loaded by the storage manager
// from the registry, over the real FAT layer on a card folder, reached
// through the platform's file API.
#include <gtest/gtest.h>

#include <fstream>

#include "filter/tests/test_support.h"
#include "platform/core/last_error.h"
#include "platform/hook/fault_layer.h"
#include "platform/storage/file_api.h"
#include "platform/storage/storage_manager.h"

namespace quillane_test {
namespace {

class StorageStackTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(platform::InstallFilter(), ERROR_SUCCESS); }
    void TearDown() override { platform::StorageManager::Instance().UnmountAll(); }

    void Mount(const platform::MountOptions& options = {}) {
        std::string message;
        ASSERT_EQ(platform::StorageManager::Instance().MountCard(u"Storage Card", card_.path(), &message, options),
                  ERROR_SUCCESS)
            << message;
    }
    std::optional<Bytes> Host(const std::string& name) const {
        std::ifstream in(card_.path() + "/" + name, std::ios::binary);
        if (!in) return std::nullopt;
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    static bool WriteNew(LPCWSTR path, const Bytes& bytes) {
        HANDLE file = platform::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                            nullptr);
        if (file == INVALID_HANDLE_VALUE) return false;
        DWORD written = 0;
        const bool ok = platform::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
        return platform::CloseHandle(file) && ok && written == bytes.size();
    }

    TestRegistry registry_;
    TempFolder card_{"stack-card"};
};

TEST_F(StorageStackTest, ProgramsSeePlainDataWhileTheCardHoldsItCompressed) {
    Mount();
    const Bytes text = CompressibleBytes(500000, 31);
    ASSERT_TRUE(WriteNew(u"\\Storage Card\\notes.txt", text));
    const auto stored = Host("notes.txt");
    ASSERT_TRUE(stored && HasSignature(*stored));
    EXPECT_EQ(Decode(*stored), text);

    WIN32_FIND_DATAW found{};
    HANDLE search = platform::FindFirstFileW(u"\\Storage Card\\notes.txt", &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(found.nFileSizeLow, stored->size());  // the listing shows what the card holds
    EXPECT_TRUE(platform::FindClose(search));

    HANDLE file = platform::CreateFileW(u"\\Storage Card\\notes.txt", GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetFileSize(file, nullptr), text.size());
    Bytes read(text.size() + 10);
    DWORD got = 0;
    ASSERT_TRUE(platform::ReadFile(file, read.data(), static_cast<DWORD>(read.size()), &got, nullptr));
    read.resize(got);
    EXPECT_EQ(read, text);
    EXPECT_TRUE(platform::CloseHandle(file));
}

TEST_F(StorageStackTest, MarkerFileDoublesTheReportedCapacity) {
    Mount();
    ULARGE_INTEGER free_before{}, total_before{}, total_free_before{};
    ASSERT_TRUE(platform::GetDiskFreeSpaceExW(u"\\Storage Card", &free_before, &total_before, &total_free_before));
    HANDLE marker = platform::CreateFileW(u"\\Storage Card\\quillane.x13", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_HIDDEN, nullptr);
    ASSERT_NE(marker, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(platform::CloseHandle(marker));
    ULARGE_INTEGER free_after{}, total_after{}, total_free_after{};
    ASSERT_TRUE(platform::GetDiskFreeSpaceExW(u"\\Storage Card", &free_after, &total_after, &total_free_after));
    EXPECT_EQ(total_after.QuadPart, 2 * total_before.QuadPart);
    // What is used stays what is used (give or take what the card did meanwhile).
    const auto used_before = total_before.QuadPart - total_free_before.QuadPart;
    const auto used_after = total_after.QuadPart - total_free_after.QuadPart;
    EXPECT_NEAR(static_cast<double>(used_after), static_cast<double>(used_before), 64.0 * 1024 * 1024);
}

TEST_F(StorageStackTest, UnmountClosesOpenFilesThroughTheFilter) {
    Mount();
    HANDLE file = platform::CreateFileW(u"\\Storage Card\\open.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    const Bytes text = CompressibleBytes(40000, 32);
    DWORD written = 0;
    ASSERT_TRUE(platform::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr));
    ASSERT_EQ(platform::StorageManager::Instance().UnmountCard(u"Storage Card"), ERROR_SUCCESS);
    const auto stored = Host("open.txt");
    ASSERT_TRUE(stored && HasSignature(*stored));
    EXPECT_EQ(Decode(*stored), text);
    EXPECT_FALSE(platform::CloseHandle(file));
    EXPECT_EQ(platform::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(StorageStackTest, FullCardUnderTheFilterNeverCostsTheProgramsData) {
    platform::FaultLayer faults;
    platform::MountOptions options;
    options.wrap_bottom = [&](const HookTable& fat) { return faults.Wrap(fat); };
    Mount(options);
    const Bytes text = RandomBytes(300000, 33);
    platform::FaultRule full;
    full.action = platform::FaultRule::Action::kDiskFull;
    full.byte_limit = text.size() + 1000;  // the program's writes fit, the staging file does not
    full.persistent = true;
    full.error = ERROR_DISK_FULL;
    faults.AddRule(full);
    ASSERT_TRUE(WriteNew(u"\\Storage Card\\big.bin", text));
    EXPECT_EQ(Host("big.bin"), text) << "kept plain when it cannot be compressed";
    platform::StorageManager::Instance().UnmountAll();
    EXPECT_EQ(faults.OpenHandles(), 0u);
    EXPECT_TRUE(faults.Violations().empty());
}

}  // namespace
}  // namespace quillane_test
