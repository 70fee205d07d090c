// A mount over a card folder whose host closes fail (a FUSE- or
// network-backed folder that could not write back): the program learns of
// it, as close(2) and fsync answer EIO, and the file is closed all the same,
// so the next open of it works on a handle of its own rather than one that
// is gone.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "mount/mount_fixture.h"
#include "tests/hosts/failing_host.h"

namespace quillane::mount_test {
namespace {

using FailingCloseTest = MountTest;

TEST_F(FailingCloseTest, CloseAndFsyncAnswerEioAndTheFileOpensAgain) {
    ASSERT_EQ(Unmount(), 0);
    test_hosts::FailingCloseHost host;
    std::string why;
    // Only the closes of *.txt fail; the filter's own temporary files close
    // soundly.
    if (!host.Start(card(), scratch() + "/host", &why, "*.txt")) {
        Mount();
        GTEST_SKIP() << why;
    }
    served_card_ = scratch() + "/host";
    Mount();
    ASSERT_TRUE(IsMounted());

    const Bytes text = CompressibleBytes(200000, 5);
    int fd = ::open(Mounted("notes.txt").c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    errno = 0;
    EXPECT_EQ(::close(fd), -1) << "a close that failed on the card was reported as success";
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(ReadFile(Mounted("notes.txt")), text) << "the file opens and reads again after a failed close";

    fd = ::open(Mounted("notes.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, "more", 4, 0), 4);
    errno = 0;
    EXPECT_EQ(::fsync(fd), -1);
    EXPECT_EQ(errno, EIO);
    ::close(fd);
    const std::optional<Bytes> after = ReadFile(Mounted("notes.txt"));
    ASSERT_TRUE(after.has_value()) << "the file opens again after a failed fsync";
    EXPECT_EQ(after->substr(0, 4), "more");

    // A file whose close succeeds is stored compressed as ever.
    ASSERT_EQ(WriteFile(Mounted("table.dat"), text), 0);
    EXPECT_TRUE(IsCompressedOnCard("table.dat"));

    ASSERT_EQ(Unmount(), 0);
    EXPECT_TRUE(host.Stop());
    served_card_.clear();
    Mount();
}

}  // namespace
}  // namespace quillane::mount_test
