// Whole requests to a source and block headers, for the decoder and the scan.
// See block_io.h.
#include "filter/codec/block_io.h"

namespace codec_internal {

DWORD ReadLittleEndian(const BYTE* bytes) {
    return DWORD{bytes[0]} | DWORD{bytes[1]} << 8 | DWORD{bytes[2]} << 16 | DWORD{bytes[3]} << 24;
}

RequestEnd ReadWhole(const CodecSource& source, BYTE* buffer, DWORD count, DWORD* delivered) {
    *delivered = 0;
    while (*delivered < count) {
        const DWORD wanted = count - *delivered;
        DWORD got = 0;
        if (!source.read(source.context, buffer + *delivered, wanted, &got) || got > wanted) {
            return RequestEnd::kFailed;
        }
        if (got == 0) return RequestEnd::kShort;
        *delivered += got;
    }
    return RequestEnd::kWhole;
}

RequestEnd SkipWhole(const CodecScanSource& source, DWORD count) {
    DWORD passed = 0;
    while (passed < count) {
        const DWORD wanted = count - passed;
        DWORD got = 0;
        if (!source.skip(source.source.context, wanted, &got) || got > wanted) {
            return RequestEnd::kFailed;
        }
        if (got == 0) return RequestEnd::kShort;
        passed += got;
    }
    return RequestEnd::kWhole;
}

HeaderEnd ReadBlockHeader(const CodecSource& source, BlockHeader* header) {
    BYTE field[4];
    DWORD delivered = 0;
    switch (ReadWhole(source, field, sizeof field, &delivered)) {
        case RequestEnd::kFailed: return HeaderEnd::kSourceFailed;
        case RequestEnd::kShort: return delivered == 0 ? HeaderEnd::kEndOfSource : HeaderEnd::kCut;
        case RequestEnd::kWhole: break;
    }
    header->dataLength = ReadLittleEndian(field);
    switch (ReadWhole(source, field, sizeof field, &delivered)) {
        case RequestEnd::kFailed: return HeaderEnd::kSourceFailed;
        case RequestEnd::kShort: return HeaderEnd::kCut;
        case RequestEnd::kWhole: break;
    }
    header->storedLength = ReadLittleEndian(field);
    return HeaderEnd::kRead;
}

}  // namespace codec_internal

BOOL CodecReadHeader(const BYTE* bytes, CodecBlockHeader* header) {
    const codec_internal::BlockHeader read{codec_internal::ReadLittleEndian(bytes),
                                           codec_internal::ReadLittleEndian(bytes + 4)};
    *header = CodecBlockHeader{read.dataLength, read.storedLength, codec_internal::PayloadLength(read),
                               codec_internal::IsCompressed(read) ? TRUE : FALSE};
    return codec_internal::IsSoundHeader(read) ? TRUE : FALSE;
}
