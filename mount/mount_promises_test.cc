// What the README promises about files through the mount, held to it: a
// truncating open rewrites a file in place, the exempt test judges the name
// at the close, and what df shows while the marker file is held open.
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>

#include "mount/mount_fixture.h"

namespace quillane::mount_test {
namespace {

using PromisesTest = MountTest;

TEST_F(PromisesTest, ATruncatingOpenRewritesTheFileInPlaceUntilItsClose) {
    const Bytes old_text = CompressibleBytes(300000, 1);
    const Bytes new_text = CompressibleBytes(200000, 2);
    ASSERT_EQ(WriteFile(Mounted("notes.txt"), old_text), 0);
    ASSERT_TRUE(IsCompressedOnCard("notes.txt"));

    const int fd = ::open(Mounted("notes.txt").c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    const size_t half = new_text.size() / 2;
    ASSERT_EQ(::write(fd, new_text.data(), half), static_cast<ssize_t>(half));
    // Until the close, the card holds the new data written so far, plain:
    // the old content is gone from the open on.
    EXPECT_EQ(ReadFile(OnCard("notes.txt")), new_text.substr(0, half));
    ASSERT_EQ(::write(fd, new_text.data() + half, new_text.size() - half),
              static_cast<ssize_t>(new_text.size() - half));
    ASSERT_EQ(::close(fd), 0);
    EXPECT_TRUE(IsCompressedOnCard("notes.txt"));
    EXPECT_EQ(CardContent("notes.txt"), new_text);
}

TEST_F(PromisesTest, AFileRenamedToAnExemptTypeAfterItsCloseStaysCompressed) {
    SetExceptions(u".mp3");
    const Bytes data = CompressibleBytes(100000, 3);
    ASSERT_EQ(WriteFile(Mounted("song.mp3.part"), data), 0);
    ASSERT_EQ(std::rename(Mounted("song.mp3.part").c_str(), Mounted("song.mp3").c_str()), 0);
    EXPECT_TRUE(IsCompressedOnCard("song.mp3"));
    EXPECT_EQ(ReadFile(Mounted("song.mp3")), data);
    // Written under its exempt name, it stays plain.
    ASSERT_EQ(WriteFile(Mounted("other.mp3"), data), 0);
    EXPECT_FALSE(IsCompressedOnCard("other.mp3"));
}

TEST_F(PromisesTest, DfWhileTheMarkerFileIsHeldOpen) {
    ASSERT_EQ(WriteFile(OnCard("quillane.x13"), ""), 0);
    struct statvfs real {};
    ASSERT_EQ(::statvfs(card().c_str(), &real), 0);
    const auto blocks = [&](const struct statvfs& status) {
        return static_cast<double>(status.f_blocks) * status.f_frsize;
    };
    struct statvfs converted {};
    ASSERT_EQ(::statvfs(mount_point().c_str(), &converted), 0);
    EXPECT_GT(blocks(converted), 1.5 * blocks(real));

    for (const int flags : {O_RDONLY, O_RDWR}) {
        SCOPED_TRACE(flags == O_RDONLY ? "read" : "read and write");
        const int fd = ::open(Mounted("quillane.x13").c_str(), flags);
        ASSERT_GE(fd, 0);
        struct statvfs held {};
        ASSERT_EQ(::statvfs(mount_point().c_str(), &held), 0);
        std::printf("%s: %.0f of %.0f bytes shown\n", flags == O_RDONLY ? "read" : "read and write", blocks(held),
                    blocks(real));
        if (flags == O_RDONLY) {
            EXPECT_GT(blocks(held), 1.5 * blocks(real)) << "a reader does not hold the marker through the filter";
        } else {
            EXPECT_LT(blocks(held), 1.5 * blocks(real)) << "a writer holds the marker: the real capacity shows";
        }
        ::close(fd);
    }
}

}  // namespace
}  // namespace quillane::mount_test
