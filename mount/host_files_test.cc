// Tests of the plain sizes the mount shows: summed from the block headers,
// and never remembered while the card's 2-second times cannot tell one
// version of a file from the next.
#include "mount/host_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "filter/codec/codec.h"

namespace quillane::mount {
namespace {

std::string Le32(unsigned value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

// A compressed file of raw blocks of the given lengths.
std::string RawBlocks(std::initializer_list<unsigned> lengths) {
    std::string file(reinterpret_cast<const char*>(kCodecSignature), kCodecSignatureSize);
    for (const unsigned length : lengths) file += Le32(length) + Le32(length) + std::string(length, 'q');
    return file;
}

class HostFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "quillane-host-files-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    // Writes `bytes` over the file in place (same inode) and gives it `time`.
    void Put(const std::string& bytes, time_t time) const {
        const std::string path = folder_ + "/file.txt";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size()));
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(bytes.size())), 0);
        const timespec times[2] = {{time, 0}, {time, 0}};
        ASSERT_EQ(::futimens(fd, times), 0);
        ::close(fd);
    }

    std::uint64_t PlainSize(HostFiles& files) const {
        HostFile file;
        EXPECT_EQ(files.Describe(u"\\file.txt", file), 0);
        EXPECT_TRUE(file.compressed);
        return file.plain_size;
    }

    HostFiles Open() const { return HostFiles(platform::fat::UniqueFd(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY))); }

    std::string folder_;
};

TEST_F(HostFilesTest, AFileChangedWithinTheSameTwoSecondsShowsItsNewSize) {
    // Same stored size (112 bytes), same inode, same time; plain 100, then 92.
    const std::string first = RawBlocks({100}), second = RawBlocks({46, 46});
    ASSERT_EQ(first.size(), second.size());
    HostFiles files = Open();
    const time_t now = ::time(nullptr);
    Put(first, now);
    EXPECT_EQ(PlainSize(files), 100u);
    Put(second, now);
    EXPECT_EQ(PlainSize(files), 92u);
    Put(first, now);
    EXPECT_EQ(PlainSize(files), 100u);
}

TEST_F(HostFilesTest, AnOlderFileIsScannedAgainWhenItsTimeOrSizeChanges) {
    HostFiles files = Open();
    const time_t old = ::time(nullptr) - 3600;
    Put(RawBlocks({100}), old);
    EXPECT_EQ(PlainSize(files), 100u);
    EXPECT_EQ(PlainSize(files), 100u);
    Put(RawBlocks({46, 46}), old + 2);
    EXPECT_EQ(PlainSize(files), 92u);
    Put(RawBlocks({46, 46, 10}), old + 2);
    EXPECT_EQ(PlainSize(files), 102u);
}

TEST_F(HostFilesTest, DamageThatEndsTheBlocksShowsAsATailThatReadsRefuse) {
    HostFiles files = Open();
    const time_t old = ::time(nullptr) - 3600;
    std::string cut = RawBlocks({100, 50});
    cut.resize(cut.size() - 1);
    const struct {
        const char* what;
        std::string bytes;
        std::uint64_t plain_size;
    } cases[] = {
        {"a payload cut short: its block's data length", cut, 150},
        {"a header cut short: one byte", RawBlocks({100}) + "abc", 101},
        {"a data length of 0: one byte", RawBlocks({100}) + Le32(0) + Le32(5) + "12345", 101},
        {"sound", RawBlocks({100, 50}), 150},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(::truncate((folder_ + "/file.txt").c_str(), 0) == 0 || errno == ENOENT, true);
        Put(c.bytes, old);
        EXPECT_EQ(PlainSize(files), c.plain_size);
    }
}

}  // namespace
}  // namespace quillane::mount
