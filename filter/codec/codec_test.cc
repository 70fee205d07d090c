// Tests of the compressed file format: the bytes the format fixes, round trips
// across block boundaries, damaged and cut files, and every way a source, a
// sink or an allocation can fail. Encoded payloads are never compared with
// stored bytes (they are whatever the zlib in use makes); only the signature,
// the headers and raw blocks are pinned.
#include "filter/codec/codec.h"

#include <gtest/gtest.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <initializer_list>
#include <memory>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <vector>

// The test links with --wrap=malloc, so the codec's own allocations come here:
// they are counted, and one of them can be made to fail.
namespace {
int g_mallocCalls = 0;
int g_failMallocCall = 0;  // 1-based index of the call that returns null; 0 for none
std::array<std::size_t, 8> g_mallocSizes{};  // sizes of the first calls
}  // namespace

extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) {
    if (static_cast<std::size_t>(g_mallocCalls) < g_mallocSizes.size()) g_mallocSizes[g_mallocCalls] = size;
    ++g_mallocCalls;
    if (g_failMallocCall != 0 && g_mallocCalls == g_failMallocCall) return nullptr;
    return __real_malloc(size);
}

namespace {

using Bytes = std::vector<BYTE>;

constexpr DWORD kBlock = kCodecBlockSize;

// Counts the codec's allocations from its construction on and fails the
// `failCall`-th of them.
class MallocWatch {
public:
    explicit MallocWatch(int failCall = 0) {
        g_mallocCalls = 0;
        g_failMallocCall = failCall;
    }
    ~MallocWatch() { g_failMallocCall = 0; }
    MallocWatch(const MallocWatch&) = delete;
    MallocWatch& operator=(const MallocWatch&) = delete;
    int Calls() const { return g_mallocCalls; }
    std::vector<std::size_t> Sizes() const {
        return {g_mallocSizes.begin(), g_mallocSizes.begin() + std::min<std::size_t>(g_mallocCalls, g_mallocSizes.size())};
    }
};

// Serves bytes from memory the way a file does, or with the quirks a test
// asks for. Requests (reads and skips) are counted together.
struct MemorySource {
    explicit MemorySource(std::span<const BYTE> bytes) : data(bytes) {}

    std::span<const BYTE> data;
    std::size_t position = 0;
    std::vector<DWORD> pieces;  // per-request limits, used in turn; empty for none
    int failRequest = -1;       // 0-based index of the request that fails
    bool overDeliver = false;   // report one byte more than was asked for
    int requests = 0;
    std::vector<DWORD> readsAsked;
    std::size_t bytesSkipped = 0;

    CodecSource Source() { return CodecSource{this, &Read}; }
    CodecScanSource ScanSource(bool withSkip) { return CodecScanSource{Source(), withSkip ? &Skip : nullptr}; }

private:
    // Returns how many of `count` bytes this request may pass, or nothing
    // when the request is to fail.
    std::optional<DWORD> Admit(DWORD count) {
        const int index = requests++;
        if (index == failRequest) return std::nullopt;
        DWORD allowed = std::min<std::size_t>(count, data.size() - position);
        if (!pieces.empty()) allowed = std::min(allowed, pieces[index % pieces.size()]);
        return allowed;
    }

    static BOOL Read(void* context, void* buffer, DWORD count, DWORD* delivered) {
        auto* self = static_cast<MemorySource*>(context);
        self->readsAsked.push_back(count);
        const std::optional<DWORD> allowed = self->Admit(count);
        if (!allowed) return FALSE;
        if (*allowed != 0) std::memcpy(buffer, self->data.data() + self->position, *allowed);
        self->position += *allowed;
        *delivered = self->overDeliver ? count + 1 : *allowed;
        return TRUE;
    }

    static BOOL Skip(void* context, DWORD count, DWORD* skipped) {
        auto* self = static_cast<MemorySource*>(context);
        const std::optional<DWORD> allowed = self->Admit(count);
        if (!allowed) return FALSE;
        self->position += *allowed;
        self->bytesSkipped += *allowed;
        *skipped = *allowed;
        return TRUE;
    }
};

struct MemorySink {
    Bytes bytes;
    int failWrite = -1;  // 0-based index of the write that fails
    int writes = 0;
    int writesAfterFailure = 0;
    std::vector<DWORD> counts;

    CodecSink Sink() { return CodecSink{this, &Write}; }

private:
    static BOOL Write(void* context, const void* buffer, DWORD count) {
        auto* self = static_cast<MemorySink*>(context);
        const int index = self->writes++;
        if (self->failWrite >= 0 && index > self->failWrite) ++self->writesAfterFailure;
        if (index == self->failWrite) return FALSE;
        self->counts.push_back(count);
        const auto* bytes = static_cast<const BYTE*>(buffer);
        self->bytes.insert(self->bytes.end(), bytes, bytes + count);
        return TRUE;
    }
};

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

Bytes Le32(DWORD value) {
    return {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8), static_cast<BYTE>(value >> 16),
            static_cast<BYTE>(value >> 24)};
}

Bytes Header(DWORD dataLength, DWORD storedLength) { return Join({Le32(dataLength), Le32(storedLength)}); }

Bytes Text(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes Signature() { return Bytes(kCodecSignature, kCodecSignature + kCodecSignatureSize); }

Bytes Zeros(std::size_t count) { return Bytes(count, 0); }

Bytes Random(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (BYTE& byte : bytes) byte = static_cast<BYTE>(generator());
    return bytes;
}

// Words from a small vocabulary: compresses like prose, not like zeros.
Bytes TextLike(std::size_t count, unsigned seed) {
    static constexpr std::string_view kWords[] = {"card ",  "file ",   "block ", "volume ", "the ",
                                                  "of ",    "stored ", "data ",  "open ",   "close\n"};
    std::mt19937 generator(seed);
    Bytes bytes;
    bytes.reserve(count + 8);
    while (bytes.size() < count) {
        const std::string_view word = kWords[generator() % std::size(kWords)];
        bytes.insert(bytes.end(), word.begin(), word.end());
    }
    bytes.resize(count);
    return bytes;
}

Bytes ZlibStream(const Bytes& data, int level) {
    uLongf length = compressBound(data.size());
    Bytes stream(length);
    EXPECT_EQ(compress2(stream.data(), &length, data.data(), data.size(), level), Z_OK);
    stream.resize(length);
    return stream;
}

Bytes CompressedBlock(const Bytes& data, int level = kCodecLevel) {
    const Bytes stream = ZlibStream(data, level);
    return Join({Header(static_cast<DWORD>(data.size()), static_cast<DWORD>(stream.size())), stream});
}

Bytes RawBlock(const Bytes& data) {
    return Join({Header(static_cast<DWORD>(data.size()), static_cast<DWORD>(data.size())), data});
}

Bytes Prefix(const Bytes& bytes, std::size_t count) { return Bytes(bytes.begin(), bytes.begin() + count); }

Bytes Encode(const Bytes& data) {
    MemorySource source(data);
    MemorySink sink;
    const CodecSource codecSource = source.Source();
    const CodecSink codecSink = sink.Sink();
    EXPECT_EQ(CodecEncode(&codecSource, &codecSink), kCodecCompleted);
    return sink.bytes;
}

struct Decoded {
    CodecResult result;
    Bytes data;
};

// Decodes the blocks that follow a signature.
Decoded DecodeBlocks(std::span<const BYTE> blocks) {
    MemorySource source(blocks);
    MemorySink sink;
    const CodecSource codecSource = source.Source();
    const CodecSink codecSink = sink.Sink();
    const CodecResult result = CodecDecode(&codecSource, &codecSink);
    return {result, sink.bytes};
}

// Decodes a whole file, signature first.
Decoded DecodeFile(const Bytes& file) {
    EXPECT_TRUE(CodecIsSignature(file.data(), std::min<DWORD>(file.size(), kCodecSignatureSize)));
    return DecodeBlocks(std::span<const BYTE>(file).subspan(kCodecSignatureSize));
}

CodecScanReport Scan(const Bytes& file, bool verify, bool withSkip, CodecResult expected) {
    MemorySource source(std::span<const BYTE>(file).subspan(kCodecSignatureSize));
    const CodecScanSource scanSource = source.ScanSource(withSkip);
    CodecScanReport report{};
    EXPECT_EQ(CodecScan(&scanSource, verify, &report), expected);
    return report;
}

// ---------------------------------------------------------------- signature

TEST(CodecSignature, OnlyFourDeliveredSignatureBytesMarkACompressedFile) {
    const struct {
        Bytes bytes;
        DWORD delivered;
        BOOL compressed;
    } cases[] = {
        {{}, 0, FALSE},
        {{0xBE}, 1, FALSE},
        {{0xBE, 0xEF}, 2, FALSE},
        {{0xBE, 0xEF, 0x85}, 3, FALSE},
        {{0xBE, 0xEF, 0x85, 0xA1}, 4, TRUE},
        {{0xBE, 0xEF, 0x85, 0xA1}, 3, FALSE},  // a short read of a signature file
        {{0xBE, 0xEF, 0x85, 0xA0}, 4, FALSE},
        {{0xA1, 0x85, 0xEF, 0xBE}, 4, FALSE},  // the number, not the bytes
        {{0x00, 0x00, 0x00, 0x00}, 4, FALSE},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(CodecIsSignature(c.bytes.data(), c.delivered), c.compressed) << "delivered " << c.delivered;
    }
    EXPECT_FALSE(CodecIsSignature(nullptr, 4));
}

// ---------------------------------------------------------------- encoder bytes

TEST(CodecEncode, EmptySourceGivesExactlyTheSignature) {
    EXPECT_EQ(Encode({}), (Bytes{0xBE, 0xEF, 0x85, 0xA1}));
}

TEST(CodecEncode, ThreeBytesGoOutAsARawBlock) {
    EXPECT_EQ(Encode(Text("abc")),
              (Bytes{0xBE, 0xEF, 0x85, 0xA1, 0x03, 0, 0, 0, 0x03, 0, 0, 0, 0x61, 0x62, 0x63}));
}

TEST(CodecEncode, AWholeBlockOfZerosIsOneCompressedBlock) {
    const Bytes file = Encode(Zeros(kBlock));
    ASSERT_GT(file.size(), 14u);
    EXPECT_EQ(Bytes(file.begin() + 4, file.begin() + 8), (Bytes{0x00, 0x00, 0x02, 0x00}));
    const DWORD stored = file[8] | file[9] << 8 | file[10] << 16 | file[11] << 24;
    EXPECT_LT(stored, 1024u);
    EXPECT_EQ(file.size(), 12u + stored);
    EXPECT_EQ(file[12], 0x78);
    EXPECT_EQ(file[13], 0xDA);
    const Decoded decoded = DecodeFile(file);
    EXPECT_EQ(decoded.result, kCodecCompleted);
    EXPECT_EQ(decoded.data, Zeros(kBlock));
}

TEST(CodecEncode, OneByteMoreAddsARawBlockOfOne) {
    const Bytes whole = Encode(Zeros(kBlock));
    const Bytes file = Encode(Zeros(kBlock + 1));
    EXPECT_EQ(file, Join({whole, Bytes{0x01, 0, 0, 0, 0x01, 0, 0, 0, 0x00}}));
    EXPECT_EQ(DecodeFile(file).data, Zeros(kBlock + 1));
}

// Data whose level-9 stream is `shortfall` bytes shorter than the data itself,
// found by growing a run of zeros behind random bytes.
std::optional<Bytes> DataWithStreamShortfall(std::size_t shortfall) {
    const Bytes random = Random(300, 11);
    for (std::size_t zeros = 0; zeros < 4000; ++zeros) {
        Bytes data = Join({random, Zeros(zeros)});
        if (ZlibStream(data, kCodecLevel).size() + shortfall == data.size()) return data;
    }
    return std::nullopt;
}

TEST(CodecEncode, AStreamAsLongAsTheDataGoesOutRawOneByteShorterCompressed) {
    const std::optional<Bytes> even = DataWithStreamShortfall(0);
    ASSERT_TRUE(even.has_value());
    EXPECT_EQ(Encode(*even), Join({Signature(), RawBlock(*even)}));

    const std::optional<Bytes> shorter = DataWithStreamShortfall(1);
    ASSERT_TRUE(shorter.has_value());
    const DWORD shorterLength = static_cast<DWORD>(shorter->size());
    const Bytes file = Encode(*shorter);
    EXPECT_EQ(Prefix(file, 12), Join({Signature(), Header(shorterLength, shorterLength - 1)}));
    EXPECT_EQ(file.size(), 12u + shorterLength - 1);
    EXPECT_EQ(DecodeFile(file).data, *shorter);
}

// ---------------------------------------------------------------- round trips

TEST(CodecRoundTrip, SizesAroundBlockBoundaries) {
    const std::size_t sizes[] = {0, 1, 2, kBlock - 1, kBlock, kBlock + 1, 2 * kBlock, 2 * kBlock + 5};
    for (const bool compressible : {true, false}) {
        for (const std::size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << "size " << size << (compressible ? " text" : " random"));
            const Bytes data = compressible ? TextLike(size, 3) : Random(size, 5);
            const Bytes file = Encode(data);
            const Decoded decoded = DecodeFile(file);
            EXPECT_EQ(decoded.result, kCodecCompleted);
            EXPECT_EQ(decoded.data, data);

            const CodecScanReport report = Scan(file, TRUE, false, kCodecCompleted);
            EXPECT_EQ(report.plainSize, size);
            EXPECT_EQ(report.storedSize, file.size());
            EXPECT_EQ(report.compressedBlocks + report.rawBlocks, (size + kBlock - 1) / kBlock);
            if (compressible) {
                EXPECT_GE(report.compressedBlocks, size / kBlock);
            }
            if (!compressible) {
                EXPECT_EQ(report.compressedBlocks, 0u);
            }
        }
    }
}

TEST(CodecRoundTrip, ShortReadsMakeShorterBlocksThatStillDecode) {
    const Bytes data = TextLike(3 * kBlock + 17, 8);
    MemorySource source(data);
    source.pieces = {kBlock, 7, 65536, 1, kBlock - 3};
    MemorySink sink;
    const CodecSource codecSource = source.Source();
    const CodecSink codecSink = sink.Sink();
    ASSERT_EQ(CodecEncode(&codecSource, &codecSink), kCodecCompleted);

    // One block per read: the encoder never waits for a fuller one.
    std::vector<DWORD> dataLengths;
    std::size_t at = kCodecSignatureSize;
    while (at < sink.bytes.size()) {
        const BYTE* h = sink.bytes.data() + at;
        const DWORD dataLength = h[0] | h[1] << 8 | h[2] << 16 | h[3] << 24;
        const DWORD stored = h[4] | h[5] << 8 | h[6] << 16 | h[7] << 24;
        dataLengths.push_back(dataLength);
        at += kCodecHeaderSize + std::min(stored, dataLength);
    }
    EXPECT_EQ(at, sink.bytes.size());
    std::vector<DWORD> expected;
    for (std::size_t left = data.size(), i = 0; left != 0; ++i) {
        const DWORD piece = std::min<std::size_t>(left, source.pieces[i % source.pieces.size()]);
        expected.push_back(piece);
        left -= piece;
    }
    EXPECT_EQ(dataLengths, expected);

    EXPECT_EQ(DecodeFile(sink.bytes).data, data);
}

// What one thread makes of `data` read in `pieces` (whole blocks when
// empty): every block compress2 at level 9 on its own, kept when shorter.
Bytes OneThreadEncoding(const Bytes& data, const std::vector<DWORD>& pieces) {
    Bytes file = Signature();
    std::size_t at = 0;
    for (std::size_t i = 0; at < data.size(); ++i) {
        DWORD piece = std::min<std::size_t>(data.size() - at, kBlock);
        if (!pieces.empty()) piece = std::min(piece, pieces[i % pieces.size()]);
        const Bytes block(data.begin() + at, data.begin() + at + piece);
        at += piece;
        uLongf length = kCodecOutputCapacity;
        Bytes stream(length);
        const bool shorter = compress2(stream.data(), &length, block.data(), block.size(), kCodecLevel) == Z_OK &&
                             length < piece;
        stream.resize(length);
        const Bytes stored = shorter ? Join({Header(piece, static_cast<DWORD>(length)), stream}) : RawBlock(block);
        file.insert(file.end(), stored.begin(), stored.end());
    }
    return file;
}

// Up to `limit` bytes of the first regular files under `folder`.
Bytes RealFiles(const char* folder, std::size_t limit) {
    Bytes bytes;
    std::error_code error;
    for (const auto& item : std::filesystem::recursive_directory_iterator(folder, error)) {
        if (bytes.size() >= limit) break;
        if (!item.is_regular_file(error) || item.is_symlink(error)) continue;
        std::ifstream in(item.path(), std::ios::binary);
        const Bytes content{std::istreambuf_iterator<char>(in), {}};
        bytes.insert(bytes.end(), content.begin(), content.begin() + std::min(content.size(), limit - bytes.size()));
    }
    return bytes;
}

// The blocks of one file are compressed on several threads; the output is
// still, byte for byte, what compress2 level 9 gives on one thread, for the
// format's corner cases, for reads cut short anywhere, and for real files.
TEST(CodecEncode, EqualsOneThreadCompress2ByteForByte) {
    const std::optional<Bytes> even = DataWithStreamShortfall(0);
    const std::optional<Bytes> shorter = DataWithStreamShortfall(1);
    ASSERT_TRUE(even.has_value() && shorter.has_value());
    struct {
        const char* what;
        Bytes data;
        std::vector<DWORD> pieces;
    } cases[] = {
        {"empty", {}, {}},
        {"one byte", Text("q"), {}},
        {"a block less one", TextLike(kBlock - 1, 30), {}},
        {"a block", TextLike(kBlock, 31), {}},
        {"a block and one", TextLike(kBlock + 1, 32), {}},
        {"two blocks", Join({TextLike(kBlock, 33), Random(kBlock, 33)}), {}},
        {"stream as long as the data, twice", Join({*even, *even, *shorter}), {}},
        {"stream one shorter, between others", Join({TextLike(kBlock, 34), *shorter, Zeros(kBlock)}), {}},
        {"zeros and noise, many blocks",
         Join({Zeros(3 * kBlock), Random(5 * kBlock + 3, 35), TextLike(3 * kBlock + 11, 35)}), {}},
        {"short reads", TextLike(3 * kBlock + 5, 36), {kBlock, 7, 65536, 1, kBlock - 3}},
        {"one byte reads", TextLike(3000, 37), {1}},
        {"headers", RealFiles("/usr/include", 1536 << 10), {}},
        {"documentation", RealFiles("/usr/share/doc", 1 << 20), {}},
        {"programs", RealFiles("/usr/bin", 1536 << 10), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MemorySource source(c.data);
        source.pieces = c.pieces;
        MemorySink sink;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        ASSERT_EQ(CodecEncode(&codecSource, &codecSink), kCodecCompleted);
        EXPECT_TRUE(sink.bytes == OneThreadEncoding(c.data, c.pieces));
        // Every read asks for a whole block, in order, as on one thread.
        EXPECT_TRUE(std::all_of(source.readsAsked.begin(), source.readsAsked.end(),
                                [](DWORD asked) { return asked == kBlock; }));
    }
}

// Each block's stream decoded on its own by zlib's uncompress and by
// libdeflate's decoder; raw blocks as they stand. Empty when a block is not
// decoded whole by both to the same bytes.
std::optional<Bytes> DecodeWithBothDecoders(const Bytes& file) {
    Bytes plain;
    libdeflate_decompressor* inflater = libdeflate_alloc_decompressor();
    std::size_t at = kCodecSignatureSize;
    bool sound = inflater != nullptr;
    while (sound && at + kCodecHeaderSize <= file.size()) {
        const BYTE* h = file.data() + at;
        const DWORD dataLength = h[0] | h[1] << 8 | h[2] << 16 | h[3] << 24;
        const DWORD stored = h[4] | h[5] << 8 | h[6] << 16 | h[7] << 24;
        at += kCodecHeaderSize;
        if (stored >= dataLength) {
            plain.insert(plain.end(), file.begin() + at, file.begin() + at + dataLength);
            at += dataLength;
            continue;
        }
        Bytes byZlib(dataLength), byLibdeflate(dataLength);
        uLongf produced = dataLength;
        size_t made = 0;
        sound = uncompress(byZlib.data(), &produced, file.data() + at, stored) == Z_OK && produced == dataLength &&
                libdeflate_zlib_decompress(inflater, file.data() + at, stored, byLibdeflate.data(), dataLength,
                                           &made) == LIBDEFLATE_SUCCESS &&
                made == dataLength && byZlib == byLibdeflate;
        plain.insert(plain.end(), byZlib.begin(), byZlib.end());
        at += stored;
    }
    if (inflater != nullptr) libdeflate_free_decompressor(inflater);
    if (!sound || at != file.size()) return std::nullopt;
    return plain;
}

// Files written with either encoder decode exactly with either decoder, and
// with the codec's own; the libdeflate encoder keeps the format's rules.
TEST(CodecEncode, EitherEncoderDecodesWithEitherDecoder) {
    const std::optional<Bytes> even = DataWithStreamShortfall(0);
    ASSERT_TRUE(even.has_value());
    const Bytes cases[] = {
        {},
        Text("q"),
        TextLike(kBlock + 1, 40),
        Join({Zeros(kBlock), Random(kBlock, 41), *even, TextLike(999, 41)}),
        RealFiles("/usr/include", 512 << 10),
        RealFiles("/usr/bin", 512 << 10),
    };
    for (const CodecEncoder encoder : {kCodecEncoderZlib, kCodecEncoderLibdeflate}) {
        for (const Bytes& data : cases) {
            SCOPED_TRACE(testing::Message() << "encoder " << encoder << ", " << data.size() << " bytes");
            MemorySource source(data);
            MemorySink sink;
            const CodecSource codecSource = source.Source();
            const CodecSink codecSink = sink.Sink();
            ASSERT_EQ(CodecEncodeWith(&codecSource, &codecSink, encoder), kCodecCompleted);
            const std::optional<Bytes> both = DecodeWithBothDecoders(sink.bytes);
            ASSERT_TRUE(both.has_value());
            EXPECT_TRUE(*both == data);
            const Decoded decoded = DecodeFile(sink.bytes);
            EXPECT_EQ(decoded.result, kCodecCompleted);
            EXPECT_TRUE(decoded.data == data);
            // Raw where the data does not shrink, as with zlib.
            if (data.size() == 1) {
                EXPECT_EQ(sink.bytes, Join({Signature(), RawBlock(data)}));
            }
        }
    }
}

TEST(CodecRoundTrip, DecoderAndScanTakeASourceThatDeliversInPieces) {
    const Bytes data = Join({TextLike(kBlock + 100, 9), Random(5000, 9)});
    const Bytes file = Encode(data);
    for (const DWORD piece : {1u, 3u, 4097u}) {
        SCOPED_TRACE(testing::Message() << "pieces of " << piece);
        MemorySource source(std::span<const BYTE>(file).subspan(kCodecSignatureSize));
        source.pieces = {piece};
        MemorySink sink;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        EXPECT_EQ(CodecDecode(&codecSource, &codecSink), kCodecCompleted);
        EXPECT_EQ(sink.bytes, data);

        MemorySource scanned(std::span<const BYTE>(file).subspan(kCodecSignatureSize));
        scanned.pieces = {piece};
        const CodecScanSource scanSource = scanned.ScanSource(true);
        CodecScanReport report{};
        EXPECT_EQ(CodecScan(&scanSource, TRUE, &report), kCodecCompleted);
        EXPECT_EQ(report.plainSize, data.size());
    }
}

// ---------------------------------------------------------------- decoder on fixed inputs

TEST(CodecDecode, FixedInputs) {
    const Bytes thousandZeros = Zeros(1000);
    const Bytes zerosStream = ZlibStream(thousandZeros, kCodecLevel);
    const DWORD zerosStreamLength = static_cast<DWORD>(zerosStream.size());
    Bytes badChecksum = CompressedBlock(thousandZeros);
    badChecksum.back() ^= 0xFF;
    Bytes badStreamHeader = CompressedBlock(thousandZeros);
    badStreamHeader[kCodecHeaderSize] = 0x00;
    const Bytes text = TextLike(50000, 4);
    const Bytes textBlock = CompressedBlock(text);

    const struct {
        const char* name;
        Bytes blocks;
        CodecResult result;
        Bytes data;
    } cases[] = {
        {"nothing behind the signature", {}, kCodecCompleted, {}},
        {"stored length above data length is a raw block of data length",
         Join({Header(3, 100), Text("xyz"), RawBlock(Text("ab"))}), kCodecCompleted, Text("xyzab")},
        {"stored length 0xFFFFFFFF is still raw", Join({Header(2, 0xFFFFFFFF), Text("ok")}), kCodecCompleted,
         Text("ok")},
        {"a data length of 0 ends the decoding",
         Join({RawBlock(Text("abc")), Header(0, 0), RawBlock(Text("def"))}), kCodecDamaged, Text("abc")},
        {"a stream made at level 6 decodes", CompressedBlock(text, 6), kCodecCompleted, text},
        {"a stream made at level 1 decodes", CompressedBlock(text, 1), kCodecCompleted, text},
        {"a stream holding fewer bytes than its data length yields them and goes on",
         Join({Header(2000, zerosStreamLength), zerosStream, RawBlock(Text("abc"))}), kCodecDamaged,
         Join({thousandZeros, Text("abc")})},
        {"a stream holding more than its data length yields data length and goes on",
         Join({Header(500, zerosStreamLength), zerosStream, RawBlock(Text("abc"))}), kCodecDamaged,
         Join({Zeros(500), Text("abc")})},
        {"a bad checksum keeps the block's place",
         Join({RawBlock(Text("abc")), badChecksum, RawBlock(Text("def"))}), kCodecDamaged,
         Join({Text("abc"), thousandZeros, Text("def")})},
        {"a refused stream yields data length of zeros",
         Join({badStreamHeader, RawBlock(Text("def"))}), kCodecDamaged, Join({Zeros(1000), Text("def")})},
        {"a compressed block with stored length 0 ends the decoding",
         Join({RawBlock(Text("abc")), Header(10, 0), RawBlock(Text("def"))}), kCodecDamaged, Text("abc")},
        {"a raw payload cut short yields only what came",
         Join({RawBlock(Text("abc")), Header(10, 10), Text("defg")}), kCodecDamaged, Text("abcdefg")},
        {"a raw payload missing entirely", Join({RawBlock(Text("abc")), Header(10, 10)}), kCodecDamaged,
         Text("abc")},
        {"the largest block the encoder writes", RawBlock(Random(kBlock, 2)), kCodecCompleted, Random(kBlock, 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded decoded = DecodeBlocks(c.blocks);
        EXPECT_EQ(decoded.result, c.result);
        EXPECT_EQ(decoded.data, c.data);
    }
}

TEST(CodecDecode, AHeaderCutShortYieldsTheWholeBlocksBeforeIt) {
    const Bytes whole = Join({RawBlock(Text("abc")), CompressedBlock(Zeros(1000))});
    const Bytes next = Header(3, 3);
    for (std::size_t cut = 1; cut < kCodecHeaderSize; ++cut) {
        SCOPED_TRACE(testing::Message() << cut << " header bytes");
        const Decoded decoded = DecodeBlocks(Join({whole, Prefix(next, cut)}));
        EXPECT_EQ(decoded.result, kCodecDamaged);
        EXPECT_EQ(decoded.data, Join({Text("abc"), Zeros(1000)}));
    }
}

TEST(CodecDecode, ACompressedPayloadCutShortYieldsWhatZlibMadeOfItAndEnds) {
    const Bytes data = TextLike(kBlock, 6);
    const Bytes block = CompressedBlock(data);
    const Decoded decoded = DecodeBlocks(Prefix(block, block.size() / 2));
    EXPECT_EQ(decoded.result, kCodecDamaged);
    EXPECT_LT(decoded.data.size(), data.size());
    EXPECT_EQ(decoded.data, Prefix(data, decoded.data.size()));
}

TEST(CodecDecode, DataLengthsAboveTheBlockSizeAreRefusedBeforeAnyAllocation) {
    const struct {
        DWORD dataLength;
        DWORD storedLength;
    } cases[] = {
        {kBlock + 1, 5},            // compressed
        {kBlock + 1, kBlock + 1},   // raw
        {0xFFFFFFFF, 0xFFFFFFFE},   // compressed, 8 GiB of buffers if believed
        {0xFFFFFFFF, 0xFFFFFFFF},   // raw
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.dataLength << "/" << c.storedLength);
        const Bytes blocks = Join({Header(c.dataLength, c.storedLength), Random(64, 1)});
        MemorySource source(blocks);
        MemorySink sink;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        const MallocWatch watch;
        EXPECT_EQ(CodecDecode(&codecSource, &codecSink), kCodecDamaged);
        EXPECT_EQ(watch.Calls(), 0);
        EXPECT_EQ(source.readsAsked, (std::vector<DWORD>{4, 4}));
        EXPECT_TRUE(sink.bytes.empty());
    }
}

TEST(CodecDecode, TakesBuffersOfTheBlocksOwnLengths) {
    // Odd lengths, so that under AddressSanitizer any overrun of these exact
    // buffers faults.
    const Bytes a = TextLike(12345, 1);
    const Bytes b = Random(777, 2);
    const Bytes aStream = ZlibStream(a, kCodecLevel);
    const Bytes zStream = ZlibStream(Zeros(4321), kCodecLevel);
    const Bytes blocks = Join({CompressedBlock(a), RawBlock(b), CompressedBlock(Zeros(4321))});
    const MallocWatch watch;
    const Decoded decoded = DecodeBlocks(blocks);
    EXPECT_EQ(decoded.result, kCodecCompleted);
    EXPECT_EQ(decoded.data, Join({a, b, Zeros(4321)}));
    EXPECT_EQ(watch.Sizes(), (std::vector<std::size_t>{12345, aStream.size(), 777, 4321, zStream.size()}));
}

TEST(CodecDecode, MutatedFilesDecodeWithinTheirHeadersAndAgreeWithTheScan) {
    const Bytes data = Join({TextLike(5000, 31), Random(300, 32), TextLike(20000, 33)});
    const Bytes file = Join({Signature(), CompressedBlock(Prefix(data, 5000)),
                             RawBlock(Bytes(data.begin() + 5000, data.begin() + 5300)),
                             CompressedBlock(Bytes(data.begin() + 5300, data.end()))});
    std::mt19937 generator(34);
    for (int round = 0; round < 400; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        Bytes mutated = file;
        const int changes = 1 + static_cast<int>(generator() % 4);
        for (int i = 0; i < changes; ++i) {
            mutated[kCodecSignatureSize + generator() % (mutated.size() - kCodecSignatureSize)] =
                static_cast<BYTE>(generator());
        }
        if (round % 5 == 0) mutated.resize(kCodecSignatureSize + generator() % (mutated.size() - kCodecSignatureSize));

        const Decoded decoded = DecodeFile(mutated);
        const CodecScanReport report = Scan(mutated, TRUE, round % 2 == 0, decoded.result);
        // A cut or refused block can yield at most one block more than the whole ones.
        EXPECT_LE(decoded.data.size(), report.plainSize + kBlock);
        if (decoded.result == kCodecCompleted) {
            EXPECT_EQ(decoded.data.size(), report.plainSize);
        }
    }
}

// ---------------------------------------------------------------- failing sources, sinks, memory

// A file of three blocks (compressed, raw, compressed) and its data.
struct ThreeBlocks {
    Bytes data = Join({TextLike(kBlock, 21), Random(kBlock, 22), TextLike(999, 23)});
    Bytes file = Encode(data);
    std::vector<std::size_t> boundaries = {0, kBlock, 2 * kBlock, 2 * kBlock + 999};
};

TEST(CodecEncode, AFailedReadEndsAWellFormedFileOfTheDataBeforeIt) {
    const ThreeBlocks three;
    for (int failing = 0; failing <= 3; ++failing) {
        SCOPED_TRACE(testing::Message() << "read " << failing << " fails");
        MemorySource source(three.data);
        source.failRequest = failing;
        MemorySink sink;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        EXPECT_EQ(CodecEncode(&codecSource, &codecSink), kCodecSourceFailed);
        const Decoded decoded = DecodeFile(sink.bytes);
        EXPECT_EQ(decoded.result, kCodecCompleted);
        EXPECT_EQ(decoded.data, Prefix(three.data, three.boundaries[failing]));
    }
}

TEST(CodecEncode, ASourceDeliveringMoreThanAskedIsAFailure) {
    const Bytes data = Text("abc");
    MemorySource source(data);
    source.overDeliver = true;
    MemorySink sink;
    const CodecSource codecSource = source.Source();
    const CodecSink codecSink = sink.Sink();
    EXPECT_EQ(CodecEncode(&codecSource, &codecSink), kCodecSourceFailed);
    EXPECT_EQ(sink.bytes, Signature());
}

TEST(CodecEncode, AFailedWriteStopsAtOnce) {
    const ThreeBlocks three;
    const int totalWrites = 1 + 2 * 3;
    for (int failing = 0; failing < totalWrites; ++failing) {
        SCOPED_TRACE(testing::Message() << "write " << failing << " fails");
        MemorySource source(three.data);
        MemorySink sink;
        sink.failWrite = failing;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        EXPECT_EQ(CodecEncode(&codecSource, &codecSink), kCodecSinkFailed);
        EXPECT_EQ(sink.writesAfterFailure, 0);
        EXPECT_EQ(sink.writes, failing + 1);
        EXPECT_EQ(sink.bytes, Prefix(three.file, sink.bytes.size()));
    }
}

TEST(CodecEncode, NoMemoryLeavesTheSinkAndSourceUntouched) {
    const Bytes data = TextLike(1000, 1);
    for (const int failing : {1, 2}) {
        SCOPED_TRACE(testing::Message() << "allocation " << failing << " fails");
        MemorySource source(data);
        MemorySink sink;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        const MallocWatch watch(failing);
        EXPECT_EQ(CodecEncode(&codecSource, &codecSink), kCodecNoMemory);
        EXPECT_EQ(sink.writes, 0);
        EXPECT_EQ(source.requests, 0);
    }
    // A file of one block takes one block's two buffers; a longer one at
    // most two blocks' for each thread, however long it is.
    {
        MemorySource source(data);
        MemorySink sink;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        const MallocWatch watch;
        EXPECT_EQ(CodecEncode(&codecSource, &codecSink), kCodecCompleted);
        EXPECT_EQ(watch.Calls(), 2);
    }
    const Bytes many = Zeros(4 * kCodecMostThreads * kBlock + 1);
    MemorySource source(many);
    MemorySink sink;
    const CodecSource codecSource = source.Source();
    const CodecSink codecSink = sink.Sink();
    const MallocWatch watch;
    EXPECT_EQ(CodecEncode(&codecSource, &codecSink), kCodecCompleted);
    EXPECT_GE(watch.Calls(), 2);
    EXPECT_LE(watch.Calls(), static_cast<int>(2 * 2 * kCodecMostThreads));
    EXPECT_EQ(DecodeFile(sink.bytes).data, many);
}

// A later buffer that cannot be had leaves the run to the buffers it has:
// the output is the same.
TEST(CodecEncode, NoMemoryForReadAheadChangesNothing) {
    const Bytes data = Join({Zeros(5 * kBlock), Random(kBlock, 4), TextLike(77, 4)});
    const Bytes expected = Encode(data);
    for (const int failing : {3, 4, 5, 6}) {
        SCOPED_TRACE(testing::Message() << "allocation " << failing << " fails");
        MemorySource source(data);
        MemorySink sink;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        const MallocWatch watch(failing);
        EXPECT_EQ(CodecEncode(&codecSource, &codecSink), kCodecCompleted);
        EXPECT_EQ(sink.bytes, expected);
    }
}

TEST(CodecDecode, AFailedRequestEndsWithTheWholeBlocksBeforeIt) {
    const ThreeBlocks three;
    const std::span<const BYTE> blocks = std::span<const BYTE>(three.file).subspan(kCodecSignatureSize);
    MemorySource counting(blocks);
    MemorySink ignored;
    const CodecSource countingSource = counting.Source();
    const CodecSink ignoredSink = ignored.Sink();
    ASSERT_EQ(CodecDecode(&countingSource, &ignoredSink), kCodecCompleted);

    for (int failing = 0; failing < counting.requests; ++failing) {
        SCOPED_TRACE(testing::Message() << "request " << failing << " fails");
        MemorySource source(blocks);
        source.failRequest = failing;
        MemorySink sink;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        EXPECT_EQ(CodecDecode(&codecSource, &codecSink), kCodecSourceFailed);
        EXPECT_EQ(source.requests, failing + 1);
        EXPECT_NE(std::find(three.boundaries.begin(), three.boundaries.end(), sink.bytes.size()),
                  three.boundaries.end());
        EXPECT_EQ(sink.bytes, Prefix(three.data, sink.bytes.size()));
    }
}

TEST(CodecDecode, ASourceDeliveringMoreThanAskedIsAFailure) {
    const Bytes blocks = RawBlock(Text("abc"));
    MemorySource source(blocks);
    source.overDeliver = true;
    MemorySink sink;
    const CodecSource codecSource = source.Source();
    const CodecSink codecSink = sink.Sink();
    EXPECT_EQ(CodecDecode(&codecSource, &codecSink), kCodecSourceFailed);
    EXPECT_TRUE(sink.bytes.empty());
}

TEST(CodecDecode, AFailedWriteStopsAtOnceAndKeepsWhatWentBefore) {
    const ThreeBlocks three;
    for (int failing = 0; failing < 3; ++failing) {
        SCOPED_TRACE(testing::Message() << "write " << failing << " fails");
        MemorySource source(std::span<const BYTE>(three.file).subspan(kCodecSignatureSize));
        MemorySink sink;
        sink.failWrite = failing;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        EXPECT_EQ(CodecDecode(&codecSource, &codecSink), kCodecSinkFailed);
        EXPECT_EQ(sink.writesAfterFailure, 0);
        EXPECT_EQ(sink.bytes, Prefix(three.data, three.boundaries[failing]));
    }
}

TEST(CodecDecode, AFailedWriteOfADamagedBlockIsStillReported) {
    Bytes bad = CompressedBlock(Zeros(1000));
    bad.back() ^= 0xFF;
    for (const Bytes& blocks : {bad, Join({Header(10, 10), Text("abc")})}) {
        MemorySource source(blocks);
        MemorySink sink;
        sink.failWrite = 0;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        EXPECT_EQ(CodecDecode(&codecSource, &codecSink), kCodecSinkFailed);
    }
}

TEST(CodecDecode, NoMemoryEndsWithTheWholeBlocksBeforeIt) {
    // Raw, compressed, raw: one buffer, then two, then one.
    const Bytes first = Random(300, 1);
    const Bytes second = Zeros(5000);
    const Bytes blocks = Join({RawBlock(first), CompressedBlock(second), RawBlock(Text("end"))});
    const struct {
        int failing;
        Bytes kept;
    } cases[] = {
        {1, {}},
        {2, first},
        {3, first},
        {4, Join({first, second})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "allocation " << c.failing << " fails");
        MemorySource source(blocks);
        MemorySink sink;
        const CodecSource codecSource = source.Source();
        const CodecSink codecSink = sink.Sink();
        const MallocWatch watch(c.failing);
        EXPECT_EQ(CodecDecode(&codecSource, &codecSink), kCodecNoMemory);
        EXPECT_EQ(sink.bytes, c.kept);
    }
}

// ---------------------------------------------------------------- scan

TEST(CodecScan, ASoundFileWithAndWithoutSkipAndVerify) {
    const ThreeBlocks three;
    for (const bool verify : {false, true}) {
        for (const bool withSkip : {false, true}) {
            SCOPED_TRACE(testing::Message() << "verify " << verify << " skip " << withSkip);
            const CodecScanReport report = Scan(three.file, verify, withSkip, kCodecCompleted);
            EXPECT_EQ(report.plainSize, three.data.size());
            EXPECT_EQ(report.storedSize, three.file.size());
            EXPECT_EQ(report.compressedBlocks, 2u);
            EXPECT_EQ(report.rawBlocks, 1u);
            EXPECT_FALSE(report.damaged);
            EXPECT_EQ(report.damageOffset, 0u);
            EXPECT_EQ(report.reserved, 0u);
        }
    }
}

TEST(CodecScan, WithSkipAndNoVerifyReadsOnlyHeadersAndTakesNoMemory) {
    const ThreeBlocks three;
    MemorySource source(std::span<const BYTE>(three.file).subspan(kCodecSignatureSize));
    const CodecScanSource scanSource = source.ScanSource(true);
    CodecScanReport report{};
    const MallocWatch watch;
    EXPECT_EQ(CodecScan(&scanSource, FALSE, &report), kCodecCompleted);
    EXPECT_EQ(watch.Calls(), 0);
    EXPECT_EQ(source.readsAsked, (std::vector<DWORD>(3 * 2 + 1, 4)));
    EXPECT_EQ(source.bytesSkipped, three.file.size() - kCodecSignatureSize - 3 * kCodecHeaderSize);
}

TEST(CodecScan, VerifySkipsRawPayloadsItNeedNotExpand) {
    const ThreeBlocks three;
    MemorySource source(std::span<const BYTE>(three.file).subspan(kCodecSignatureSize));
    const CodecScanSource scanSource = source.ScanSource(true);
    CodecScanReport report{};
    EXPECT_EQ(CodecScan(&scanSource, TRUE, &report), kCodecCompleted);
    EXPECT_EQ(source.bytesSkipped, kBlock);
}

TEST(CodecScan, DamagedFiles) {
    const Bytes abc = RawBlock(Text("abc"));  // 11 bytes: the next block starts at offset 15
    const Bytes zeros = CompressedBlock(Zeros(1000));
    const ULONGLONG afterAbc = kCodecSignatureSize + abc.size();
    Bytes badChecksum = zeros;
    badChecksum.back() ^= 0xFF;
    const Bytes zerosStream = ZlibStream(Zeros(1000), kCodecLevel);
    const Bytes claimsMore = Join({Header(2000, static_cast<DWORD>(zerosStream.size())), zerosStream});

    const struct {
        const char* name;
        Bytes blocks;
        BOOL verify;
        CodecResult result;
        ULONGLONG damageOffset;
        ULONGLONG plainSize;
        ULONGLONG compressedBlocks;
        ULONGLONG rawBlocks;
    } cases[] = {
        {"header cut short", Join({abc, Le32(5)}), FALSE, kCodecDamaged, afterAbc, 3, 0, 1},
        {"raw payload cut short", Join({abc, Header(10, 10), Text("abcd")}), FALSE, kCodecDamaged, afterAbc, 3, 0, 1},
        {"compressed payload cut short", Join({abc, Prefix(zeros, zeros.size() - 1)}), FALSE, kCodecDamaged,
         afterAbc, 3, 0, 1},
        {"data length 0", Join({abc, Header(0, 0), abc}), FALSE, kCodecDamaged, afterAbc, 3, 0, 1},
        {"data length above the block size", Join({abc, Header(kBlock + 1, kBlock + 1), abc}), FALSE,
         kCodecDamaged, afterAbc, 3, 0, 1},
        {"compressed with stored length 0", Join({abc, Header(10, 0), abc}), FALSE, kCodecDamaged, afterAbc, 3, 0, 1},
        {"bad checksum, verified", Join({abc, badChecksum, abc}), TRUE, kCodecDamaged, afterAbc, 1006, 1, 2},
        {"bad checksum, not verified", Join({abc, badChecksum, abc}), FALSE, kCodecCompleted, 0, 1006, 1, 2},
        {"stream shorter than its data length, verified", Join({abc, claimsMore, abc}), TRUE, kCodecDamaged,
         afterAbc, 2006, 1, 2},
        {"only the first damage is named", Join({abc, badChecksum, badChecksum}), TRUE, kCodecDamaged, afterAbc,
         2003, 2, 1},
        {"damage in the first block", Join({badChecksum}), TRUE, kCodecDamaged, kCodecSignatureSize, 1000, 1, 0},
    };
    for (const auto& c : cases) {
        for (const bool withSkip : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.name << (withSkip ? ", with skip" : ", reading"));
            const Bytes file = Join({Signature(), c.blocks});
            const CodecScanReport report = Scan(file, c.verify, withSkip, c.result);
            EXPECT_EQ(report.damaged, c.result == kCodecDamaged ? TRUE : FALSE);
            EXPECT_EQ(report.damageOffset, c.damageOffset);
            EXPECT_EQ(report.plainSize, c.plainSize);
            EXPECT_EQ(report.compressedBlocks, c.compressedBlocks);
            EXPECT_EQ(report.rawBlocks, c.rawBlocks);
        }
    }
}

TEST(CodecScan, AFailedReadOrSkipIsReported) {
    const ThreeBlocks three;
    const std::span<const BYTE> blocks = std::span<const BYTE>(three.file).subspan(kCodecSignatureSize);
    for (const bool withSkip : {false, true}) {
        MemorySource counting(blocks);
        const CodecScanSource countingSource = counting.ScanSource(withSkip);
        CodecScanReport report{};
        ASSERT_EQ(CodecScan(&countingSource, TRUE, &report), kCodecCompleted);
        for (int failing = 0; failing < counting.requests; ++failing) {
            SCOPED_TRACE(testing::Message() << "request " << failing << (withSkip ? ", with skip" : ", reading"));
            MemorySource source(blocks);
            source.failRequest = failing;
            const CodecScanSource scanSource = source.ScanSource(withSkip);
            EXPECT_EQ(CodecScan(&scanSource, TRUE, &report), kCodecSourceFailed);
            EXPECT_NE(std::find(three.boundaries.begin(), three.boundaries.end(), report.plainSize),
                      three.boundaries.end());
        }
    }
}

TEST(CodecScan, NoMemoryIsReported) {
    const ThreeBlocks three;
    const struct {
        bool verify;
        bool withSkip;
        int failing;
    } cases[] = {
        {true, true, 1},
        {true, true, 2},
        {true, false, 1},
        {true, false, 2},
        {false, false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "verify " << c.verify << " skip " << c.withSkip << " allocation "
                                        << c.failing);
        MemorySource source(std::span<const BYTE>(three.file).subspan(kCodecSignatureSize));
        const CodecScanSource scanSource = source.ScanSource(c.withSkip);
        CodecScanReport report{};
        const MallocWatch watch(c.failing);
        EXPECT_EQ(CodecScan(&scanSource, c.verify, &report), kCodecNoMemory);
    }
}

}  // namespace

// ---------------------------------------------------------------- one block

namespace {

// The damage rules as zlib alone gives them: what CodecDecodeBlock must
// yield whichever decompressor expands the block.
Decoded ZlibBlock(const Bytes& payload, bool whole, DWORD dataLength) {
    Bytes data(dataLength, 0xA5);
    uLongf made = dataLength;
    const int status = uncompress(data.data(), &made, payload.data(), payload.size());
    if (made > dataLength) made = 0;
    if (payload.empty()) return {kCodecDamaged, {}};
    if (!whole || status == Z_OK) {
        data.resize(made);
        return {whole && status == Z_OK && made == dataLength ? kCodecCompleted : kCodecDamaged, data};
    }
    std::fill(data.begin() + static_cast<std::ptrdiff_t>(made), data.end(), 0);
    return {kCodecDamaged, data};
}

Decoded OneBlock(const Bytes& payload, bool whole, DWORD dataLength) {
    // The exact size, so that an overrun faults under AddressSanitizer.
    std::unique_ptr<BYTE[]> data(new BYTE[dataLength]);
    DWORD produced = 0;
    const CodecResult result =
        CodecDecodeBlock(payload.data(), static_cast<DWORD>(payload.size()), whole ? TRUE : FALSE, data.get(),
                         dataLength, &produced);
    EXPECT_LE(produced, dataLength);
    return {result, Bytes(data.get(), data.get() + produced)};
}

}  // namespace

TEST(CodecDecodeBlock, SoundBlocksGiveZlibsBytes) {
    const Bytes inputs[] = {TextLike(kBlock, 61), Zeros(kBlock), Random(kBlock, 62), TextLike(1, 63),
                            Join({TextLike(70000, 64), Random(61072, 65)})};
    for (const Bytes& data : inputs) {
        for (const int level : {1, 6, 9}) {
            SCOPED_TRACE(testing::Message() << data.size() << " bytes, level " << level);
            const Bytes stream = ZlibStream(data, level);
            const Decoded decoded = OneBlock(stream, true, static_cast<DWORD>(data.size()));
            EXPECT_EQ(decoded.result, kCodecCompleted);
            EXPECT_EQ(decoded.data, data);
        }
    }
}

TEST(CodecDecodeBlock, DamagedFormsGiveWhatZlibGives) {
    const Bytes data = Join({TextLike(60000, 71), Random(2000, 72), TextLike(40000, 73)});
    const Bytes stream = ZlibStream(data, kCodecLevel);
    const auto length = static_cast<DWORD>(data.size());
    std::mt19937 generator(74);
    for (int round = 0; round < 600; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        Bytes payload = stream;
        DWORD dataLength = length;
        bool whole = true;
        switch (round % 6) {
            case 0:  // bytes changed anywhere, the checksum included
            case 1:
                for (int i = 1 + static_cast<int>(generator() % 3); i > 0; --i) {
                    payload[generator() % payload.size()] ^= static_cast<BYTE>(1 + generator() % 255);
                }
                break;
            case 2:  // a single bit of the zlib header or the first code
                payload[generator() % 8] ^= static_cast<BYTE>(1u << (generator() % 8));
                break;
            case 3:  // cut short by the end of the file
                payload.resize(generator() % payload.size());
                whole = false;
                break;
            case 4:  // a header that claims more or fewer bytes than the stream holds
                dataLength = generator() % 2 == 0 ? length - 1 - generator() % 1000
                                                  : std::min<DWORD>(kBlock, length + 1 + generator() % 1000);
                break;
            case 5:  // bytes after the stream's end, and a stream that stops early
                payload.insert(payload.end(), 1 + generator() % 20, static_cast<BYTE>(generator()));
                if (generator() % 2 == 0) payload.resize(payload.size() - 4 - generator() % 16);
                break;
        }
        const Decoded expected = ZlibBlock(payload, whole, dataLength);
        const Decoded decoded = OneBlock(payload, whole, dataLength);
        EXPECT_EQ(decoded.result, expected.result);
        EXPECT_EQ(decoded.data, expected.data);
    }
}

TEST(CodecDecodeBlock, AnEmptyPayloadIsDamagedAndYieldsNothing) {
    for (const bool whole : {true, false}) {
        const Decoded decoded = OneBlock({}, whole, 100);
        EXPECT_EQ(decoded.result, kCodecDamaged);
        EXPECT_TRUE(decoded.data.empty());
    }
}
