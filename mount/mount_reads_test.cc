// Reads through a real mount: served from the card's own bytes, they write
// nothing on the card; a damaged block fails only its own range; mappings
// and sendfile read from the blocks; readers and writers of one file see
// what a local file system shows them.
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "filter/codec/codec.h"
#include "filter/codec/codec_buffers.h"
#include "mount/mount_fixture.h"

namespace quillane::mount_test {
namespace {

using ReadsTest = MountTest;

constexpr size_t kBlock = kCodecBlockSize;

// Everything the card folder holds, as a host program sees it: names,
// kinds, sizes, times and contents.
using Snapshot = std::map<std::string, std::tuple<mode_t, off_t, long long, Bytes>>;

Snapshot SnapshotOf(const std::string& folder) {
    Snapshot snapshot;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        struct stat status {};
        if (::lstat(entry.path().c_str(), &status) != 0) continue;
        const long long modified = status.st_mtim.tv_sec * 1000000000LL + status.st_mtim.tv_nsec;
        snapshot[entry.path().string()] = {status.st_mode, status.st_size, modified,
                                           S_ISREG(status.st_mode) ? ReadFile(entry.path()).value_or("?") : ""};
    }
    return snapshot;
}

// Puts a compressed file on the card behind the mount's back.
void PutCompressed(const std::string& path, const Bytes& plain) {
    Bytes compressed;
    ASSERT_EQ(CodecEncodeBuffer(plain, compressed), kCodecCompleted);
    ASSERT_EQ(WriteFile(path, compressed), 0);
}

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

TEST_F(ReadsTest, ReadingEveryKindOfFileWritesNothingOnTheCard) {
    const Bytes text = CompressibleBytes(3 * kBlock + 1000, 1);
    const Bytes noise = RandomBytes(kBlock + 7, 2);
    SetExceptions(u"*.jpg");
    ASSERT_EQ(WriteFile(Mounted("text.txt"), text), 0);
    ASSERT_EQ(WriteFile(Mounted("noise.bin"), noise), 0);
    ASSERT_EQ(WriteFile(Mounted("photo.jpg"), noise), 0);
    ASSERT_EQ(WriteFile(Mounted("empty.txt"), ""), 0);
    ASSERT_EQ(::mkdir(Mounted("folder").c_str(), 0755), 0);
    ASSERT_EQ(WriteFile(Mounted("folder/inner.txt"), text), 0);
    ASSERT_EQ(Shell("chmod a-w " + Mounted("folder/inner.txt")), 0);
    ASSERT_TRUE(IsCompressedOnCard("text.txt"));
    ASSERT_FALSE(IsCompressedOnCard("photo.jpg"));
    ASSERT_EQ(CardRootNamesOnceSettled({"empty.txt", "folder", "noise.bin", "photo.jpg", "text.txt"}),
              (std::vector<std::string>{"empty.txt", "folder", "noise.bin", "photo.jpg", "text.txt"}));
    const Snapshot before = SnapshotOf(card());

    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    constexpr uint32_t kChanges =
        IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE;
    ASSERT_GE(::inotify_add_watch(watch, card().c_str(), kChanges), 0);
    ASSERT_GE(::inotify_add_watch(watch, OnCard("folder").c_str(), kChanges), 0);

    EXPECT_EQ(ReadFile(Mounted("text.txt")), text);
    EXPECT_EQ(ReadFile(Mounted("noise.bin")), noise);
    EXPECT_EQ(ReadFile(Mounted("photo.jpg")), noise);
    EXPECT_EQ(ReadFile(Mounted("empty.txt")), Bytes());
    EXPECT_EQ(ReadFile(Mounted("folder/inner.txt")), text);
    std::string output;
    EXPECT_EQ(Shell("head -c 1 " + Mounted("text.txt"), &output), 0);
    EXPECT_EQ(output, text.substr(0, 1));
    EXPECT_EQ(Shell("grep -l card -r " + mount_point() + " >/dev/null; ls -lR " + mount_point() +
                    " >/dev/null; du -a " + mount_point() + " >/dev/null; df " + mount_point() + " >/dev/null"),
              0);
    {
        const int fd = ::open(Mounted("text.txt").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        char byte = 0;
        EXPECT_EQ(::pread(fd, &byte, 1, static_cast<off_t>(2 * kBlock + 5)), 1);
        EXPECT_EQ(byte, text[2 * kBlock + 5]);
        ::close(fd);
    }

    char events[4096];
    const ssize_t got = ::read(watch, events, sizeof events);
    EXPECT_EQ(got, -1) << "the card folder changed while files were read";
    ::close(watch);
    EXPECT_EQ(SnapshotOf(card()), before);
}

TEST_F(ReadsTest, ADamagedBlockFailsItsOwnRangeOnly) {
    // Four blocks; the third one's zlib stream is damaged in its middle.
    const Bytes plain = CompressibleBytes(4 * kBlock, 3);
    Bytes compressed;
    ASSERT_EQ(CodecEncodeBuffer(plain, compressed), kCodecCompleted);
    size_t at = kCodecSignatureSize;
    for (int block = 0; block < 2; ++block) {
        CodecBlockHeader header{};
        ASSERT_TRUE(CodecReadHeader(reinterpret_cast<const BYTE*>(compressed.data() + at), &header));
        at += kCodecHeaderSize + header.payloadLength;
    }
    CodecBlockHeader third{};
    ASSERT_TRUE(CodecReadHeader(reinterpret_cast<const BYTE*>(compressed.data() + at), &third));
    ASSERT_TRUE(third.compressed);
    for (size_t i = 0; i < 16; ++i) compressed[at + kCodecHeaderSize + third.payloadLength / 2 + i] ^= 0x5A;
    ASSERT_EQ(WriteFile(OnCard("damaged.txt"), compressed), 0);
    const Snapshot before = SnapshotOf(card());

    const int fd = ::open(Mounted("damaged.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    struct stat status {};
    ASSERT_EQ(::fstat(fd, &status), 0);
    EXPECT_EQ(status.st_size, static_cast<off_t>(plain.size()));
    // Pages from the last block back to the first, so that the kernel's
    // read-ahead runs into the damage from both sides.
    std::vector<size_t> pages;
    for (size_t page = 0; page < plain.size() / 4096; ++page) pages.push_back(page);
    std::shuffle(pages.begin(), pages.end(), std::mt19937(4));
    for (const size_t page : pages) {
        SCOPED_TRACE(testing::Message() << "page " << page);
        char buffer[4096];
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(page * 4096));
        if (page * 4096 / kBlock == 2) {
            EXPECT_EQ(n, -1);
            EXPECT_EQ(errno, EIO);
        } else {
            ASSERT_EQ(n, 4096);
            EXPECT_EQ(Bytes(buffer, 4096), plain.substr(page * 4096, 4096));
        }
    }
    ::close(fd);
    // A program that reads it all stops with the error; one that reads
    // around the damage gets every sound byte.
    EXPECT_NE(Shell("cat " + Mounted("damaged.txt") + " >/dev/null"), 0);
    std::string output;
    EXPECT_EQ(Shell("dd if=" + Mounted("damaged.txt") + " bs=128K skip=3 status=none | wc -c", &output), 0);
    EXPECT_EQ(output, std::to_string(kBlock) + "\n");
    EXPECT_EQ(SnapshotOf(card()), before);
}

TEST_F(ReadsTest, MappingsAndSendfileReadFromTheBlocks) {
    const Bytes text = CompressibleBytes(5 * kBlock + 333, 5);
    PutCompressed(OnCard("mapped.txt"), text);
    const Snapshot before = SnapshotOf(card());

    const int fd = ::open(Mounted("mapped.txt").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    void* mapping = ::mmap(nullptr, text.size(), PROT_READ, MAP_SHARED, fd, 0);
    ASSERT_NE(mapping, MAP_FAILED) << std::strerror(errno);
    EXPECT_EQ(Bytes(static_cast<const char*>(mapping), text.size()), text);
    ::munmap(mapping, text.size());
    mapping = ::mmap(nullptr, text.size(), PROT_READ, MAP_PRIVATE, fd, 0);
    ASSERT_NE(mapping, MAP_FAILED);
    EXPECT_EQ(Bytes(static_cast<const char*>(mapping) + 3 * kBlock, 1000), text.substr(3 * kBlock, 1000));
    ::munmap(mapping, text.size());

    const std::string copy = scratch() + "/sent.txt";
    const int out = ::open(copy.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(out, 0);
    off_t offset = 0;
    while (offset < static_cast<off_t>(text.size())) {
        const ssize_t sent = ::sendfile(out, fd, &offset, text.size() - static_cast<size_t>(offset));
        ASSERT_GT(sent, 0) << std::strerror(errno);
    }
    ::close(out);
    ::close(fd);
    EXPECT_EQ(ReadFile(copy), text);
    EXPECT_EQ(SnapshotOf(card()), before);
}

TEST_F(ReadsTest, ReadersAndAWriterOfOneFileSeeWhatALocalFileSystemShows) {
    // The same steps on a file through the mount and on a file of the
    // scratch folder (the model); every read must agree.
    const Bytes start = CompressibleBytes(3 * kBlock + 500, 6);
    PutCompressed(OnCard("shared.txt"), start);
    const std::string model_path = scratch() + "/model.txt";
    ASSERT_EQ(WriteFile(model_path, start), 0);

    std::mt19937 generator(7);
    const int model = ::open(model_path.c_str(), O_RDWR);
    ASSERT_GE(model, 0);
    // A reader that opened before any writer, and one opened later.
    int early_reader = ::open(Mounted("shared.txt").c_str(), O_RDONLY);
    ASSERT_GE(early_reader, 0);
    int late_reader = -1;
    int writer = -1;
    for (int step = 0; step < 300; ++step) {
        SCOPED_TRACE(testing::Message() << "step " << step);
        const unsigned action = generator() % 10;
        if (action < 3) {
            if (writer < 0) writer = ::open(Mounted("shared.txt").c_str(), O_RDWR);
            ASSERT_GE(writer, 0);
            const Bytes data = CompressibleBytes(1 + generator() % 20000, static_cast<unsigned>(step));
            const off_t offset = static_cast<off_t>(generator() % (4 * kBlock));
            ASSERT_EQ(::pwrite(writer, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
            ASSERT_EQ(::pwrite(model, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
        } else if (action == 3 && writer >= 0) {
            ASSERT_EQ(::close(writer), 0);
            writer = -1;
        } else if (action == 4) {
            if (late_reader >= 0) ::close(late_reader);
            late_reader = ::open(Mounted("shared.txt").c_str(), O_RDONLY);
            ASSERT_GE(late_reader, 0);
        } else {
            const int reader = action % 2 == 0 || late_reader < 0 ? early_reader : late_reader;
            const size_t length = 1 + generator() % (2 * kBlock);
            const off_t offset = static_cast<off_t>(generator() % (5 * kBlock));
            Bytes got(length, '\0'), expected(length, '\0');
            const ssize_t n = ::pread(reader, got.data(), length, offset);
            const ssize_t m = ::pread(model, expected.data(), length, offset);
            ASSERT_EQ(n, m);
            got.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
            expected.resize(static_cast<size_t>(std::max<ssize_t>(m, 0)));
            ASSERT_EQ(got, expected);
        }
    }
    if (writer >= 0) {
        ASSERT_EQ(::close(writer), 0);
    }
    if (late_reader >= 0) ::close(late_reader);
    EXPECT_EQ(ReadAll(early_reader), ReadAll(model));
    ::close(early_reader);
    const Bytes final_content = ReadAll(model);
    ::close(model);
    EXPECT_EQ(CardRootNamesOnceSettled({"shared.txt"}), std::vector<std::string>{"shared.txt"});
    EXPECT_EQ(CardContent("shared.txt"), final_content);
    EXPECT_EQ(ReadFile(Mounted("shared.txt")), final_content);
}

TEST_F(ReadsTest, AWritersCloseGoesInPlaceWhileReadersStillHaveTheFileOpen) {
    const Bytes old_text = CompressibleBytes(2 * kBlock, 13), new_text = CompressibleBytes(3 * kBlock + 10, 14);
    PutCompressed(OnCard("kept.txt"), old_text);
    const int reader = ::open(Mounted("kept.txt").c_str(), O_RDONLY);
    ASSERT_GE(reader, 0);
    char byte = 0;
    ASSERT_EQ(::pread(reader, &byte, 1, 0), 1);
    ASSERT_EQ(WriteFile(Mounted("kept.txt"), new_text), 0);
    // Compressed on the card at the writer's close, the reader still open.
    EXPECT_EQ(CardContent("kept.txt"), new_text);
    EXPECT_TRUE(IsCompressedOnCard("kept.txt"));
    EXPECT_EQ(ReadAll(reader), new_text);
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{"kept.txt"});
    ::close(reader);
}

TEST_F(ReadsTest, AReaderAcrossACloseThatReplacesTheFileReadsOneVersionPerRead) {
    // Two versions that differ in every page.
    const size_t size = 4 * kBlock;
    const Bytes versions[2] = {CompressibleBytes(size, 8), CompressibleBytes(size, 9)};
    ASSERT_EQ(WriteFile(Mounted("replaced.txt"), versions[0]), 0);

    std::atomic<bool> done{false};
    std::atomic<int> mixed{0}, failed{0};
    // A read of a page that a write is filling may see part of each, on a
    // local file system too; the reads here run across opens and closes,
    // not across the writes themselves.
    std::mutex writing;
    std::thread reader([&] {
        const int fd = ::open(Mounted("replaced.txt").c_str(), O_RDONLY);
        if (fd < 0) {
            ++failed;
            return;
        }
        std::mt19937 generator(10);
        while (!done) {
            const size_t page = generator() % (size / 4096);
            char buffer[4096];
            std::unique_lock lock(writing);
            const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(page * 4096));
            lock.unlock();
            if (n != 4096) {
                ++failed;
                continue;
            }
            const Bytes got(buffer, sizeof buffer);
            if (got != versions[0].substr(page * 4096, 4096) && got != versions[1].substr(page * 4096, 4096)) ++mixed;
        }
        ::close(fd);
    });
    // Each round writes the other version over the whole file, without
    // emptying it first, and the close puts it in place.
    for (int round = 1; round <= 6; ++round) {
        const int writer = ::open(Mounted("replaced.txt").c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        const Bytes& version = versions[round % 2];
        {
            std::lock_guard lock(writing);
            ASSERT_EQ(::pwrite(writer, version.data(), version.size(), 0), static_cast<ssize_t>(version.size()));
        }
        ASSERT_EQ(::close(writer), 0);
    }
    done = true;
    reader.join();
    EXPECT_EQ(mixed, 0);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(ReadFile(Mounted("replaced.txt")), versions[0]);
    EXPECT_EQ(CardContent("replaced.txt"), versions[0]);
}

// Every change a program may try, and the errno each gave.
std::vector<std::pair<std::string, int>> ChangesTried(const std::function<std::string(std::string_view)>& mounted) {
    std::vector<std::pair<std::string, int>> results;
    auto result = [&](const std::string& what, int outcome) { results.emplace_back(what, outcome < 0 ? errno : 0); };
    int fd = ::open(mounted("text.txt").c_str(), O_WRONLY);
    result("open for writing", fd);
    if (fd >= 0) ::close(fd);
    fd = ::open(mounted("new.txt").c_str(), O_WRONLY | O_CREAT, 0644);
    result("create", fd);
    if (fd >= 0) ::close(fd);
    result("truncate", ::truncate(mounted("text.txt").c_str(), 10));
    result("mkdir", ::mkdir(mounted("new-folder").c_str(), 0755));
    result("unlink", ::unlink(mounted("photo.jpg").c_str()));
    result("rmdir", ::rmdir(mounted("folder").c_str()));
    result("rename", ::rename(mounted("text.txt").c_str(), mounted("moved.txt").c_str()));
    result("chmod", ::chmod(mounted("text.txt").c_str(), 0444));
    result("set times", ::utimensat(AT_FDCWD, mounted("text.txt").c_str(), nullptr, 0));
    return results;
}

TEST_F(ReadsTest, AWriteProtectedCardIsReadableAndRefusesEveryChange) {
    const Bytes text = CompressibleBytes(2 * kBlock + 99, 11);
    const Bytes noise = RandomBytes(5000, 12);
    SetExceptions(u"*.jpg");
    ASSERT_EQ(WriteFile(Mounted("text.txt"), text), 0);
    ASSERT_EQ(WriteFile(Mounted("photo.jpg"), noise), 0);
    ASSERT_EQ(WriteFile(Mounted("empty.txt"), ""), 0);
    ASSERT_EQ(::mkdir(Mounted("folder").c_str(), 0755), 0);
    ASSERT_EQ(WriteFile(Mounted("folder/inner.txt"), text), 0);
    ASSERT_EQ(WriteFile(OnCard("plain.txt"), text), 0);  // put there before the card was converted
    ASSERT_EQ(Unmount(), 0);
    const Snapshot before = SnapshotOf(card());

    const std::string locked = scratch() + "/locked";
    ASSERT_EQ(::mkdir(locked.c_str(), 0755), 0);
    const bool bound = ::geteuid() == 0 && Shell("mount --bind " + card() + " " + locked + " && mount -o remount,bind,ro " +
                                                 locked + " 2>/dev/null") == 0;
    struct Unbind {
        std::string folder;
        bool bound;
        ~Unbind() {
            if (bound) Shell("umount -l " + folder);
        }
    } unbind{locked, bound};

    struct Case {
        const char* name;
        bool bind;  // the card folder is a read-only bind mount, as a locked card is
        std::vector<std::string> options;
    };
    const Case cases[] = {{"locked card", true, {}}, {"-o ro", false, {"-o", "ro"}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.bind && !bound) {
            std::printf("skipped the %s case: a read-only bind mount needs root and mount(8)\n", c.name);
            continue;
        }
        served_card_ = c.bind ? locked : "";
        driver_options_ = c.options;
        Mount();
        ASSERT_TRUE(IsMounted());
        EXPECT_NE(DriverLog().find("read-only"), std::string::npos) << DriverLog();

        EXPECT_EQ(ReadFile(Mounted("text.txt")), text);
        EXPECT_EQ(ReadFile(Mounted("photo.jpg")), noise);
        EXPECT_EQ(ReadFile(Mounted("empty.txt")), Bytes());
        EXPECT_EQ(ReadFile(Mounted("folder/inner.txt")), text);
        EXPECT_EQ(ReadFile(Mounted("plain.txt")), text);
        const int fd = ::open(Mounted("text.txt").c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        void* mapping = ::mmap(nullptr, text.size(), PROT_READ, MAP_SHARED, fd, 0);
        ASSERT_NE(mapping, MAP_FAILED);
        EXPECT_EQ(Bytes(static_cast<const char*>(mapping), text.size()), text);
        ::munmap(mapping, text.size());
        ::close(fd);
        std::string listing;
        EXPECT_EQ(Shell("ls -lR " + mount_point() + " >/dev/null && df " + mount_point(), &listing), 0);

        for (const auto& [what, error] : ChangesTried([&](std::string_view name) { return Mounted(name); })) {
            EXPECT_EQ(error, EROFS) << what << ": " << std::strerror(error);
        }
        ASSERT_EQ(Unmount(), 0);
        EXPECT_EQ(SnapshotOf(card()), before);
    }
    served_card_.clear();
    driver_options_.clear();
    Mount();
}

}  // namespace
}  // namespace quillane::mount_test
