// The mount's speed, in one run, next to the card folder itself and next to
// a bare FUSE pass-through of a folder (mount_bench_passthrough): sequential
// write and read of a 64 MiB file and create-write-close of 1000 files of
// 4 KiB, each for a file type the registry exempts (stored plain) and one
// that is compressed. Goals: for plain files the mount is within 10% of the
// pass-through; for compressed files it costs the codec's time and nothing
// more (the in-memory encode and decode of the same data are measured too).
// Ends with a table of the figures and their ratios, and one of the reads
// from the card's blocks against their goals (mount_reads_bench.h).
//
// Everything lives in a fresh folder beside the build's programs on the real
// disk; the host's page cache is warm for all three alike. Not run by ctest.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/mount_reads_bench.h"
#include "filter/codec/codec_buffers.h"
#include "mount/mount_points.h"
#include "platform/core/types.h"
#include "platform/registry/registry.h"

namespace {

constexpr size_t kBigSize = 64u << 20;
constexpr size_t kChunk = 1u << 20;
constexpr int kSmallFiles = 1000;
constexpr size_t kSmallSize = 4096;
constexpr WCHAR kFilterKey[] = u"System\\StorageManager\\FATFS\\Filters\\Quillane";

struct Target {
    std::string label;
    std::string dir;  // where the benchmark's files go
};

enum Kind { kPlain, kCompressed };
const char* const kKindLabels[] = {"plain (exempt)", "compressed"};
const char* const kKindExtensions[] = {".mp3", ".txt"};

std::vector<Target> targets;
std::string big_data;
std::string small_data;
// Seconds per iteration, by operation, target and kind.
std::map<std::string, std::map<std::string, double>> figures;

std::string TextData(size_t size) {
    static const char* const kWords[] = {"card ", "block ", "filter ", "the ", "plain ", "data ", "of ", "a ",
                                         "compressed ", "file\n", "volume ", "expansion ", "name ", "2024 "};
    std::mt19937 random(7);
    std::string text;
    text.reserve(size + 16);
    while (text.size() < size) text += kWords[random() % std::size(kWords)];
    text.resize(size);
    return text;
}

bool WriteWhole(const std::string& path, const std::string& data, size_t chunk) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    bool ok = true;
    for (size_t done = 0; ok && done < data.size(); done += chunk) {
        const size_t n = std::min(chunk, data.size() - done);
        ok = ::write(fd, data.data() + done, n) == static_cast<ssize_t>(n);
    }
    return ::close(fd) == 0 && ok;
}

size_t ReadWhole(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    static thread_local std::vector<char> buffer(kChunk);
    size_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) total += static_cast<size_t>(n);
    ::close(fd);
    return total;
}

void Record(const std::string& operation, const std::string& column, double seconds) {
    figures[operation][column] = seconds;
}

// Runs `body` once per iteration, after an untimed `prepare`, and records
// the mean wall time.
template <typename Body, typename Prepare = void (*)()>
void Timed(benchmark::State& state, const std::string& operation, const std::string& column, Body body,
           Prepare prepare = [] {}) {
    double total = 0;
    int64_t count = 0;
    for (auto _ : state) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        if (!body()) {
            state.SkipWithError("the operation failed");
            return;
        }
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(spent.count());
        total += spent.count();
        ++count;
    }
    if (count > 0) Record(operation, column, total / static_cast<double>(count));
}

std::string Column(const Target& target, Kind kind) { return target.label + "|" + kKindLabels[kind]; }

void SequentialWrite(benchmark::State& state, const Target& target, Kind kind) {
    const std::string path = target.dir + "/big" + kKindExtensions[kind];
    // A new file each time: ext4 flushes a file that was emptied and written
    // again when it is closed, which would measure the host's heuristic.
    Timed(state, "write 64 MiB", Column(target, kind), [&] { return WriteWhole(path, big_data, kChunk); },
          [&] { ::unlink(path.c_str()); });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}

void SequentialRead(benchmark::State& state, const Target& target, Kind kind) {
    const std::string path = target.dir + "/big" + kKindExtensions[kind];
    if (!std::filesystem::exists(path) && !WriteWhole(path, big_data, kChunk)) {
        state.SkipWithError("cannot write the file to read");
        return;
    }
    Timed(state, "read 64 MiB", Column(target, kind), [&] { return ReadWhole(path) == kBigSize; });
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigSize));
}

void SmallFiles(benchmark::State& state, const Target& target, Kind kind) {
    static int round = 0;
    Timed(state, "1000 files of 4 KiB", Column(target, kind), [&] {
        const std::string folder = target.dir + "/small-" + std::to_string(round++);
        if (::mkdir(folder.c_str(), 0755) != 0) return false;
        for (int i = 0; i < kSmallFiles; ++i) {
            if (!WriteWhole(folder + "/f" + std::to_string(i) + kKindExtensions[kind], small_data, kSmallSize)) {
                return false;
            }
        }
        return true;
    });
}

// The codec alone on the same data, in memory: what the compressed rows may cost.
std::string encoded_data;

void CodecEncodeBench(benchmark::State& state) {
    Timed(state, "codec alone", "encode", [&] {
        std::string compressed;
        compressed.reserve(kBigSize / 2);
        const bool ok = CodecEncodeBuffer(big_data, compressed) == kCodecCompleted;
        encoded_data = std::move(compressed);
        return ok;
    });
}

void CodecDecodeBench(benchmark::State& state) {
    Timed(state, "codec alone", "decode", [&] {
        std::string plain;
        plain.reserve(kBigSize);
        return CodecDecodeBuffer(encoded_data, plain) == kCodecCompleted && plain.size() == kBigSize;
    });
}

// ---- Mounts -----------------------------------------------------------------

bool IsMounted(const std::string& point) { return quillane::mount::IsMountPoint(point); }

struct RunningMount {
    pid_t pid = -1;
    std::string point;
};

bool StartMount(RunningMount& mount, const std::vector<std::string>& command, const std::string& point,
                const std::string& log) {
    mount.point = point;
    mount.pid = ::fork();
    if (mount.pid == 0) {
        const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(fd, STDOUT_FILENO);
        ::dup2(fd, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    for (int waited = 0; waited < 2000; ++waited) {
        if (IsMounted(point)) return true;
        int status = 0;
        if (::waitpid(mount.pid, &status, WNOHANG) == mount.pid) {
            mount.pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void StopMount(RunningMount& mount) {
    if (mount.pid <= 0) return;
    const std::string quoted = "'" + mount.point + "'";
    if (std::system(("fusermount3 -u " + quoted + " 2>/dev/null").c_str()) != 0) {
        std::system(("fusermount3 -u -z " + quoted + " 2>/dev/null").c_str());
    }
    int status = 0;
    for (int waited = 0; waited < 6000; ++waited) {
        if (::waitpid(mount.pid, &status, WNOHANG) == mount.pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(mount.pid, SIGKILL);
    ::waitpid(mount.pid, &status, 0);
}

bool SetExceptions(std::u16string_view text) {
    HKEY key = nullptr;
    if (platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFilterKey, 0, nullptr, 0, 0, nullptr, &key, nullptr) !=
        ERROR_SUCCESS) {
        return false;
    }
    std::vector<BYTE> data(4096, 0);
    for (size_t i = 0; i < text.size(); ++i) {
        data[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
        data[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
    }
    const bool ok = platform::RegSetValueExW(key, u"Exception", 0, REG_SZ, data.data(), 4096) == ERROR_SUCCESS;
    platform::RegCloseKey(key);
    return ok;
}

// ---- The table ---------------------------------------------------------------

void PrintTable() {
    const char* const kColumns[] = {"card folder", "pass-through", "quillane"};
    std::printf("\nmount_bench: seconds per run (lower is better)\n");
    std::printf("%-20s %-15s %12s %13s %10s %16s\n", "operation", "files", "card folder", "pass-through", "quillane",
                "quillane/pass");
    for (const char* operation : {"write 64 MiB", "read 64 MiB", "1000 files of 4 KiB"}) {
        for (const Kind kind : {kPlain, kCompressed}) {
            const auto& row = figures[operation];
            double values[3] = {};
            for (int i = 0; i < 3; ++i) {
                const auto found = row.find(std::string(kColumns[i]) + "|" + kKindLabels[kind]);
                values[i] = found != row.end() ? found->second : 0;
            }
            std::printf("%-20s %-15s %12.3f %13.3f %10.3f %15.2fx\n", operation, kKindLabels[kind], values[0],
                        values[1], values[2], values[1] > 0 ? values[2] / values[1] : 0.0);
        }
    }
    const double encode = figures["codec alone"]["encode"];
    const double decode = figures["codec alone"]["decode"];
    const auto beyond = [&](const char* operation, double codec) {
        const auto& row = figures[operation];
        const double mount = row.count("quillane|compressed") ? row.at("quillane|compressed") : 0;
        const double pass = row.count("pass-through|compressed") ? row.at("pass-through|compressed") : 0;
        std::printf("%-20s quillane - pass-through %.3f s, codec alone %.3f s: %+.3f s beyond the codec\n",
                    operation, mount - pass, codec, mount - pass - codec);
    };
    std::printf("\ncompressed files, 64 MiB (codec alone: encode %.3f s, decode %.3f s in memory)\n", encode, decode);
    beyond("write 64 MiB", encode);
    beyond("read 64 MiB", decode);
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        std::printf("mount_bench: /dev/fuse is not usable here; nothing measured\n");
        return 0;
    }
    char self[4096] = {};
    if (::readlink("/proc/self/exe", self, sizeof self - 1) <= 0) return 1;
    const std::filesystem::path base = std::filesystem::path(self).parent_path().parent_path() / "bench-mounts";
    std::filesystem::create_directories(base);
    std::string pattern = (base / "run-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) return 1;
    const std::string root = pattern;
    for (const char* folder : {"host", "pass-source", "pass-mount", "card", "card-mount"}) {
        std::filesystem::create_directory(root + "/" + folder);
    }
    ::setenv("QUILLANE_REGISTRY", (root + "/registry").c_str(), 1);
    if (!SetExceptions(u".mp3")) {
        std::fprintf(stderr, "mount_bench: cannot write the registry\n");
        return 1;
    }

    RunningMount pass, card;
    if (!StartMount(pass, {QUILLANE_PASSTHROUGH, root + "/pass-source", root + "/pass-mount", "-f"},
                    root + "/pass-mount", root + "/pass.log") ||
        !StartMount(card, {QUILLANE_MOUNT_DRIVER, "-f", root + "/card", root + "/card-mount"}, root + "/card-mount",
                    root + "/card.log")) {
        std::fprintf(stderr, "mount_bench: cannot mount (see %s/*.log)\n", root.c_str());
        StopMount(pass);
        StopMount(card);
        return 1;
    }

    big_data = TextData(kBigSize);
    small_data = TextData(kSmallSize);
    targets = {{"card folder", root + "/host"}, {"pass-through", root + "/pass-mount"},
               {"quillane", root + "/card-mount"}};
    for (const Target& target : targets) {
        for (const Kind kind : {kPlain, kCompressed}) {
            const std::string suffix = "/" + target.label + "/" + kKindLabels[kind];
            // Encoding 64 MiB at level 9 takes seconds: once is enough to see it.
            const int write_runs = target.label == "quillane" && kind == kCompressed ? 1 : 3;
            benchmark::RegisterBenchmark(("write_64MiB" + suffix).c_str(), SequentialWrite, target, kind)
                ->Iterations(write_runs)->UseManualTime()->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("read_64MiB" + suffix).c_str(), SequentialRead, target, kind)
                ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
            benchmark::RegisterBenchmark(("small_1000x4KiB" + suffix).c_str(), SmallFiles, target, kind)
                ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
        }
    }
    benchmark::RegisterBenchmark("codec_encode_64MiB", CodecEncodeBench)
        ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("codec_decode_64MiB", CodecDecodeBench)
        ->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintTable();
    if (!MeasureReadsFromBlocks({root + "/card", root + "/card-mount", root + "/pass-source", root + "/pass-mount",
                                 card.pid})) {
        std::fprintf(stderr, "mount_bench: cannot make the files for the reads from the blocks\n");
    }

    StopMount(pass);
    StopMount(card);
    if (!IsMounted(root + "/pass-mount") && !IsMounted(root + "/card-mount")) {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    return 0;
}
