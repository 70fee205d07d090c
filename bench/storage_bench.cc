// What the layers cost: 4 KiB and 128 KiB positioned reads and writes on a
// card folder, three ways in one run: bare pread/pwrite, the FAT layer's own
// hook table, and the platform's file API through the storage manager and
// the pass-through test filter. At the end it prints the ratios against the
// goals (the stack at most 3% over the FAT layer, the FAT layer at most 5%
// over bare system calls).
//
// Runs in a scratch folder under the current directory (a real disk, not
// tmpfs) with a registry store of its own; needs PassthroughFilter.so in the
// build's lib folder. Not a test: it asserts nothing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/best_time_reporter.h"
#include "platform/fat/fat_volume.h"
#include "platform/registry/registry.h"
#include "platform/storage/file_api.h"
#include "platform/storage/storage_manager.h"

namespace {

constexpr size_t kFileSize = 8 << 20;
constexpr size_t kSizes[] = {4 << 10, 128 << 10};
enum class Layer { kSyscall, kFat, kStack };
constexpr Layer kLayers[] = {Layer::kSyscall, Layer::kFat, Layer::kStack};
const char* LayerName(Layer layer) {
    return layer == Layer::kSyscall ? "syscall" : layer == Layer::kFat ? "fat" : "stack";
}

struct Bench {
    std::string scratch;
    std::string card_dir;
    int raw_fd = -1;
    std::unique_ptr<platform::fat::Volume> fat_volume;
    HookTable fat{};
    HANDLE fat_file = INVALID_HANDLE_VALUE;
    HANDLE stack_file = INVALID_HANDLE_VALUE;
};

Bench* bench = nullptr;

bool Prepare(Bench& b) {
    b.scratch = std::filesystem::current_path().string() + "/storage-bench-" + std::to_string(::getpid());
    b.card_dir = b.scratch + "/card";
    std::filesystem::create_directories(b.card_dir);
    std::filesystem::create_directories(b.scratch + "/registry");
    ::setenv("QUILLANE_REGISTRY", (b.scratch + "/registry").c_str(), 1);

    const std::string zeros(kFileSize, 'q');
    for (const char* name : {"raw.bin", "fat.bin", "stack.bin"}) {
        std::FILE* file = std::fopen((b.card_dir + "/" + name).c_str(), "wb");
        if (file == nullptr || std::fwrite(zeros.data(), 1, zeros.size(), file) != zeros.size()) return false;
        std::fclose(file);
    }
    b.raw_fd = ::open((b.card_dir + "/raw.bin").c_str(), O_RDWR);

    b.fat_volume = platform::fat::Volume::Open(b.card_dir);
    if (b.fat_volume == nullptr) return false;
    b.fat = b.fat_volume->Hooks();
    b.fat_file = b.fat.CreateFileW(b.fat.volume, nullptr, u"\\fat.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);

    HKEY key = nullptr;
    const std::u16string dll = u"PassthroughFilter.so";
    platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\FATFS\\Filters\\Passthrough", 0, nullptr,
                              0, 0, nullptr, &key, nullptr);
    platform::RegSetValueExW(key, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()),
                             static_cast<DWORD>((dll.size() + 1) * sizeof(WCHAR)));
    platform::RegCloseKey(key);
    std::string message;
    if (platform::StorageManager::Instance().MountCard(u"Bench Card", b.card_dir, &message) != ERROR_SUCCESS) {
        std::fprintf(stderr, "storage_bench: %s\n", message.c_str());
        return false;
    }
    b.stack_file = platform::CreateFileW(u"\\Bench Card\\stack.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return b.raw_fd >= 0 && b.fat_file != INVALID_HANDLE_VALUE && b.stack_file != INVALID_HANDLE_VALUE;
}

void Finish(Bench& b) {
    platform::CloseHandle(b.stack_file);
    platform::StorageManager::Instance().UnmountAll();
    b.fat.CloseFile(b.fat_file);
    b.fat_volume.reset();
    ::close(b.raw_fd);
    std::filesystem::remove_all(b.scratch);
}

// One positioned transfer of `size` bytes at `offset` on `layer`.
bool Transfer(bool write, Layer layer, char* buffer, size_t size, size_t offset) {
    const auto count = static_cast<DWORD>(size);
    const auto low = static_cast<DWORD>(offset);
    DWORD done = 0;
    if (layer == Layer::kSyscall) {
        const ssize_t n = write ? ::pwrite(bench->raw_fd, buffer, size, static_cast<off_t>(offset))
                                : ::pread(bench->raw_fd, buffer, size, static_cast<off_t>(offset));
        return n == static_cast<ssize_t>(size);
    }
    if (layer == Layer::kFat) {
        const BOOL ok = write ? bench->fat.WriteFileWithSeek(bench->fat_file, buffer, count, &done, nullptr, low, 0)
                              : bench->fat.ReadFileWithSeek(bench->fat_file, buffer, count, &done, nullptr, low, 0);
        return ok && done == count;
    }
    const BOOL ok = write ? platform::WriteFileWithSeek(bench->stack_file, buffer, count, &done, nullptr, low, 0)
                          : platform::ReadFileWithSeek(bench->stack_file, buffer, count, &done, nullptr, low, 0);
    return ok && done == count;
}

void Run(benchmark::State& state, bool write, Layer layer, size_t size) {
    std::vector<char> buffer(size, 'w');
    size_t offset = 0;
    for (auto _ : state) {
        if (!Transfer(write, layer, buffer.data(), size, offset)) {
            state.SkipWithError("transfer failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        offset = (offset + size) % kFileSize;
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

std::string Name(bool write, size_t size, const std::string& layer) {
    return std::string(write ? "write" : "read") + "/" + std::to_string(size >> 10) + "KiB/" + layer;
}

void PrintRatios(const BestTimeReporter& reporter) {
    std::printf("\n%-16s %14s %14s\n", "best CPU time", "fat/syscall", "stack/fat");
    bool all_met = true;
    for (bool write : {false, true}) {
        for (size_t size : kSizes) {
            const std::string base = Name(write, size, "");
            const auto get = [&](const char* layer) { return reporter.Seconds(base + layer); };
            const double syscall = get("syscall"), fat = get("fat"), stack = get("stack");
            if (syscall <= 0 || fat <= 0 || stack <= 0) continue;
            const double fat_ratio = fat / syscall, stack_ratio = stack / fat;
            all_met = all_met && fat_ratio <= 1.05 && stack_ratio <= 1.03;
            std::printf("%-16s %13.3fx %13.3fx\n", base.substr(0, base.size() - 1).c_str(), fat_ratio, stack_ratio);
        }
    }
    std::printf("goals: fat/syscall <= 1.050, stack/fat <= 1.030: %s\n", all_met ? "met" : "NOT met");
}

}  // namespace

int main(int argc, char** argv) {
    // Defaults that keep a run under a minute and steady on a busy machine:
    // several repetitions, interleaved, judged by their best.
    std::vector<char*> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char min_time[] = "--benchmark_min_time=0.1";
    args.insert(args.begin() + 1, {repetitions, interleave, min_time});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());

    Bench state;
    bench = &state;
    if (!Prepare(state)) {
        std::fprintf(stderr, "storage_bench: cannot set up the card folder\n");
        Finish(state);
        return 1;
    }
    for (bool write : {false, true}) {
        for (size_t size : kSizes) {
            for (Layer layer : kLayers) {
                benchmark::RegisterBenchmark(Name(write, size, LayerName(layer)).c_str(), Run, write, layer, size);
            }
        }
    }
    BestTimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintRatios(reporter);
    Finish(state);
    return 0;
}
