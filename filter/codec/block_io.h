// The pieces of block handling that the decoder and the scan share: whole
// requests to a source, reading and judging a block header, and heap buffers
// that release themselves. Internal to filter/codec; nothing outside it
// includes this file, and it holds no format rule that codec.h does not state.
#pragma once

#include <cstdlib>
#include <memory>

#include "filter/codec/codec.h"

namespace codec_internal {

struct FreeDeleter {
    void operator()(BYTE* bytes) const noexcept { std::free(bytes); }
};

// Plain malloc, not new: the codec runs behind C entry points and must see a
// failed allocation as a null buffer, never as an exception.
using Buffer = std::unique_ptr<BYTE, FreeDeleter>;

inline Buffer AllocateBuffer(DWORD size) {
    return Buffer(static_cast<BYTE*>(std::malloc(size)));
}

enum class RequestEnd {
    kWhole,   // all the bytes asked for came
    kShort,   // the data ended first
    kFailed,  // the source failed, or delivered more than asked
};

// Asks `source` again until `count` bytes are in `buffer` or a request
// delivers nothing, so a source that delivers in pieces reads like one that
// does not. `*delivered` is the number that came, whatever the end.
RequestEnd ReadWhole(const CodecSource& source, BYTE* buffer, DWORD count, DWORD* delivered);

// The same for passing bytes over with a scan source's `skip`.
RequestEnd SkipWhole(const CodecScanSource& source, DWORD count);

struct BlockHeader {
    DWORD dataLength;
    DWORD storedLength;
};

enum class HeaderEnd {
    kRead,          // both numbers came
    kEndOfSource,   // nothing came: the blocks ended cleanly
    kCut,           // 1 to 7 bytes came
    kSourceFailed,
};

DWORD ReadLittleEndian(const BYTE* bytes);

// Reads the two numbers as two requests of 4 bytes each.
HeaderEnd ReadBlockHeader(const CodecSource& source, BlockHeader* header);

inline bool IsCompressed(const BlockHeader& header) {
    return header.storedLength < header.dataLength;
}

// A header the encoder could have written. Anything else is damage, and it is
// judged before a buffer is sized from it.
inline bool IsSoundHeader(const BlockHeader& header) {
    return header.dataLength != 0 && header.dataLength <= kCodecBlockSize &&
           header.storedLength != 0;
}

// Bytes of payload behind a header: a raw block's stored length is only ever
// compared, never counted.
inline DWORD PayloadLength(const BlockHeader& header) {
    return IsCompressed(header) ? header.storedLength : header.dataLength;
}

}  // namespace codec_internal
