// What the block encoder costs on a card of real files: headers and
// documentation from the machine, programs, and already-compressed files,
// plus one 64 MiB compressible file, each encoded the way a close encodes it
// (the parallel encoder, with zlib and with libdeflate) next to the same
// blocks through compress2 level 9 on one thread, and next to `pigz -9 -p N`
// on the same bytes when pigz is installed. Wall time, best of interleaved
// rounds. At the end it prints each ratio against its goal:
// - mixed card, parallel zlib / one-thread zlib <= 0.6 (two cores);
// - mixed card, libdeflate / one-thread zlib <= 0.3;
// - both at least as fast as pigz -9 with as many threads as cores;
// - one 64 MiB file, parallel zlib / one-thread zlib <= 0.6;
// - stored bytes, libdeflate / zlib <= 1.0.
// Not a test: it asserts nothing.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "filter/codec/codec.h"

namespace {

constexpr int kRounds = 3;

// Up to `limit` bytes of the regular files under `folder` whose names end
// with `suffix` (any when empty).
void AddFiles(const char* folder, const std::string& suffix, size_t limit, std::string& corpus) {
    const size_t start = corpus.size();
    std::error_code error;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
         it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
        if (error || corpus.size() - start >= limit) break;
        if (it->is_symlink(error) || !it->is_regular_file(error)) continue;
        const std::string name = it->path().string();
        if (!suffix.empty() && (name.size() < suffix.size() || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)) {
            continue;
        }
        std::ifstream in(it->path(), std::ios::binary);
        const std::string content{std::istreambuf_iterator<char>(in), {}};
        corpus.append(content, 0, std::min(content.size(), limit - (corpus.size() - start)));
    }
}

std::string CompressibleFile(size_t size) {
    std::string text;
    AddFiles("/usr/include", "", size, text);
    if (text.empty()) return text;
    while (text.size() < size) text.append(text, 0, std::min(text.size(), size - text.size()));
    return text;
}

// The blocks through compress2 level 9 on one thread, as the encoder lays
// them out; returns the stored size.
size_t OneThreadZlib(const std::string& data) {
    std::vector<Bytef> output(kCodecOutputCapacity);
    size_t stored = kCodecSignatureSize;
    for (size_t at = 0; at < data.size(); at += kCodecBlockSize) {
        const size_t length = std::min<size_t>(kCodecBlockSize, data.size() - at);
        uLongf streamLength = kCodecOutputCapacity;
        const bool shorter = compress2(output.data(), &streamLength, reinterpret_cast<const Bytef*>(data.data() + at),
                                       length, kCodecLevel) == Z_OK &&
                             streamLength < length;
        stored += kCodecHeaderSize + (shorter ? streamLength : length);
    }
    return stored;
}

struct Memory {
    const std::string* data;
    size_t at;
};

size_t Encoded(const std::string& data, CodecEncoder encoder) {
    Memory memory{&data, 0};
    const CodecSource source{&memory, [](void* context, void* buffer, DWORD count, DWORD* delivered) -> BOOL {
        auto* m = static_cast<Memory*>(context);
        const size_t n = std::min<size_t>(count, m->data->size() - m->at);
        std::memcpy(buffer, m->data->data() + m->at, n);
        m->at += n;
        *delivered = static_cast<DWORD>(n);
        return TRUE;
    }};
    size_t stored = 0;
    const CodecSink sink{&stored, [](void* context, const void*, DWORD count) -> BOOL {
        *static_cast<size_t*>(context) += count;
        return TRUE;
    }};
    if (CodecEncodeWith(&source, &sink, encoder) != kCodecCompleted) std::abort();
    return stored;
}

// pigz -9 with `threads` threads over `path`, output thrown away; false when
// it cannot run.
bool Pigz(const std::string& path, unsigned threads) {
    const std::string command = "pigz -9 -p " + std::to_string(threads) + " -c '" + path + "' > /dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

struct Figure {
    const char* name;
    std::function<void()> run;
    double best = 1e30;
};

}  // namespace

int main() {
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    std::string card;
    AddFiles("/usr/include", "", 24 << 20, card);
    AddFiles("/usr/share/doc", "", 8 << 20, card);
    AddFiles("/usr/bin", "", 24 << 20, card);
    AddFiles("/usr/share", ".gz", 8 << 20, card);
    const std::string big = CompressibleFile(64 << 20);
    if (card.empty() || big.empty()) {
        std::fprintf(stderr, "encoder_bench: no real files to encode\n");
        return 1;
    }
    const std::string scratch = std::filesystem::current_path().string() + "/encoder-bench-" + std::to_string(getpid());
    std::ofstream(scratch, std::ios::binary) << card;
    const bool have_pigz = std::system("pigz --version > /dev/null 2>&1") == 0;

    size_t zlib_bytes = 0, libdeflate_bytes = 0, one_thread_bytes = 0;
    std::vector<Figure> figures = {
        {"card/zlib-1-thread", [&] { one_thread_bytes = OneThreadZlib(card); }},
        {"card/zlib", [&] { zlib_bytes = Encoded(card, kCodecEncoderZlib); }},
        {"card/libdeflate", [&] { libdeflate_bytes = Encoded(card, kCodecEncoderLibdeflate); }},
        {"64MiB/zlib-1-thread", [&] { OneThreadZlib(big); }},
        {"64MiB/zlib", [&] { Encoded(big, kCodecEncoderZlib); }},
    };
    if (have_pigz) figures.push_back({"card/pigz", [&] { Pigz(scratch, cores); }});
    std::printf("corpus: %.1f MiB of real files (headers, docs, programs, .gz), one %.0f MiB file; %u cores\n",
                card.size() / 1048576.0, big.size() / 1048576.0, cores);
    for (int round = 0; round < kRounds; ++round) {
        // Interleaved: every figure once per round, in a turning order.
        for (size_t i = 0; i < figures.size(); ++i) {
            Figure& figure = figures[(i + round) % figures.size()];
            const auto start = std::chrono::steady_clock::now();
            figure.run();
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            figure.best = std::min(figure.best, seconds);
            std::printf("  round %d %-22s %8.3f s\n", round + 1, figure.name, seconds);
        }
    }
    std::filesystem::remove(scratch);
    auto best = [&](const char* name) {
        for (const Figure& f : figures) {
            if (std::strcmp(f.name, name) == 0) return f.best;
        }
        return 0.0;
    };
    bool met = true;
    auto line = [&](const char* what, double value, double goal, bool at_most) {
        const bool ok = value > 0 && (at_most ? value <= goal : value >= goal);
        met = met && ok;
        std::printf("%-52s %7.3f   %s %.2f  %s\n", what, value, at_most ? "<=" : ">=", goal, ok ? "met" : "NOT met");
    };
    std::printf("\nwall time, best of %d interleaved rounds\n", kRounds);
    const double one = best("card/zlib-1-thread");
    line("card, zlib on all cores / zlib-9 on one thread", best("card/zlib") / one, 0.6, true);
    line("card, libdeflate on all cores / zlib-9 on one thread", best("card/libdeflate") / one, 0.3, true);
    if (have_pigz) {
        line("card, pigz -9 / zlib on all cores", best("card/pigz") / best("card/zlib"), 1.0, false);
        line("card, pigz -9 / libdeflate on all cores", best("card/pigz") / best("card/libdeflate"), 1.0, false);
    } else {
        std::printf("pigz is not installed: the pigz figures are not measured\n");
    }
    line("64 MiB file, zlib on all cores / zlib-9 on one thread", best("64MiB/zlib") / best("64MiB/zlib-1-thread"), 0.6,
         true);
    line("card bytes, libdeflate / zlib", static_cast<double>(libdeflate_bytes) / zlib_bytes, 1.0, true);
    std::printf("card bytes: plain %zu, zlib %zu (one thread %zu, %s), libdeflate %zu\n", card.size(), zlib_bytes,
                one_thread_bytes, one_thread_bytes == zlib_bytes ? "the same" : "DIFFERENT", libdeflate_bytes);
    std::printf("goals: %s\n", met ? "met" : "NOT all met");
    return 0;
}
