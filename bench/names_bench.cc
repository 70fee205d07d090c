// What a name costs the FAT layer in a big folder: creating (and closing) a
// new file, and looking up a name that is absent, in a folder that already
// holds 20,000 files and in one that holds 100. Each iteration creates a file
// and removes it again, so the folder keeps its size. At the end it prints
// the ratios against the goal: 20,000 files cost at most 1.2 times what 100
// cost. Names of the folders' files are of mixed case, as cameras and
// programs write them, and the names looked up differ from them in case.
//
// Runs in a scratch folder under the current directory (a real disk that
// does not fold case, where a missed exact look-up must still find case
// variants). Not a test: it asserts nothing.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench/best_time_reporter.h"
#include "platform/core/utf.h"
#include "platform/fat/fat_volume.h"

namespace {

constexpr size_t kSizes[] = {100, 20000};

std::string scratch;
std::unique_ptr<platform::fat::Volume> volume;
HookTable hooks{};

std::u16string Wide(const std::string& text) {
    std::u16string wide;
    platform::Utf8ToUtf16(text, wide);
    return wide;
}

bool Prepare() {
    scratch = std::filesystem::current_path().string() + "/names-bench-" + std::to_string(::getpid());
    for (size_t size : kSizes) {
        const std::string folder = scratch + "/f" + std::to_string(size);
        std::filesystem::create_directories(folder);
        for (size_t i = 0; i < size; ++i) {
            const std::string path = folder + "/Photo_" + std::to_string(i) + ".Jpg";
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd < 0) return false;
            ::close(fd);
        }
    }
    volume = platform::fat::Volume::Open(scratch);
    if (volume == nullptr) return false;
    hooks = volume->Hooks();
    return true;
}

void Create(benchmark::State& state, size_t size) {
    const std::u16string folder = u"\\f" + Wide(std::to_string(size)) + u"\\";
    size_t serial = 0;
    for (auto _ : state) {
        const std::u16string name = folder + u"NEW_" + Wide(std::to_string(serial++)) + u".TXT";
        HANDLE file = hooks.CreateFileW(hooks.volume, nullptr, name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE || !hooks.CloseFile(file) || !hooks.DeleteFileW(hooks.volume, name.c_str())) {
            state.SkipWithError("create, close or delete failed");
            break;
        }
    }
}

void LookUpAbsent(benchmark::State& state, size_t size) {
    const std::u16string name = u"\\f" + Wide(std::to_string(size)) + u"\\PHOTO_ABSENT.JPG";
    for (auto _ : state) {
        if (hooks.GetFileAttributesW(hooks.volume, name.c_str()) != INVALID_FILE_ATTRIBUTES) {
            state.SkipWithError("an absent name was found");
            break;
        }
    }
}

void LookUpOtherCase(benchmark::State& state, size_t size) {
    const std::u16string name = u"\\f" + Wide(std::to_string(size)) + u"\\PHOTO_7.JPG";
    for (auto _ : state) {
        if (hooks.GetFileAttributesW(hooks.volume, name.c_str()) == INVALID_FILE_ATTRIBUTES) {
            state.SkipWithError("a name in another case was not found");
            break;
        }
    }
}

std::string Name(const char* what, size_t size) { return std::string(what) + "/" + std::to_string(size); }

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    char repetitions[] = "--benchmark_repetitions=5";
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char min_time[] = "--benchmark_min_time=0.1";
    args.insert(args.begin() + 1, {repetitions, interleave, min_time});
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());

    const bool ready = Prepare();
    if (!ready) std::fprintf(stderr, "names_bench: cannot set up the card folder\n");
    struct {
        const char* what;
        void (*run)(benchmark::State&, size_t);
    } kinds[] = {{"create", Create}, {"absent", LookUpAbsent}, {"other_case", LookUpOtherCase}};
    if (ready) {
        for (const auto& kind : kinds) {
            for (size_t size : kSizes) benchmark::RegisterBenchmark(Name(kind.what, size).c_str(), kind.run, size);
        }
        BestTimeReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        std::printf("\n%-12s %14s %14s %10s  %s\n", "best CPU", "µs at 100", "µs at 20000", "ratio", "goal");
        bool met = true;
        for (const auto& kind : kinds) {
            const double small = reporter.Seconds(Name(kind.what, 100)) * 1e6;
            const double big = reporter.Seconds(Name(kind.what, 20000)) * 1e6;
            const double ratio = small > 0 ? big / small : 0;
            met = met && ratio > 0 && ratio <= 1.2;
            std::printf("%-12s %14.2f %14.2f %10.3f  <= 1.2 %s\n", kind.what, small, big, ratio,
                        ratio > 0 && ratio <= 1.2 ? "met" : "NOT met");
        }
        std::printf("goal (20,000 files / 100 files <= 1.2): %s\n", met ? "met" : "NOT met");
    }
    volume.reset();
    std::filesystem::remove_all(scratch);
    return ready ? 0 : 1;
}
