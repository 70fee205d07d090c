// Files through a real mount: what ordinary writes leave on the card, exempt
// types, truncation, fsync, a close followed at once by an open, O_DIRECT,
// the read-only attribute, ownership, the limits of a FAT file, and files
// still open when the mount ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "mount/mount_fixture.h"

namespace quillane::mount_test {
namespace {

using FilesTest = MountTest;

// Reads the whole of an open descriptor from offset 0.
Bytes ReadAll(int fd) {
    Bytes bytes;
    char buffer[65536];
    for (off_t offset = 0;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, offset);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
    return bytes;
}

TEST_F(FilesTest, WrittenFilesAreCompressedOnTheCardAndReadBackIdentical) {
    const Bytes text = CompressibleBytes(1 << 20, 1);
    const Bytes noise = RandomBytes(300000, 2);
    ASSERT_EQ(WriteFile(Mounted("text.txt"), text), 0);
    ASSERT_EQ(WriteFile(Mounted("noise.bin"), noise), 0);
    ASSERT_EQ(Shell("printf 'hi' > " + Mounted("tiny.txt")), 0);
    ASSERT_EQ(Shell("cp " + Mounted("text.txt") + " " + Mounted("copy.txt")), 0);

    for (const char* name : {"text.txt", "noise.bin", "tiny.txt", "copy.txt"}) {
        EXPECT_TRUE(IsCompressedOnCard(name)) << name;
    }
    EXPECT_EQ(CardContent("text.txt"), text);
    EXPECT_EQ(CardContent("copy.txt"), text);
    EXPECT_EQ(CardContent("noise.bin"), noise);
    EXPECT_EQ(CardContent("tiny.txt"), Bytes("hi"));
    EXPECT_LT(ReadFile(OnCard("text.txt"))->size(), text.size() / 3);

    EXPECT_EQ(ReadFile(Mounted("text.txt")), text);
    EXPECT_EQ(ReadFile(Mounted("noise.bin")), noise);
    EXPECT_EQ(ReadFile(Mounted("tiny.txt")), Bytes("hi"));
    // Reading leaves the stored bytes and no plain copy behind.
    EXPECT_EQ(CardRootNames(), (std::vector<std::string>{"copy.txt", "noise.bin", "text.txt", "tiny.txt"}));
}

TEST_F(FilesTest, AnEmptyFileStaysEmptyAndPlain) {
    ASSERT_EQ(WriteFile(Mounted("empty.txt"), ""), 0);
    EXPECT_EQ(ReadFile(OnCard("empty.txt")), Bytes());
    EXPECT_EQ(ReadFile(Mounted("empty.txt")), Bytes());
}

TEST_F(FilesTest, ExemptTypesStayPlain) {
    SetExceptions(u".mp3");
    const Bytes sound = CompressibleBytes(200000, 3);
    ASSERT_EQ(WriteFile(Mounted("song.mp3"), sound), 0);
    ASSERT_EQ(WriteFile(Mounted("song.txt"), sound), 0);
    EXPECT_EQ(ReadFile(OnCard("song.mp3")), sound);
    EXPECT_TRUE(IsCompressedOnCard("song.txt"));
    EXPECT_EQ(ReadFile(Mounted("song.mp3")), sound);
}

TEST_F(FilesTest, TruncateShrinksAndGrowsWithAndWithoutAnOpenFile) {
    const Bytes text = CompressibleBytes(500000, 4);
    ASSERT_EQ(WriteFile(Mounted("t.txt"), text), 0);

    ASSERT_EQ(::truncate(Mounted("t.txt").c_str(), 1000), 0);
    EXPECT_EQ(CardContent("t.txt"), text.substr(0, 1000));
    ASSERT_EQ(::truncate(Mounted("t.txt").c_str(), 3000), 0);
    EXPECT_EQ(ReadFile(Mounted("t.txt")), text.substr(0, 1000) + Bytes(2000, '\0'));

    const int fd = ::open(Mounted("t.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 10), 0);
    struct stat status {};
    ASSERT_EQ(::fstat(fd, &status), 0);
    EXPECT_EQ(status.st_size, 10);
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(CardContent("t.txt"), text.substr(0, 10));

    ASSERT_EQ(::truncate(Mounted("t.txt").c_str(), 0), 0);
    EXPECT_EQ(ReadFile(OnCard("t.txt")), Bytes());
    // O_TRUNC empties a compressed file in the open itself.
    ASSERT_EQ(WriteFile(Mounted("t.txt"), text), 0);
    ASSERT_EQ(WriteFile(Mounted("t.txt"), "new"), 0);
    EXPECT_EQ(CardContent("t.txt"), Bytes("new"));
}

TEST_F(FilesTest, FsyncPutsTheCurrentContentInPlaceUnderItsName) {
    const int fd = ::open(Mounted("journal.txt").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const Bytes first = CompressibleBytes(100000, 5);
    ASSERT_EQ(::pwrite(fd, first.data(), first.size(), 0), static_cast<ssize_t>(first.size()));
    struct stat before {};
    ASSERT_EQ(::fstat(fd, &before), 0);
    ASSERT_EQ(::fsync(fd), 0);
    // While the file is still open, the card holds what fsync covered.
    EXPECT_TRUE(IsCompressedOnCard("journal.txt"));
    EXPECT_EQ(CardContent("journal.txt"), first);

    const Bytes second = "appended after the sync";
    ASSERT_EQ(::pwrite(fd, second.data(), second.size(), static_cast<off_t>(first.size())),
              static_cast<ssize_t>(second.size()));
    ASSERT_EQ(::fdatasync(fd), 0);
    EXPECT_EQ(CardContent("journal.txt"), first + second);
    struct stat after {};
    ASSERT_EQ(::fstat(fd, &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(ReadAll(fd), first + second);
    ASSERT_EQ(::close(fd), 0);
}

TEST_F(FilesTest, AFileClosedAndOpenedAtOnceHasItsNewContent) {
    for (int round = 0; round < 40; ++round) {
        const Bytes content = CompressibleBytes(20000 + round * 997, static_cast<unsigned>(round));
        ASSERT_EQ(WriteFile(Mounted("again.txt"), content), 0) << round;
        ASSERT_EQ(ReadFile(Mounted("again.txt")), content) << round;
    }
}

TEST_F(FilesTest, ReadersOfAFileReplacedByRenameSeeOneWholeVersionAndNoError) {
    // A writer puts each version in place as editors do (a new file renamed
    // over the old) while a reader opens and reads the name again and
    // again: every read must succeed and give one whole version. Versions
    // have one length and one byte repeated, so a mix or a short read shows.
    constexpr size_t kLength = 150000;
    ASSERT_EQ(WriteFile(Mounted("shared.txt"), Bytes(kLength, 'a')), 0);
    std::atomic<bool> done{false};
    std::atomic<int> failed_reads{0};
    std::atomic<int> mixed_reads{0};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!done.load()) {
            const std::optional<Bytes> seen = ReadFile(Mounted("shared.txt"));
            ++reads;
            if (!seen) {
                ++failed_reads;
            } else if (seen->size() != kLength || seen->find_first_not_of((*seen)[0]) != Bytes::npos) {
                ++mixed_reads;
            }
        }
    });
    for (int round = 0; round < 30; ++round) {
        ASSERT_EQ(WriteFile(Mounted("shared.new"), Bytes(kLength, static_cast<char>('b' + round % 20))), 0);
        ASSERT_EQ(::rename(Mounted("shared.new").c_str(), Mounted("shared.txt").c_str()), 0);
    }
    done = true;
    reader.join();
    EXPECT_EQ(failed_reads.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_EQ(mixed_reads.load(), 0) << "of " << reads.load() << " reads";
    EXPECT_TRUE(CardContent("shared.txt") == Bytes(kLength, static_cast<char>('b' + 29 % 20)));
    EXPECT_EQ(CardRootNamesOnceSettled({"shared.txt"}), std::vector<std::string>{"shared.txt"});
}

TEST_F(FilesTest, SeveralProgramsAtOnce) {
    // Four writers in parallel, each its own files, through the threads of
    // the mount at the same time.
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int writer = 0; writer < 4; ++writer) {
        writers.emplace_back([&, writer] {
            for (int file = 0; file < 10; ++file) {
                const std::string name = "w" + std::to_string(writer) + "-" + std::to_string(file) + ".txt";
                const Bytes content = CompressibleBytes(30000, static_cast<unsigned>(writer * 100 + file));
                if (WriteFile(Mounted(name), content) != 0 || ReadFile(Mounted(name)) != content) ++failures;
            }
        });
    }
    for (auto& writer : writers) writer.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(CardContent("w3-9.txt"), CompressibleBytes(30000, 309));
}

TEST_F(FilesTest, DirectIoIsAcceptedAndNotPassedToTheCard) {
    constexpr size_t kSize = 8192;
    void* aligned = nullptr;
    ASSERT_EQ(::posix_memalign(&aligned, 4096, kSize), 0);
    std::unique_ptr<void, decltype(&std::free)> buffer(aligned, &std::free);
    const Bytes content = CompressibleBytes(kSize, 6);
    std::memcpy(buffer.get(), content.data(), kSize);
    const int fd = ::open(Mounted("direct.txt").c_str(), O_WRONLY | O_CREAT | O_DIRECT, 0644);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(::write(fd, buffer.get(), kSize), static_cast<ssize_t>(kSize));
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(CardContent("direct.txt"), content);
}

TEST_F(FilesTest, TheReadOnlyAttributeFollowsTheWriteBits) {
    ASSERT_EQ(WriteFile(Mounted("ro.txt"), "keep me"), 0);
    ASSERT_EQ(::chmod(Mounted("ro.txt").c_str(), 0444), 0);
    struct stat status {};
    ASSERT_EQ(::stat(Mounted("ro.txt").c_str(), &status), 0);
    // The default umask of 022 shows files rwxr-xr-x, as on vfat.
    EXPECT_EQ(status.st_mode & 0777, 0555u);
    EXPECT_EQ(::open(Mounted("ro.txt").c_str(), O_WRONLY), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(ReadFile(Mounted("ro.txt")), Bytes("keep me"));

    ASSERT_EQ(::chmod(Mounted("ro.txt").c_str(), 0644), 0);
    ASSERT_EQ(::stat(Mounted("ro.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0755u);
    EXPECT_EQ(WriteFile(Mounted("ro.txt"), "changed"), 0);
    EXPECT_EQ(ReadFile(Mounted("ro.txt")), Bytes("changed"));

    // POSIX removes a file whatever its own mode says.
    ASSERT_EQ(::chmod(Mounted("ro.txt").c_str(), 0444), 0);
    EXPECT_EQ(::unlink(Mounted("ro.txt").c_str()), 0) << std::strerror(errno);
    EXPECT_EQ(::access(OnCard("ro.txt").c_str(), F_OK), -1);
}

TEST_F(FilesTest, FilesBelongToTheMountingUser) {
    ASSERT_EQ(WriteFile(Mounted("mine.txt"), "x"), 0);
    struct stat status {};
    ASSERT_EQ(::stat(Mounted("mine.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, ::getuid());
    EXPECT_EQ(status.st_gid, ::getgid());
    EXPECT_EQ(::chown(Mounted("mine.txt").c_str(), ::getuid(), ::getgid()), 0);
    EXPECT_EQ(::chown(Mounted("mine.txt").c_str(), ::getuid() + 1000, static_cast<gid_t>(-1)), -1);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(::chown(Mounted("mine.txt").c_str(), static_cast<uid_t>(-1), ::getgid() + 1000), -1);
    EXPECT_EQ(errno, EPERM);
}

TEST_F(FilesTest, WritesPastTheLargestFatFileFail) {
    const int fd = ::open(Mounted("big.txt").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::pwrite(fd, "x", 1, 0x100000000LL), -1);
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(::ftruncate(fd, 0x100000000LL), -1);
    EXPECT_EQ(errno, EFBIG);
    char byte = 0;
    EXPECT_EQ(::pread(fd, &byte, 1, 0x100000000LL), 0);
    ASSERT_EQ(::close(fd), 0);
}

TEST_F(FilesTest, SetTimesReachTheCardAlsoForACompressedFile) {
    ASSERT_EQ(WriteFile(Mounted("dated.txt"), CompressibleBytes(50000, 7)), 0);
    ASSERT_TRUE(IsCompressedOnCard("dated.txt"));
    const timespec times[2] = {{1000000000, 0}, {1200000000, 500000000}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Mounted("dated.txt").c_str(), times, 0), 0);
    struct stat through {}, behind {};
    ASSERT_EQ(::stat(Mounted("dated.txt").c_str(), &through), 0);
    ASSERT_EQ(::stat(OnCard("dated.txt").c_str(), &behind), 0);
    EXPECT_EQ(through.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(through.st_mtim.tv_nsec, 500000000);
    EXPECT_EQ(behind.st_mtim.tv_sec, 1200000000);
    EXPECT_TRUE(IsCompressedOnCard("dated.txt"));
    EXPECT_EQ(CardContent("dated.txt"), CompressibleBytes(50000, 7));
}

TEST_F(FilesTest, MemoryMappingsSeePlainDataAndWriteThroughToTheCard) {
    const Bytes content = CompressibleBytes(200000, 10);
    ASSERT_EQ(WriteFile(Mounted("mapped.txt"), content), 0);
    ASSERT_TRUE(IsCompressedOnCard("mapped.txt"));
    const int fd = ::open(Mounted("mapped.txt").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    void* mapping = ::mmap(nullptr, content.size(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ASSERT_NE(mapping, MAP_FAILED) << std::strerror(errno);
    // The descriptor goes first: the mapping keeps the file open.
    ASSERT_EQ(::close(fd), 0);
    auto* bytes = static_cast<char*>(mapping);
    EXPECT_EQ(Bytes(bytes, content.size()), content);
    std::memcpy(bytes + 1000, "MAPPED", 6);
    ASSERT_EQ(::msync(mapping, content.size(), MS_SYNC), 0);
    ASSERT_EQ(::munmap(mapping, content.size()), 0);
    Bytes expected = content;
    expected.replace(1000, 6, "MAPPED");
    EXPECT_TRUE(ReadFile(Mounted("mapped.txt")) == expected);
    // The last release puts it in place; it comes after munmap returns.
    for (int i = 0; i < 1000 && CardContent("mapped.txt") != expected; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_TRUE(CardContent("mapped.txt") == expected);
}

class EndOfMountTest : public MountTest {};

TEST_F(EndOfMountTest, FilesOpenAtASignalAreCompressedAndIntact) {
    const Bytes kept = CompressibleBytes(400000, 8);
    const int written = ::open(Mounted("open-written.txt").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(written, 0);
    ASSERT_EQ(::write(written, kept.data(), kept.size()), static_cast<ssize_t>(kept.size()));
    const int gone = ::open(Mounted("open-unlinked.txt").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(gone, 0);
    ASSERT_EQ(::write(gone, "bye", 3), 3);
    ASSERT_EQ(::unlink(Mounted("open-unlinked.txt").c_str()), 0);

    EXPECT_EQ(StopWithSignal(SIGTERM), 0);
    ::close(written);  // the mount is gone; the close reaches nobody
    ::close(gone);
    EXPECT_TRUE(IsCompressedOnCard("open-written.txt"));
    EXPECT_EQ(CardContent("open-written.txt"), kept);
    // Nothing stays behind: no plain copy, no staging file, no unlinked file.
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{"open-written.txt"});
}

TEST_F(EndOfMountTest, FusermountWaitsForOpenFilesAndThenTheyAreInPlace) {
    const Bytes kept = CompressibleBytes(300000, 9);
    const int fd = ::open(Mounted("held.txt").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, kept.data(), kept.size()), static_cast<ssize_t>(kept.size()));
    // Busy: a plain unmount is refused, a lazy one waits for the last close.
    EXPECT_NE(Shell("fusermount3 -u " + mount_point() + " 2>/dev/null"), 0);
    ASSERT_EQ(Shell("fusermount3 -u -z " + mount_point()), 0);
    ASSERT_EQ(::close(fd), 0);
    EXPECT_EQ(Unmount(), 0);
    EXPECT_EQ(CardContent("held.txt"), kept);
    EXPECT_TRUE(IsCompressedOnCard("held.txt"));
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{"held.txt"});
}

TEST_F(EndOfMountTest, SigintEndsTheMount) {
    ASSERT_EQ(WriteFile(Mounted("a.txt"), "a"), 0);
    EXPECT_EQ(StopWithSignal(SIGINT), 0);
    EXPECT_FALSE(IsMounted());
    EXPECT_EQ(CardContent("a.txt"), Bytes("a"));
}

}  // namespace
}  // namespace quillane::mount_test
