// Sizes through a real mount: st_size is the plain size programs read,
// st_blocks the room the card gives the file; statfs shows the doubled
// capacity of a converted card.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <string>

#include "mount/mount_fixture.h"

namespace quillane::mount_test {
namespace {

using SizesTest = MountTest;

TEST_F(SizesTest, StatShowsPlainSizesAndBlocksShowWhatTheCardHolds) {
    const Bytes text = CompressibleBytes(2 << 20, 1);
    ASSERT_EQ(WriteFile(Mounted("big.txt"), text), 0);
    ASSERT_TRUE(IsCompressedOnCard("big.txt"));
    struct stat through {}, behind {};
    ASSERT_EQ(::stat(Mounted("big.txt").c_str(), &through), 0);
    ASSERT_EQ(::stat(OnCard("big.txt").c_str(), &behind), 0);
    EXPECT_EQ(through.st_size, static_cast<off_t>(text.size()));
    EXPECT_EQ(through.st_blocks, behind.st_blocks);
    EXPECT_LT(through.st_blocks * 512, through.st_size / 3);

    std::string listing;
    ASSERT_EQ(Shell("stat -c %s " + Mounted("big.txt"), &listing), 0);
    EXPECT_EQ(listing, std::to_string(text.size()) + "\n");
    ASSERT_EQ(Shell("du -k " + Mounted("big.txt") + " | cut -f1", &listing), 0);
    EXPECT_LT(std::stoul(listing), text.size() / 1024 / 3);
    ASSERT_EQ(Shell("du -k --apparent-size " + Mounted("big.txt") + " | cut -f1", &listing), 0);
    EXPECT_EQ(std::stoul(listing), text.size() / 1024);
}

TEST_F(SizesTest, SmallAndEmptyFilesHaveTheirPlainSizes) {
    ASSERT_EQ(WriteFile(Mounted("zero.txt"), ""), 0);
    ASSERT_EQ(WriteFile(Mounted("three.txt"), "abc"), 0);
    struct stat status {};
    ASSERT_EQ(::stat(Mounted("zero.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 0);
    ASSERT_EQ(::stat(Mounted("three.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 3);
    EXPECT_TRUE(IsCompressedOnCard("three.txt"));  // 15 bytes stored for 3
}

TEST_F(SizesTest, AnOpenFileHasTheSizeOfWhatWasWritten) {
    const int fd = ::open(Mounted("growing.txt").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const Bytes part = CompressibleBytes(70000, 2);
    for (int i = 1; i <= 3; ++i) {
        ASSERT_EQ(::write(fd, part.data(), part.size()), static_cast<ssize_t>(part.size()));
        struct stat by_handle {}, by_name {};
        ASSERT_EQ(::fstat(fd, &by_handle), 0);
        ASSERT_EQ(::stat(Mounted("growing.txt").c_str(), &by_name), 0);
        EXPECT_EQ(by_handle.st_size, static_cast<off_t>(i * part.size()));
        EXPECT_EQ(by_name.st_size, by_handle.st_size);
    }
    ASSERT_EQ(::close(fd), 0);
    struct stat closed {};
    ASSERT_EQ(::stat(Mounted("growing.txt").c_str(), &closed), 0);
    EXPECT_EQ(closed.st_size, static_cast<off_t>(3 * part.size()));
}

TEST_F(SizesTest, StatfsDoublesOnceTheCardIsConverted) {
    struct statvfs before {};
    ASSERT_EQ(::statvfs(mount_point().c_str(), &before), 0);
    ASSERT_GT(before.f_blocks, 0u);
    // What a conversion leaves at the card root.
    ASSERT_EQ(WriteFile(Mounted("quillane.x13"), ""), 0);
    struct statvfs after {};
    ASSERT_EQ(::statvfs(mount_point().c_str(), &after), 0);
    const unsigned long long total_before = before.f_blocks * before.f_frsize;
    const unsigned long long total_after = after.f_blocks * after.f_frsize;
    EXPECT_NEAR(static_cast<double>(total_after), 2.0 * static_cast<double>(total_before), 2.0 * 8192);
    // The added room is all free.
    EXPECT_GT(after.f_bfree, before.f_bfree + before.f_blocks / 2);

    std::string df;
    ASSERT_EQ(Shell("df -k --output=size " + mount_point() + " | tail -1", &df), 0);
    EXPECT_NEAR(std::stod(df), static_cast<double>(total_after) / 1024, 16);

    ASSERT_EQ(::unlink(Mounted("quillane.x13").c_str()), 0);
    ASSERT_EQ(::statvfs(mount_point().c_str(), &after), 0);
    EXPECT_NEAR(static_cast<double>(after.f_blocks), static_cast<double>(before.f_blocks), 2);
}

}  // namespace
}  // namespace quillane::mount_test
