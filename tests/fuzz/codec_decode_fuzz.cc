// Fuzz target: the block decoder and the block scan over any bytes. Each
// input is a file as it could lie on a card: when it starts with the
// signature the blocks follow it, otherwise the whole input is taken for
// blocks (the decoder never sees the signature anyway). Promises checked:
// no crash and no access outside a buffer (the sanitizers), no codec buffer
// above one block and never more than two at a time, every buffer released
// at the end of a run, the same result whether the source delivers whole
// requests or in pieces, the decoder and the verifying scan agreeing on
// soundness and sizes, a failed source or sink ending the run at once, and a
// sound file's data surviving a round trip through the encoder.
//
// The program links with --wrap=malloc and --wrap=free, so the codec's own
// allocations come through the accounting below; zlib, the C++ runtime and
// libFuzzer keep the real ones.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "filter/codec/codec.h"
#include "tests/fuzz/fuzz_check.h"

extern "C" void* __real_malloc(std::size_t size);
extern "C" void __real_free(void* pointer);

namespace {

struct Limits {
    std::size_t perBuffer;
    std::size_t held;
};
// The decoder takes the current block's buffers, at most 131072 + 131071
// bytes; the scan takes two of 131072 once.
constexpr Limits kReadingLimits{kCodecBlockSize, 2 * std::size_t{kCodecBlockSize}};
// The encoder takes an input and an output buffer for each block it holds in
// flight: two blocks a thread at most.
constexpr std::size_t kEncodingSlots = 2 * std::size_t{kCodecMostThreads};
constexpr Limits kEncodingLimits{kCodecOutputCapacity,
                                 kEncodingSlots * (std::size_t{kCodecBlockSize} + kCodecOutputCapacity)};

struct Held {
    void* pointer;
    std::size_t size;
};

// Only the codec's calls while a run is being watched are counted; a fixed
// table, because the accounting must not allocate.
struct Accounting {
    bool watching = false;
    Limits limits{};
    Held held[2 * kEncodingSlots] = {};
    std::size_t heldBytes = 0;
    std::size_t heldCount = 0;
};
Accounting g_accounting;

}  // namespace

extern "C" void* __wrap_malloc(std::size_t size) {
    void* pointer = __real_malloc(size);
    if (!g_accounting.watching || pointer == nullptr) return pointer;
    FUZZ_CHECK(size <= g_accounting.limits.perBuffer);
    FUZZ_CHECK(g_accounting.heldCount < std::size(g_accounting.held));
    g_accounting.held[g_accounting.heldCount++] = Held{pointer, size};
    g_accounting.heldBytes += size;
    FUZZ_CHECK(g_accounting.heldBytes <= g_accounting.limits.held);
    return pointer;
}

extern "C" void __wrap_free(void* pointer) {
    if (g_accounting.watching && pointer != nullptr) {
        for (std::size_t i = 0; i < g_accounting.heldCount; ++i) {
            if (g_accounting.held[i].pointer != pointer) continue;
            g_accounting.heldBytes -= g_accounting.held[i].size;
            g_accounting.held[i] = g_accounting.held[--g_accounting.heldCount];
            break;
        }
    }
    __real_free(pointer);
}

namespace {

using Bytes = std::vector<BYTE>;

// Watches the codec's buffers for the length of one run.
class WatchedRun {
public:
    explicit WatchedRun(Limits limits = kReadingLimits) {
        g_accounting = Accounting{};
        g_accounting.limits = limits;
        g_accounting.watching = true;
    }
    ~WatchedRun() {
        g_accounting.watching = false;
        FUZZ_CHECK(g_accounting.heldCount == 0);  // every buffer released
    }
    WatchedRun(const WatchedRun&) = delete;
    WatchedRun& operator=(const WatchedRun&) = delete;
};

// Serves the input like a file, whole requests or in pieces of 1 to 7
// bytes; can fail its n-th request and notes any request after a failure.
struct InputSource {
    const BYTE* data;
    std::size_t size;
    std::size_t position = 0;
    bool inPieces = false;
    long failRequest = -1;  // 0-based; -1 for none
    long requests = 0;
    bool failed = false;
    bool askedAfterFailure = false;

    static BOOL Read(void* context, void* buffer, DWORD count, DWORD* delivered) {
        auto* self = static_cast<InputSource*>(context);
        if (self->failed) self->askedAfterFailure = true;
        if (self->requests++ == self->failRequest) {
            self->failed = true;
            *delivered = 0;
            return FALSE;
        }
        std::size_t n = std::min<std::size_t>(count, self->size - self->position);
        if (self->inPieces) n = std::min<std::size_t>(n, 1 + (self->position * 7 + self->requests) % 7);
        if (n != 0) std::memcpy(buffer, self->data + self->position, n);
        self->position += n;
        *delivered = static_cast<DWORD>(n);
        return TRUE;
    }

    static BOOL Skip(void* context, DWORD count, DWORD* skipped) {
        auto* self = static_cast<InputSource*>(context);
        const std::size_t n = std::min<std::size_t>(count, self->size - self->position);
        self->position += n;
        *skipped = static_cast<DWORD>(n);
        return TRUE;
    }

    CodecSource Source() { return CodecSource{this, &Read}; }
};

// Collects what the decoder writes; can fail its n-th write and notes any
// write after a failure.
struct OutputSink {
    Bytes bytes;
    long failWrite = -1;  // 0-based; -1 for none
    long writes = 0;
    bool failed = false;
    bool writtenAfterFailure = false;

    static BOOL Write(void* context, const void* buffer, DWORD count) {
        auto* self = static_cast<OutputSink*>(context);
        if (self->failed) self->writtenAfterFailure = true;
        if (self->writes++ == self->failWrite) {
            self->failed = true;
            return FALSE;
        }
        const auto* from = static_cast<const BYTE*>(buffer);
        self->bytes.insert(self->bytes.end(), from, from + count);
        return TRUE;
    }

    CodecSink Sink() { return CodecSink{this, &Write}; }
};

struct Decoded {
    CodecResult result;
    Bytes data;
    long reads;
    long writes;
};

Decoded Decode(const BYTE* blocks, std::size_t size, bool inPieces) {
    InputSource from{blocks, size};
    from.inPieces = inPieces;
    OutputSink to;
    const CodecSource source = from.Source();
    const CodecSink sink = to.Sink();
    CodecResult result;
    {
        WatchedRun watched;
        result = CodecDecode(&source, &sink);
    }
    FUZZ_CHECK(result == kCodecCompleted || result == kCodecDamaged);
    return Decoded{result, std::move(to.bytes), from.requests, to.writes};
}

struct Scanned {
    CodecResult result;
    CodecScanReport report;
};

Scanned Scan(const BYTE* blocks, std::size_t size, BOOL verify, bool withSkip) {
    InputSource from{blocks, size};
    const CodecScanSource source{from.Source(), withSkip ? &InputSource::Skip : nullptr};
    CodecScanReport report{};
    CodecResult result;
    {
        WatchedRun watched;
        result = CodecScan(&source, verify, &report);
    }
    FUZZ_CHECK(result == kCodecCompleted || result == kCodecDamaged);
    FUZZ_CHECK((result == kCodecDamaged) == (report.damaged != FALSE));
    FUZZ_CHECK(report.reserved == 0);
    FUZZ_CHECK(report.storedSize <= kCodecSignatureSize + size);
    FUZZ_CHECK(!report.damaged || (report.damageOffset >= kCodecSignatureSize &&
                                   report.damageOffset <= report.storedSize));
    return Scanned{result, report};
}

void CheckFailingSourceEndsAtOnce(const BYTE* blocks, std::size_t size, long reads) {
    InputSource from{blocks, size};
    from.failRequest = static_cast<long>(size % static_cast<std::size_t>(reads));
    OutputSink to;
    const CodecSource source = from.Source();
    const CodecSink sink = to.Sink();
    CodecResult result;
    {
        WatchedRun watched;
        result = CodecDecode(&source, &sink);
    }
    // The requests up to the failing one are those of the run that did not
    // fail, so the failure is always met, and ends the run there.
    FUZZ_CHECK(from.failed && result == kCodecSourceFailed);
    FUZZ_CHECK(!from.askedAfterFailure);
}

void CheckFailingSinkEndsAtOnce(const BYTE* blocks, std::size_t size, long writes) {
    InputSource from{blocks, size};
    OutputSink to;
    to.failWrite = static_cast<long>(size % static_cast<std::size_t>(writes));
    const CodecSource source = from.Source();
    const CodecSink sink = to.Sink();
    CodecResult result;
    {
        WatchedRun watched;
        result = CodecDecode(&source, &sink);
    }
    FUZZ_CHECK(to.failed && result == kCodecSinkFailed);
    FUZZ_CHECK(!to.writtenAfterFailure);
}

void CheckRoundTrip(const Bytes& plain) {
    InputSource from{plain.data(), plain.size()};
    OutputSink packed;
    const CodecSource source = from.Source();
    const CodecSink sink = packed.Sink();
    CodecResult result;
    {
        WatchedRun watched(kEncodingLimits);
        result = CodecEncode(&source, &sink);
    }
    FUZZ_CHECK(result == kCodecCompleted);
    FUZZ_CHECK(packed.bytes.size() >= kCodecSignatureSize);
    FUZZ_CHECK(CodecIsSignature(packed.bytes.data(), kCodecSignatureSize));
    const Decoded again =
        Decode(packed.bytes.data() + kCodecSignatureSize, packed.bytes.size() - kCodecSignatureSize, false);
    FUZZ_CHECK(again.result == kCodecCompleted);
    FUZZ_CHECK(again.data == plain);
}

// Encoding is zlib at level 9; past this much plain data a round trip costs
// more fuzzing time than it is worth.
constexpr std::size_t kMostRoundTrip = 512 * 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool signed_file = size >= kCodecSignatureSize && CodecIsSignature(data, kCodecSignatureSize);
    FUZZ_CHECK(CodecIsSignature(data, static_cast<DWORD>(std::min<std::size_t>(size, kCodecSignatureSize))) ==
               (signed_file ? TRUE : FALSE));
    const BYTE* blocks = signed_file ? data + kCodecSignatureSize : data;
    const std::size_t length = signed_file ? size - kCodecSignatureSize : size;

    const Decoded whole = Decode(blocks, length, false);
    const Decoded pieces = Decode(blocks, length, true);
    FUZZ_CHECK(pieces.result == whole.result);
    FUZZ_CHECK(pieces.data == whole.data);

    const Scanned verified = Scan(blocks, length, TRUE, false);
    const Scanned skipped = Scan(blocks, length, FALSE, true);
    const Scanned read = Scan(blocks, length, FALSE, false);
    // Both walks without verification see only the headers, and see the same.
    FUZZ_CHECK(skipped.result == read.result);
    FUZZ_CHECK(std::memcmp(&skipped.report, &read.report, sizeof read.report) == 0);
    // Verification walks the same headers and may only add damage.
    FUZZ_CHECK(verified.report.plainSize == skipped.report.plainSize);
    FUZZ_CHECK(verified.report.storedSize == skipped.report.storedSize);
    FUZZ_CHECK(verified.report.compressedBlocks == skipped.report.compressedBlocks);
    FUZZ_CHECK(verified.report.rawBlocks == skipped.report.rawBlocks);
    FUZZ_CHECK(!skipped.report.damaged || verified.report.damaged);
    FUZZ_CHECK(!verified.report.damaged || !skipped.report.damaged ||
               verified.report.damageOffset <= skipped.report.damageOffset);

    // The decoder and the verifying scan agree on what a sound file is.
    FUZZ_CHECK((whole.result == kCodecCompleted) == (verified.result == kCodecCompleted));
    if (whole.result == kCodecCompleted) {
        FUZZ_CHECK(whole.data.size() == verified.report.plainSize);
        FUZZ_CHECK(verified.report.storedSize == kCodecSignatureSize + length);
        if (whole.data.size() <= kMostRoundTrip) CheckRoundTrip(whole.data);
    } else {
        // A damaged file yields at most what its whole blocks stand for and
        // one cut block more.
        FUZZ_CHECK(whole.data.size() <= verified.report.plainSize + kCodecBlockSize);
    }

    if (whole.reads > 0) CheckFailingSourceEndsAtOnce(blocks, length, whole.reads);
    if (whole.writes > 0) CheckFailingSinkEndsAtOnce(blocks, length, whole.writes);
    return 0;
}
