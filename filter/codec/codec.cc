// The signature test and the block decoder of the compressed file format
// (see codec.h; the encoder is in block_encoder.cc). The filter links them to
// expand files when they open; the command-line tool links them to unpack
// ordinary files. They keep no state between runs and call nothing but their
// source, their sink, malloc, zlib and the block expander (block_decode.cc).
#include "filter/codec/codec.h"

#include <zlib.h>

#include <cstring>

#include "filter/codec/block_io.h"

using codec_internal::AllocateBuffer;
using codec_internal::BlockHeader;
using codec_internal::Buffer;
using codec_internal::HeaderEnd;
using codec_internal::IsCompressed;
using codec_internal::IsSoundHeader;
using codec_internal::ReadBlockHeader;
using codec_internal::ReadWhole;
using codec_internal::RequestEnd;

extern const BYTE kCodecSignature[kCodecSignatureSize] = {0xBE, 0xEF, 0x85, 0xA1};

namespace {

bool Put(const CodecSink& sink, const BYTE* bytes, DWORD count) {
    return sink.write(sink.context, bytes, count) != 0;
}

// How a block ended for the decoder: kCodecCompleted lets it go on to the next
// header, anything else ends the decoding with that result.
CodecResult DecodeRawBlock(const CodecSource& source, const CodecSink& sink, const BlockHeader& header) {
    Buffer data = AllocateBuffer(header.dataLength);
    if (!data) return kCodecNoMemory;
    DWORD delivered = 0;
    const RequestEnd end = ReadWhole(source, data.get(), header.dataLength, &delivered);
    if (end == RequestEnd::kFailed) return kCodecSourceFailed;
    // A cut payload yields what came and no invented bytes: the file ends here anyway.
    if (delivered != 0 && !Put(sink, data.get(), delivered)) return kCodecSinkFailed;
    return end == RequestEnd::kWhole ? kCodecCompleted : kCodecDamaged;
}

CodecResult DecodeCompressedBlock(const CodecSource& source, const CodecSink& sink,
                                  const BlockHeader& header, bool* damaged) {
    Buffer data = AllocateBuffer(header.dataLength);
    Buffer payload = AllocateBuffer(header.storedLength);
    if (!data || !payload) return kCodecNoMemory;
    DWORD delivered = 0;
    const RequestEnd end = ReadWhole(source, payload.get(), header.storedLength, &delivered);
    if (end == RequestEnd::kFailed) return kCodecSourceFailed;
    if (delivered == 0) return kCodecDamaged;

    const bool whole = end == RequestEnd::kWhole;
    DWORD produced = 0;
    const CodecResult result =
        CodecDecodeBlock(payload.get(), delivered, whole ? TRUE : FALSE, data.get(), header.dataLength, &produced);
    if (result == kCodecNoMemory) return kCodecNoMemory;
    if (result == kCodecDamaged) *damaged = true;
    if (produced != 0 && !Put(sink, data.get(), produced)) return kCodecSinkFailed;
    // A payload cut short ends the file; a damaged whole one keeps the later
    // blocks at their offsets, and the decoding goes on.
    return whole ? kCodecCompleted : kCodecDamaged;
}

}  // namespace

BOOL CodecIsSignature(const BYTE* bytes, DWORD delivered) {
    return bytes != nullptr && delivered == kCodecSignatureSize &&
           std::memcmp(bytes, kCodecSignature, kCodecSignatureSize) == 0;
}

CodecResult CodecDecode(const CodecSource* source, const CodecSink* sink) {
    bool damaged = false;
    for (;;) {
        BlockHeader header{};
        switch (ReadBlockHeader(*source, &header)) {
            case HeaderEnd::kRead: break;
            case HeaderEnd::kEndOfSource: return damaged ? kCodecDamaged : kCodecCompleted;
            case HeaderEnd::kCut: return kCodecDamaged;
            case HeaderEnd::kSourceFailed: return kCodecSourceFailed;
        }
        if (!IsSoundHeader(header)) return kCodecDamaged;
        const CodecResult result = IsCompressed(header) ? DecodeCompressedBlock(*source, *sink, header, &damaged)
                                                        : DecodeRawBlock(*source, *sink, header);
        if (result != kCodecCompleted) return result;
    }
}
