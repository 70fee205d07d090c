// Throughput of the codec next to bare zlib: encoding and decoding of
// text-like, binary-like and incompressible data, each beside a plain
// compress2/uncompress loop over the same 128 KiB blocks in the same run. At
// the end it prints codec/bare ratios against their goals (encode >= 0.97,
// decode >= 0.95): what the codec's framing, copies and buffers cost. It is
// not a test; nothing here fails a build.
//
// Both sides write into an output area of memory: the codec through its sink
// (one copy per block), the bare loops directly. The codec's source copies
// from memory, as reading a file would.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench/best_time_reporter.h"
#include "filter/codec/codec.h"

namespace {

using Bytes = std::vector<BYTE>;

constexpr std::size_t kDataSize = 2u << 20;

// Words, numbers and line breaks: compresses like logs and prose.
Bytes TextLike(std::size_t size) {
    static constexpr std::string_view kWords[] = {
        "storage ", "card ", "volume ", "file ", "the ", "a ", "of ", "to ", "and ", "block ", "opened ",
        "closed ", "written ", "compressed ", "expansion ", "staging ", "name ", "size ", "time ", "error ",
    };
    std::mt19937 generator(1);
    Bytes bytes;
    bytes.reserve(size + 32);
    while (bytes.size() < size) {
        const unsigned pick = generator() % 24;
        if (pick < std::size(kWords)) {
            const std::string_view word = kWords[pick];
            bytes.insert(bytes.end(), word.begin(), word.end());
        } else if (pick == 20) {
            const std::string number = std::to_string(generator() % 100000) + " ";
            bytes.insert(bytes.end(), number.begin(), number.end());
        } else {
            bytes.push_back(pick == 21 ? '\n' : pick == 22 ? '.' : ',');
        }
    }
    bytes.resize(size);
    return bytes;
}

// Fixed-size records of counters, small enumerations, a random walk and a
// few random bytes: compresses like application databases.
Bytes BinaryLike(std::size_t size) {
    std::mt19937 generator(2);
    Bytes bytes;
    bytes.reserve(size + 32);
    DWORD id = 1000;
    LONG walk = 0;
    while (bytes.size() < size) {
        id += 1 + generator() % 3;
        walk += static_cast<LONG>(generator() % 201) - 100;
        const DWORD fields[] = {id, static_cast<DWORD>(generator() % 7), static_cast<DWORD>(walk),
                                static_cast<DWORD>(generator() & 0x0101u)};
        for (const DWORD field : fields) {
            for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<BYTE>(field >> shift));
        }
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<BYTE>(generator()));
    }
    bytes.resize(size);
    return bytes;
}

Bytes Incompressible(std::size_t size) {
    std::mt19937_64 generator(3);
    Bytes bytes(size);
    for (BYTE& byte : bytes) byte = static_cast<BYTE>(generator() >> 56);
    return bytes;
}

struct MemoryReader {
    const Bytes* data;
    std::size_t position;

    static BOOL Read(void* context, void* buffer, DWORD count, DWORD* delivered) {
        auto* self = static_cast<MemoryReader*>(context);
        const std::size_t left = self->data->size() - self->position;
        *delivered = static_cast<DWORD>(left < count ? left : count);
        std::memcpy(buffer, self->data->data() + self->position, *delivered);
        self->position += *delivered;
        return TRUE;
    }
};

struct MemoryWriter {
    Bytes* area;
    std::size_t position;

    static BOOL Write(void* context, const void* buffer, DWORD count) {
        auto* self = static_cast<MemoryWriter*>(context);
        if (self->area->size() - self->position < count) return FALSE;
        std::memcpy(self->area->data() + self->position, buffer, count);
        self->position += count;
        return TRUE;
    }
};

// One kind of data, and what both sides need to decode it.
struct Corpus {
    std::string kind;
    Bytes data;
    Bytes file;                  // the codec's encoding, behind its signature
    std::vector<Bytes> streams;  // compress2's stream of each block, for the bare loop
};

Corpus MakeCorpus(std::string kind, Bytes data) {
    Corpus corpus{std::move(kind), std::move(data), {}, {}};
    corpus.file.resize(corpus.data.size() + corpus.data.size() / 64 + 4096);
    MemoryReader reader{&corpus.data, 0};
    MemoryWriter writer{&corpus.file, 0};
    const CodecSource source{&reader, &MemoryReader::Read};
    const CodecSink sink{&writer, &MemoryWriter::Write};
    if (CodecEncode(&source, &sink) != kCodecCompleted) std::abort();
    corpus.file.resize(writer.position);
    for (std::size_t at = 0; at < corpus.data.size(); at += kCodecBlockSize) {
        const std::size_t length = std::min<std::size_t>(kCodecBlockSize, corpus.data.size() - at);
        uLongf streamLength = kCodecOutputCapacity;
        Bytes stream(streamLength);
        if (compress2(stream.data(), &streamLength, corpus.data.data() + at, length, kCodecLevel) != Z_OK) {
            std::abort();
        }
        stream.resize(streamLength);
        corpus.streams.push_back(std::move(stream));
    }
    return corpus;
}

void CodecEncodeRun(benchmark::State& state, const Corpus* corpus) {
    Bytes area(corpus->file.size());
    for (auto _ : state) {
        MemoryReader reader{&corpus->data, 0};
        MemoryWriter writer{&area, 0};
        const CodecSource source{&reader, &MemoryReader::Read};
        const CodecSink sink{&writer, &MemoryWriter::Write};
        if (CodecEncode(&source, &sink) != kCodecCompleted) state.SkipWithError("encoding failed");
        benchmark::DoNotOptimize(area.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus->data.size()));
}

void BareEncodeRun(benchmark::State& state, const Corpus* corpus) {
    Bytes area(corpus->data.size() + corpus->data.size() / 64 + 4096);
    Bytes output(kCodecOutputCapacity);
    for (auto _ : state) {
        std::size_t position = 0;
        for (std::size_t at = 0; at < corpus->data.size(); at += kCodecBlockSize) {
            const std::size_t length = std::min<std::size_t>(kCodecBlockSize, corpus->data.size() - at);
            uLongf streamLength = kCodecOutputCapacity;
            compress2(output.data(), &streamLength, corpus->data.data() + at, length, kCodecLevel);
            std::memcpy(area.data() + position, output.data(), streamLength);
            position += streamLength;
        }
        benchmark::DoNotOptimize(area.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus->data.size()));
}

void CodecDecodeRun(benchmark::State& state, const Corpus* corpus) {
    Bytes area(corpus->data.size());
    const Bytes blocks(corpus->file.begin() + kCodecSignatureSize, corpus->file.end());
    for (auto _ : state) {
        MemoryReader reader{&blocks, 0};
        MemoryWriter writer{&area, 0};
        const CodecSource source{&reader, &MemoryReader::Read};
        const CodecSink sink{&writer, &MemoryWriter::Write};
        if (CodecDecode(&source, &sink) != kCodecCompleted) state.SkipWithError("decoding failed");
        benchmark::DoNotOptimize(area.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus->data.size()));
}

void BareDecodeRun(benchmark::State& state, const Corpus* corpus) {
    Bytes area(corpus->data.size());
    for (auto _ : state) {
        std::size_t position = 0;
        for (const Bytes& stream : corpus->streams) {
            uLongf produced = std::min<std::size_t>(area.size() - position, kCodecBlockSize);
            uncompress(area.data() + position, &produced, stream.data(), stream.size());
            position += produced;
        }
        benchmark::DoNotOptimize(area.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * corpus->data.size()));
}

// Codec throughput over bare throughput for one direction and kind; 0 when
// either was not run.
double Ratio(const BestTimeReporter& reporter, const std::string& direction, const std::string& kind) {
    const double cost = reporter.Cost(direction + "/" + kind + "/codec", direction + "/" + kind + "/bare");
    return cost != 0 ? 1.0 / cost : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Corpus> corpora = {
        MakeCorpus("text", TextLike(kDataSize)),
        MakeCorpus("binary", BinaryLike(kDataSize)),
        MakeCorpus("incompressible", Incompressible(kDataSize)),
    };
    for (const Corpus& corpus : corpora) {
        const struct {
            const char* name;
            void (*run)(benchmark::State&, const Corpus*);
        } pairs[] = {
            {"encode/%s/codec", CodecEncodeRun},
            {"encode/%s/bare", BareEncodeRun},
            {"decode/%s/codec", CodecDecodeRun},
            {"decode/%s/bare", BareDecodeRun},
        };
        for (const auto& pair : pairs) {
            char name[64];
            std::snprintf(name, sizeof name, pair.name, corpus.kind.c_str());
            benchmark::RegisterBenchmark(name, pair.run, &corpus)
                ->Unit(benchmark::kMillisecond)
                ->MinTime(0.2)
                ->Repetitions(3);
        }
    }

    // Repetitions run in a random order across benchmarks, so that a codec
    // run and its bare twin meet the same conditions; a later flag on the
    // command line overrides this one.
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

    std::printf("\ncodec/bare throughput (goals: encode >= 0.97, decode >= 0.95)\n");
    std::printf("%-16s %8s %8s  %s\n", "data", "encode", "decode", "stored/plain");
    for (const Corpus& corpus : corpora) {
        const double encode = Ratio(reporter, "encode", corpus.kind);
        const double decode = Ratio(reporter, "decode", corpus.kind);
        std::printf("%-16s %8.3f %8.3f  %.3f%s\n", corpus.kind.c_str(), encode, decode,
                    static_cast<double>(corpus.file.size()) / static_cast<double>(corpus.data.size()),
                    (encode != 0 && encode < 0.97) || (decode != 0 && decode < 0.95) ? "  below goal" : "");
    }
    return 0;
}
