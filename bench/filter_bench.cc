// What the filter adds to the work it cannot avoid: opening a compressed
// file (expansion) and closing a dirty one (recompression), for 64 KiB,
// 1 MiB and 32 MiB files, next to the same work done directly in the same
// run: the codec over the FAT layer's reads and writes, the same next-layer
// calls, no records, no registry. Goal: the filter costs at most 5% more.
// Not a test: run build/bin/filter_bench by hand.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/best_time_reporter.h"
#include "filter/filter_api.h"
#include "filter/next_layer.h"
#include "platform/fat/fat_volume.h"
#include "platform/registry/registry.h"

namespace {

namespace fs = std::filesystem;
using quillane_filter::kNameCapacity;
using quillane_filter::NextLayerStream;

constexpr size_t kSizes[] = {64 << 10, 1 << 20, 32 << 20};

// Words with some repetition, compressing about as well as ordinary text.
std::vector<unsigned char> TextLike(size_t size) {
    static const char* kWords[] = {"card ", "block ", "stream ", "header ", "quill ", "lane ", "zlib ", "data\n"};
    std::mt19937 random(7);
    std::vector<unsigned char> bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        for (const char* c = kWords[random() % 8]; *c != 0 && bytes.size() < size; ++c) bytes.push_back(*c);
        if (random() % 5 == 0 && bytes.size() < size) bytes.push_back(static_cast<unsigned char>(random()));
    }
    return bytes;
}

struct Bench {
    std::string folder;
    std::unique_ptr<platform::fat::Volume> fat;
    HookTable hooks{};
    HANDLE filter = nullptr;

    Bench() : folder((fs::current_path() / "filter-bench-card").string()) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        // The filter reads its exempt list at every close: a store of its own.
        setenv("QUILLANE_REGISTRY", (fs::current_path() / "filter-bench-registry").c_str(), 1);
        fat = platform::fat::Volume::Open(folder);
        hooks = fat->Hooks();
        filter = HookVolume(nullptr, &hooks);
    }
    ~Bench() {
        UnhookVolume(filter);
        fat.reset();
        fs::remove_all(folder);
    }
    void PutHostFile(const std::string& name, const std::vector<unsigned char>& bytes) const {
        std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
};

Bench* bench = nullptr;

std::string HostNameFor(size_t size) { return "file" + std::to_string(size >> 10); }
std::u16string NameFor(size_t size) {
    const std::string host = HostNameFor(size);
    return u"\\" + std::u16string(host.begin(), host.end());
}

// The compressed form of TextLike(size) on the card under NameFor(size).
void PutCompressed(size_t size) {
    bench->PutHostFile(HostNameFor(size), TextLike(size));
    HANDLE file = CreateFileW(bench->filter, nullptr, NameFor(size).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    FlushFileBuffers(file);
    CloseFile(file);
}

void OpenThroughFilter(benchmark::State& state, size_t size) {
    PutCompressed(size);
    const std::u16string name = NameFor(size);
    for (auto _ : state) {
        HANDLE file = CreateFileW(bench->filter, nullptr, name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE || !CloseFile(file)) state.SkipWithError("open through the filter failed");
    }
}

// The expansion's calls, made by hand on the FAT layer.
void OpenDirectly(benchmark::State& state, size_t size) {
    PutCompressed(size);
    const std::u16string name = NameFor(size);
    const HookTable& h = bench->hooks;
    for (auto _ : state) {
        HANDLE file = h.CreateFileW(h.volume, nullptr, name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        h.GetFileSize(file, nullptr);
        BYTE signature[4];
        DWORD got = 0;
        h.ReadFile(file, signature, 4, &got, nullptr);
        WCHAR path[kNameCapacity];
        HANDLE expansion = quillane_filter::CreateRootTempFile(&h, nullptr, u"v", FILE_ATTRIBUTE_NORMAL, path);
        FILETIME c, a, w;
        h.GetFileTime(file, &c, &a, &w);
        h.SetFileTime(expansion, &c, &a, &w);
        NextLayerStream from{&h, file, 0}, to{&h, expansion, 0};
        const CodecSource source = quillane_filter::SourceOf(&from);
        const CodecSink sink = quillane_filter::SinkOf(&to);
        if (CodecDecode(&source, &sink) != kCodecCompleted) state.SkipWithError("decode failed");
        h.CloseFile(file);
        h.CloseFile(expansion);
        HANDLE reopened = h.CreateFileW(h.volume, nullptr, path, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        h.CloseFile(reopened);
        h.DeleteFileW(h.volume, path);
    }
}

void CloseThroughFilter(benchmark::State& state, size_t size) {
    const auto plain = TextLike(size);
    const std::u16string name = NameFor(size);
    for (auto _ : state) {
        state.PauseTiming();
        bench->PutHostFile(HostNameFor(size), plain);
        HANDLE file = CreateFileW(bench->filter, nullptr, name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        FlushFileBuffers(file);
        state.ResumeTiming();
        if (!CloseFile(file)) state.SkipWithError("close through the filter failed");
    }
}

// The recompression's calls, made by hand on the FAT layer.
void CloseDirectly(benchmark::State& state, size_t size) {
    const auto plain = TextLike(size);
    const std::u16string name = NameFor(size);
    const HookTable& h = bench->hooks;
    for (auto _ : state) {
        state.PauseTiming();
        bench->PutHostFile(HostNameFor(size), plain);
        HANDLE file = h.CreateFileW(h.volume, nullptr, name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        h.FlushFileBuffers(file);
        state.ResumeTiming();
        h.GetFileSize(file, nullptr);
        h.CloseFile(file);
        HANDLE source = h.CreateFileW(h.volume, nullptr, name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD attributes = h.GetFileAttributesW(h.volume, name.c_str());
        WCHAR path[kNameCapacity];
        HANDLE staging = quillane_filter::CreateRootTempFile(&h, nullptr, u"y", attributes, path);
        NextLayerStream from{&h, source, 0}, to{&h, staging, 0};
        const CodecSource codec_source = quillane_filter::SourceOf(&from);
        const CodecSink codec_sink = quillane_filter::SinkOf(&to);
        if (CodecEncode(&codec_source, &codec_sink) != kCodecCompleted) state.SkipWithError("encode failed");
        FILETIME c, a, w;
        h.GetFileTime(source, &c, &a, &w);
        h.SetFileTime(staging, &c, &a, &w);
        h.FlushFileBuffers(staging);
        h.CloseFile(source);
        h.CloseFile(staging);
        h.DeleteAndRenameFileW(h.volume, name.c_str(), path);
        h.SetFileAttributesW(h.volume, name.c_str(), attributes);
    }
}

std::string Label(const char* what, size_t size, const char* how) {
    return std::string(what) + "/" + (size >= (1 << 20) ? std::to_string(size >> 20) + "MiB" : std::to_string(size >> 10) + "KiB") +
           "/" + how;
}

}  // namespace

int main(int argc, char** argv) {
    Bench card;
    bench = &card;
    const struct {
        const char* what;
        const char* how;
        void (*run)(benchmark::State&, size_t);
    } kinds[] = {
        {"open", "filter", OpenThroughFilter},
        {"open", "direct", OpenDirectly},
        {"close", "filter", CloseThroughFilter},
        {"close", "direct", CloseDirectly},
    };
    for (size_t size : kSizes) {
        for (const auto& kind : kinds) {
            auto* b = benchmark::RegisterBenchmark(Label(kind.what, size, kind.how).c_str(), kind.run, size);
            b->Unit(benchmark::kMillisecond)->Repetitions(5);
            if (size >= (32u << 20)) b->Iterations(2);
        }
    }
    std::vector<char*> arguments(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    arguments.insert(arguments.begin() + 1, interleave);
    int count = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
    BestTimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nfilter/direct CPU time (goal: at most 1.05)\n%-8s %10s %10s\n", "size", "open", "close");
    for (size_t size : kSizes) {
        const double open = reporter.Cost(Label("open", size, "filter"), Label("open", size, "direct"));
        const double close = reporter.Cost(Label("close", size, "filter"), Label("close", size, "direct"));
        const std::string label = Label("", size, "");
        std::printf("%-8s %10.3f %10.3f%s\n", label.substr(1, label.size() - 2).c_str(), open, close,
                    open > 1.05 || close > 1.05 ? "  above goal" : "");
    }
    return 0;
}
