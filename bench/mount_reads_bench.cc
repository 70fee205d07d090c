// Reads from the card's blocks through the mount (see mount_reads_bench.h).
//
// The data is real text: the headers under /usr/include, one after another
// (again from the first once they run out) up to 256 MiB. Each figure is
// the best of interleaved rounds, since load from elsewhere only ever slows
// a run down. "Through the filter" is the way every open went before reads
// were served from the blocks: an open for writing still takes it, so
// opening read-write and reading shows what reading used to cost.
#include "bench/mount_reads_bench.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "filter/codec/codec.h"
#include "filter/codec/codec_buffers.h"

namespace {

constexpr size_t kSize = 256u << 20;
constexpr size_t kReadChunk = 1u << 20;
constexpr int kRounds = 3;
constexpr int kRandomReads = 2000;

using Clock = std::chrono::steady_clock;

double Seconds(const std::function<bool()>& body) {
    const auto start = Clock::now();
    if (!body()) return -1;
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Keeps the best (least) time of the rounds.
struct Best {
    double seconds = 0;
    bool failed = false;
    void Add(double measured) {
        if (measured < 0) failed = true;
        if (measured >= 0 && (seconds == 0 || measured < seconds)) seconds = measured;
    }
};

std::string RealText(size_t size) {
    std::vector<std::filesystem::path> headers;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(
             "/usr/include", std::filesystem::directory_options::skip_permission_denied)) {
        if (entry.is_regular_file() && entry.path().extension() == ".h") headers.push_back(entry.path());
    }
    std::sort(headers.begin(), headers.end());
    std::string text;
    text.reserve(size);
    while (text.size() < size && !headers.empty()) {
        for (const auto& path : headers) {
            std::ifstream in(path, std::ios::binary);
            text.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (text.size() >= size) break;
        }
    }
    text.resize(size);
    return text;
}

bool WriteAll(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// Reads a whole file through an open with `flags`; false unless it had `size` bytes.
bool ReadThrough(const std::string& path, int flags, size_t size) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    static std::vector<char> buffer(kReadChunk);
    size_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) total += static_cast<size_t>(n);
    return ::close(fd) == 0 && total == size;
}

bool FirstByte(const std::string& path, int flags, char expected) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return false;
    char byte = 0;
    const bool ok = ::pread(fd, &byte, 1, 0) == 1 && byte == expected;
    return ::close(fd) == 0 && ok;
}

// The bytes the process has had written to storage so far (its page-cache
// writes included, so a file made and deleted at once still counts).
long long WrittenBytes(pid_t pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "write_bytes:") return value;
    }
    return -1;
}

// Expands every block of a compressed file in memory, as the mount does,
// on one thread.
bool DecodeBlocks(const std::string& compressed, size_t plain_size) {
    static std::vector<BYTE> data(kCodecBlockSize);
    size_t at = kCodecSignatureSize, plain = 0;
    const auto* bytes = reinterpret_cast<const BYTE*>(compressed.data());
    while (at + kCodecHeaderSize <= compressed.size()) {
        CodecBlockHeader header{};
        if (!CodecReadHeader(bytes + at, &header)) return false;
        at += kCodecHeaderSize;
        DWORD produced = header.dataLength;
        if (header.compressed &&
            CodecDecodeBlock(bytes + at, header.payloadLength, TRUE, data.data(), header.dataLength, &produced) !=
                kCodecCompleted) {
            return false;
        }
        at += header.payloadLength;
        plain += produced;
    }
    return plain == plain_size;
}

void PrintRow(const char* figure, const char* goal, double value, const char* unit, bool met, const std::string& now) {
    std::printf("%-58s %-8s %10.3f %-4s %-5s %s\n", figure, goal, value, unit, met ? "met" : "NOT", now.c_str());
}

}  // namespace

bool MeasureReadsFromBlocks(const ReadsBenchFolders& folders) {
    std::printf("\nmount_bench: reads from the blocks (256 MiB of /usr/include headers)\n");
    const std::string text = RealText(kSize);
    std::string compressed;
    compressed.reserve(kSize / 3);
    if (text.size() != kSize || CodecEncodeBuffer(text, compressed) != kCodecCompleted) return false;
    const size_t blocks = (kSize + kCodecBlockSize - 1) / kCodecBlockSize;
    // Written behind the mount, as a card converted elsewhere holds them.
    const std::string big = "/reads-big.txt", exempt = "/reads-big.mp3";
    if (!WriteAll(folders.card + big, compressed) || !WriteAll(folders.card + exempt, text) ||
        !WriteAll(folders.pass_source + exempt, text)) {
        return false;
    }
    const std::string mounted = folders.card_mount + big;

    Best first_byte, first_byte_filter, sequential, sequential_filter, decode, random_read, exempt_read, pass_read;
    long long written_reading = -1, written_filter = -1;
    std::mt19937 generator(12);
    for (int round = 0; round < kRounds; ++round) {
        first_byte.Add(Seconds([&] { return FirstByte(mounted, O_RDONLY, text[0]); }));
        first_byte_filter.Add(Seconds([&] { return FirstByte(mounted, O_RDWR, text[0]); }));
        decode.Add(Seconds([&] { return DecodeBlocks(compressed, kSize); }));
        sequential.Add(Seconds([&] { return ReadThrough(mounted, O_RDONLY, kSize); }));
        sequential_filter.Add(Seconds([&] { return ReadThrough(mounted, O_RDWR, kSize); }));
        exempt_read.Add(Seconds([&] { return ReadThrough(folders.card_mount + exempt, O_RDONLY, kSize); }));
        pass_read.Add(Seconds([&] { return ReadThrough(folders.pass_mount + exempt, O_RDONLY, kSize); }));

        // Random 4 KiB reads of one open, after a first read; the program
        // tells the kernel it reads at random, so that each read asks the
        // mount for its own page.
        const int fd = ::open(mounted.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
        char page[4096];
        bool ok = ::pread(fd, page, sizeof page, 0) == static_cast<ssize_t>(sizeof page);
        random_read.Add(Seconds([&] {
            for (int i = 0; ok && i < kRandomReads; ++i) {
                const off_t offset = static_cast<off_t>(generator() % (kSize / 4096)) * 4096;
                ok = ::pread(fd, page, sizeof page, offset) == static_cast<ssize_t>(sizeof page) &&
                     std::equal(page, page + 16, text.data() + offset);
            }
            return ok;
        }) / kRandomReads);
        ::close(fd);
    }

    // Every file of the card read once, then the same through the filter.
    const auto read_every_file = [&](int flags) {
        bool ok = true;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(folders.card_mount)) {
            if (!entry.is_regular_file()) continue;
            ok = ReadThrough(entry.path(), flags, static_cast<size_t>(entry.file_size())) && ok;
        }
        return ok;
    };
    long long before = WrittenBytes(folders.mount_driver);
    if (read_every_file(O_RDONLY)) written_reading = WrittenBytes(folders.mount_driver) - before;
    before = WrittenBytes(folders.mount_driver);
    if (read_every_file(O_RDWR)) written_filter = WrittenBytes(folders.mount_driver) - before;

    const double block_decode = decode.seconds / static_cast<double>(blocks);
    char now[128];
    std::printf("%-58s %-8s %10s %-4s %-5s %s\n", "figure", "goal", "measured", "", "", "through the filter");
    std::snprintf(now, sizeof now, "%.3f s", first_byte_filter.seconds);
    PrintRow("time to first byte, 256 MiB compressed file", "<= 5", first_byte.seconds * 1000, "ms",
             !first_byte.failed && first_byte.seconds <= 0.005, now);
    std::snprintf(now, sizeof now, "%lld bytes", written_filter);
    PrintRow("bytes written to the card reading every file (MiB)", "0", static_cast<double>(written_reading) / (1 << 20),
             "MiB", written_reading == 0, now);
    PrintRow("sequential read MB/s / in-memory decode MB/s of its blocks", ">= 0.8",
             decode.seconds / sequential.seconds, "x", !sequential.failed && decode.seconds / sequential.seconds >= 0.8,
             "");
    std::snprintf(now, sizeof now, "%.0f MB/s here, %.0f MB/s through the filter",
                  static_cast<double>(kSize) / 1e6 / sequential.seconds,
                  static_cast<double>(kSize) / 1e6 / sequential_filter.seconds);
    PrintRow("sequential read speed / through the filter", ">= 2", sequential_filter.seconds / sequential.seconds, "x",
             !sequential_filter.failed && sequential_filter.seconds / sequential.seconds >= 2, now);
    std::snprintf(now, sizeof now, "%.0f us a read, %.0f us a block decode", random_read.seconds * 1e6,
                  block_decode * 1e6);
    PrintRow("random 4 KiB read / one block decode", "<= 1", random_read.seconds / block_decode, "x",
             !random_read.failed && random_read.seconds <= block_decode, now);
    std::snprintf(now, sizeof now, "%.0f MB/s here, %.0f MB/s pass-through",
                  static_cast<double>(kSize) / 1e6 / exempt_read.seconds,
                  static_cast<double>(kSize) / 1e6 / pass_read.seconds);
    PrintRow("256 MiB exempt file read speed / bare FUSE pass-through", ">= 0.9", pass_read.seconds / exempt_read.seconds,
             "x", !exempt_read.failed && pass_read.seconds / exempt_read.seconds >= 0.9, now);
    return true;
}
