// Names through a real mount: rename, unlink, mkdir and rmdir as POSIX says,
// also for files that are open; inode numbers that stay with a file across
// the rewrites of its closes; names a card cannot hold; case-insensitive
// names as on the card.
#include <fcntl.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "mount/mount_fixture.h"

namespace quillane::mount_test {
namespace {

using NamesTest = MountTest;

ino_t InodeOf(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return 0;
    return status.st_ino;
}

Bytes ReadAt(int fd, size_t size) {
    Bytes bytes(size, '\0');
    const ssize_t n = ::pread(fd, bytes.data(), size, 0);
    bytes.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return bytes;
}

TEST_F(NamesTest, InodeNumbersSurviveRewritesAndFsync) {
    ASSERT_EQ(WriteFile(Mounted("kept.txt"), CompressibleBytes(10000, 1)), 0);
    const ino_t mounted = InodeOf(Mounted("kept.txt"));
    const ino_t on_card = InodeOf(OnCard("kept.txt"));
    ASSERT_NE(mounted, 0u);
    // Each close that writes replaces the card's file, and so its number.
    ASSERT_EQ(WriteFile(Mounted("kept.txt"), CompressibleBytes(20000, 2)), 0);
    EXPECT_NE(InodeOf(OnCard("kept.txt")), on_card);
    EXPECT_EQ(InodeOf(Mounted("kept.txt")), mounted);

    const int fd = ::open(Mounted("kept.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "x", 1), 1);
    ASSERT_EQ(::fsync(fd), 0);
    struct stat status {};
    ASSERT_EQ(::fstat(fd, &status), 0);
    EXPECT_EQ(status.st_ino, mounted);
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(InodeOf(Mounted("kept.txt")), mounted);
    EXPECT_NE(InodeOf(Mounted("other.txt")), mounted);
}

TEST_F(NamesTest, RenameMovesTheFileAndItsNumber) {
    ASSERT_EQ(WriteFile(Mounted("a.txt"), "alpha"), 0);
    const ino_t number = InodeOf(Mounted("a.txt"));
    ASSERT_EQ(::mkdir(Mounted("dir").c_str(), 0755), 0);
    ASSERT_EQ(::rename(Mounted("a.txt").c_str(), Mounted("dir/b.txt").c_str()), 0);
    EXPECT_EQ(::access(Mounted("a.txt").c_str(), F_OK), -1);
    EXPECT_EQ(ReadFile(Mounted("dir/b.txt")), Bytes("alpha"));
    EXPECT_EQ(CardContent("dir/b.txt"), Bytes("alpha"));
    EXPECT_EQ(InodeOf(Mounted("dir/b.txt")), number);
}

TEST_F(NamesTest, RenameOverAnExistingFileReplacesIt) {
    ASSERT_EQ(WriteFile(Mounted("new.txt"), "new content"), 0);
    ASSERT_EQ(WriteFile(Mounted("old.txt"), "old content"), 0);
    ASSERT_EQ(::chmod(Mounted("old.txt").c_str(), 0444), 0);  // POSIX replaces it all the same
    const ino_t number = InodeOf(Mounted("new.txt"));
    ASSERT_EQ(::rename(Mounted("new.txt").c_str(), Mounted("old.txt").c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(ReadFile(Mounted("old.txt")), Bytes("new content"));
    EXPECT_EQ(InodeOf(Mounted("old.txt")), number);
    EXPECT_EQ(::access(Mounted("new.txt").c_str(), F_OK), -1);
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{"old.txt"});
}

TEST_F(NamesTest, RenameRefusesWhatPosixRefuses) {
    ASSERT_EQ(WriteFile(Mounted("f.txt"), "f"), 0);
    ASSERT_EQ(WriteFile(Mounted("g.txt"), "g"), 0);
    ASSERT_EQ(::mkdir(Mounted("d").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(Mounted("d/sub").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(Mounted("e").c_str(), 0755), 0);
    ASSERT_EQ(WriteFile(Mounted("e/inside.txt"), "i"), 0);

    struct {
        const char* from;
        const char* to;
        unsigned flags;
        int error;
    } cases[] = {
        {"f.txt", "g.txt", RENAME_NOREPLACE, EEXIST},
        {"f.txt", "g.txt", RENAME_EXCHANGE, EINVAL},
        {"f.txt", "d", 0, EISDIR},
        {"d", "f.txt", 0, ENOTDIR},
        {"d", "d/sub/d2", 0, EINVAL},
        {"d", "e", 0, ENOTEMPTY},
        {"missing.txt", "h.txt", 0, ENOENT},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(::renameat2(AT_FDCWD, Mounted(c.from).c_str(), AT_FDCWD, Mounted(c.to).c_str(), c.flags), -1)
            << c.from << " -> " << c.to;
        EXPECT_EQ(errno, c.error) << c.from << " -> " << c.to;
    }
    EXPECT_EQ(ReadFile(Mounted("g.txt")), Bytes("g"));
    // A folder replaces an empty folder.
    ASSERT_EQ(::mkdir(Mounted("empty").c_str(), 0755), 0);
    EXPECT_EQ(::rename(Mounted("d").c_str(), Mounted("empty").c_str()), 0);
    EXPECT_EQ(::access(Mounted("empty/sub").c_str(), F_OK), 0);
}

TEST_F(NamesTest, FoldersAndTheirErrors) {
    ASSERT_EQ(::mkdir(Mounted("box").c_str(), 0755), 0);
    EXPECT_EQ(::mkdir(Mounted("box").c_str(), 0755), -1);
    EXPECT_EQ(errno, EEXIST);
    ASSERT_EQ(WriteFile(Mounted("box/item.txt"), "item"), 0);
    EXPECT_EQ(::rmdir(Mounted("box").c_str()), -1);
    EXPECT_EQ(errno, ENOTEMPTY);
    EXPECT_EQ(::unlink(Mounted("box").c_str()), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(::rmdir(Mounted("box/item.txt").c_str()), -1);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_EQ(::unlink(Mounted("box/nothing").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
    ASSERT_EQ(::unlink(Mounted("box/item.txt").c_str()), 0);
    EXPECT_EQ(::rmdir(Mounted("box").c_str()), 0);
    EXPECT_EQ(::access(OnCard("box").c_str(), F_OK), -1);
    struct stat status {};
    EXPECT_EQ(::stat(Mounted("box/item.txt").c_str(), &status), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(NamesTest, NamesACardCannotHoldAreRefused) {
    struct {
        std::string name;
        int error;
    } cases[] = {
        {"star*.txt", EINVAL},
        {"what?.txt", EINVAL},
        {"back\\slash", EINVAL},
        {"colon:.txt", EINVAL},
        {"bad\xff.txt", EILSEQ},
        {std::string(256, 'n'), ENAMETOOLONG},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(::open(Mounted(c.name).c_str(), O_WRONLY | O_CREAT, 0644), -1) << c.name;
        EXPECT_EQ(errno, c.error) << c.name;
        struct stat status {};
        EXPECT_EQ(::stat(Mounted(c.name).c_str(), &status), -1) << c.name;
    }
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{});
    // The mount's own hidden names are not for programs.
    EXPECT_EQ(::open(Mounted(".quillane-unlinked-1").c_str(), O_WRONLY | O_CREAT, 0644), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(NamesTest, UnlinkedFilesAnEarlierRunLeftAreDeletedAtStart) {
    EXPECT_EQ(Unmount(), 0);
    ASSERT_EQ(WriteFile(OnCard(".quillane-unlinked-42"), "left by a run that was killed"), 0);
    ASSERT_EQ(WriteFile(OnCard("kept.txt"), "kept"), 0);
    Mount();
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{"kept.txt"});
    EXPECT_EQ(ReadFile(Mounted("kept.txt")), Bytes("kept"));
}

TEST_F(NamesTest, NamesAreFoundWithoutRegardToCase) {
    ASSERT_EQ(WriteFile(Mounted("Notes.TXT"), "notes"), 0);
    EXPECT_EQ(ReadFile(Mounted("notes.txt")), Bytes("notes"));
    EXPECT_EQ(InodeOf(Mounted("NOTES.txt")), InodeOf(Mounted("Notes.TXT")));
    // (A rename that changes only the case never reaches the mount: the
    // kernel finds both names to be one file and does nothing, as POSIX says.)
}

TEST_F(NamesTest, AFileRenamedWhileOpenEndsWithWhatItsHandleWrote) {
    const int fd = ::open(Mounted("draft.txt").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, "first ", 6), 6);
    struct stat before {};
    ASSERT_EQ(::fstat(fd, &before), 0);
    ASSERT_EQ(::mkdir(Mounted("final").c_str(), 0755), 0);
    ASSERT_EQ(::rename(Mounted("draft.txt").c_str(), Mounted("final/done.txt").c_str()), 0);
    ASSERT_EQ(::write(fd, "second", 6), 6);
    EXPECT_EQ(ReadAt(fd, 100), Bytes("first second"));
    struct stat after {};
    ASSERT_EQ(::fstat(fd, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_size, 12);
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(CardContent("final/done.txt"), Bytes("first second"));
    EXPECT_TRUE(IsCompressedOnCard("final/done.txt"));
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{"final"});
}

TEST_F(NamesTest, AFolderRenamedWithAnOpenFileInside) {
    ASSERT_EQ(::mkdir(Mounted("src").c_str(), 0755), 0);
    ASSERT_EQ(WriteFile(Mounted("src/file.txt"), CompressibleBytes(50000, 3)), 0);
    const int fd = ::open(Mounted("src/file.txt").c_str(), O_RDWR | O_APPEND);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::rename(Mounted("src").c_str(), Mounted("dst").c_str()), 0);
    ASSERT_EQ(::write(fd, "tail", 4), 4);
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(CardContent("dst/file.txt"), CompressibleBytes(50000, 3) + "tail");
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{"dst"});
}

TEST_F(NamesTest, AFileUnlinkedWhileOpenKeepsWorkingAndNeverReappears) {
    ASSERT_EQ(WriteFile(Mounted("temp.txt"), CompressibleBytes(60000, 4)), 0);
    const int fd = ::open(Mounted("temp.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    const ino_t number = InodeOf(Mounted("temp.txt"));
    ASSERT_EQ(::unlink(Mounted("temp.txt").c_str()), 0);
    EXPECT_EQ(::access(Mounted("temp.txt").c_str(), F_OK), -1);

    ASSERT_EQ(::pwrite(fd, "HEAD", 4, 0), 4);
    struct stat status {};
    ASSERT_EQ(::fstat(fd, &status), 0);
    EXPECT_EQ(status.st_nlink, 0u);
    EXPECT_EQ(status.st_size, 60000);
    EXPECT_EQ(ReadAt(fd, 4), Bytes("HEAD"));
    ASSERT_EQ(::fsync(fd), 0);

    // A new file of the same name is another file.
    ASSERT_EQ(WriteFile(Mounted("temp.txt"), "newcomer"), 0);
    EXPECT_NE(InodeOf(Mounted("temp.txt")), number);
    EXPECT_EQ(ReadAt(fd, 4), Bytes("HEAD"));

    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(ReadFile(Mounted("temp.txt")), Bytes("newcomer"));
    EXPECT_EQ(CardRootNamesOnceSettled({"temp.txt"}), std::vector<std::string>{"temp.txt"});
}

TEST_F(NamesTest, RenameOverAFileThatIsOpen) {
    ASSERT_EQ(WriteFile(Mounted("target.txt"), "old target"), 0);
    ASSERT_EQ(WriteFile(Mounted("source.txt"), "the source"), 0);
    const int fd = ::open(Mounted("target.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::rename(Mounted("source.txt").c_str(), Mounted("target.txt").c_str()), 0);
    EXPECT_EQ(ReadFile(Mounted("target.txt")), Bytes("the source"));
    EXPECT_EQ(ReadAt(fd, 100), Bytes("old target"));
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(ReadFile(Mounted("target.txt")), Bytes("the source"));
    EXPECT_EQ(CardRootNamesOnceSettled({"target.txt"}), std::vector<std::string>{"target.txt"});
}

TEST_F(NamesTest, ListingsShowTheFilesAndHideTheMountsOwn) {
    ASSERT_EQ(::mkdir(Mounted("sub").c_str(), 0755), 0);
    ASSERT_EQ(WriteFile(Mounted("one.txt"), "1"), 0);
    ASSERT_EQ(WriteFile(Mounted("sub/two.txt"), "2"), 0);
    const int fd = ::open(Mounted("one.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::unlink(Mounted("one.txt").c_str()), 0);
    std::string listing;
    ASSERT_EQ(Shell("cd " + mount_point() + " && ls -a1 . sub", &listing), 0);
    EXPECT_EQ(listing, ".:\n.\n..\nsub\n\nsub:\n.\n..\ntwo.txt\n");
    ::close(fd);
}

}  // namespace
}  // namespace quillane::mount_test
