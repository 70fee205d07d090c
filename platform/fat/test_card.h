// Test support for the FAT layer's tests: a fresh card folder on the real
// disk (under the build folder, or the working directory) with a Volume
// over it, and short helpers for the calls the tests repeat. Not used
// outside platform/fat/ tests.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/last_error.h"
#include "platform/fat/fat_volume.h"
#include "tests/fat_host/fat_host.h"

namespace platform::fat {

class TestCard : public ::testing::Test {
protected:
    void SetUp() override {
        const char* base = std::getenv("QUILLANE_TEST_BINARY_DIR");
        std::filesystem::path parent = base != nullptr ? base : std::filesystem::current_path().string();
        parent /= "fat-test-cards";
        std::filesystem::create_directories(parent);
        std::string pattern = (parent / "card-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        // With QUILLANE_TEST_CARD_HOST set the card is a real FAT file
        // system, checked with fsck after the test.
        std::string host_error;
        if (const std::optional<quillane::test::FatKind> kind = quillane::test::CardHostFromEnvironment(&host_error)) {
            bool unavailable = false;
            fat_host_ = quillane::test::FatHost::Serve(*kind, dir_.string() + ".img", dir_.string(), &host_error,
                                                      &unavailable);
            if (fat_host_ == nullptr && unavailable) GTEST_SKIP() << host_error;
            ASSERT_NE(fat_host_, nullptr) << host_error;
        }
        ASSERT_TRUE(host_error.empty()) << host_error;
        volume_ = Volume::Open(dir_.string());
        ASSERT_NE(volume_, nullptr);
        hooks_ = volume_->Hooks();
    }

    void TearDown() override {
        if (volume_ != nullptr) {
            EXPECT_EQ(volume_->OpenHandleCount(), 0u) << "a test left a handle open";
        }
        volume_.reset();
        std::error_code ignored;
        if (fat_host_ != nullptr) {
            EXPECT_EQ(fat_host_->TakeDownAndCheck(), "");
            fat_host_.reset();
            std::filesystem::remove(dir_.string() + ".img", ignored);
        }
        // Read-only files and folders must not stop the clean-up.
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                     ignored);
        std::filesystem::remove_all(dir_, ignored);
    }

    std::filesystem::path Host(const std::string& relative) const { return dir_ / relative; }

    void WriteHostFile(const std::string& relative, const std::string& content) {
        std::filesystem::create_directories(Host(relative).parent_path());
        std::ofstream(Host(relative), std::ios::binary) << content;
    }

    std::string ReadHostFile(const std::string& relative) const {
        std::ifstream in(Host(relative), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    HANDLE Open(const std::u16string& name, DWORD access, DWORD disposition, DWORD share = FILE_SHARE_READ,
                DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
        return hooks_.CreateFileW(hooks_.volume, nullptr, name.c_str(), access, share, nullptr, disposition,
                                  attributes, nullptr);
    }

    bool Close(HANDLE file) { return hooks_.CloseFile(file) != FALSE; }

    // Writes `content` through the layer into a new or emptied file.
    void MakeFile(const std::u16string& name, const std::string& content,
                  DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
        HANDLE file = Open(name, GENERIC_WRITE, CREATE_ALWAYS, 0, attributes);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        ASSERT_TRUE(hooks_.WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
        ASSERT_EQ(written, content.size());
        ASSERT_TRUE(Close(file));
    }

    DWORD Attributes(const std::u16string& name) { return hooks_.GetFileAttributesW(hooks_.volume, name.c_str()); }

    // Whether the host lets this folder hold user extended attributes.
    bool HostHasExtendedAttributes();
    // Whether the host keeps a file's write bits as they are set (a
    // FUSE-served FAT driver may refuse or ignore chmod).
    bool HostKeepsModeBits();

    std::filesystem::path dir_;
    std::unique_ptr<Volume> volume_;
    HookTable hooks_{};
    std::unique_ptr<quillane::test::FatHost> fat_host_;
};

}  // namespace platform::fat
