// One compressed block's payload into its data (see CodecDecodeBlock in
// codec.h): the one place where the format's zlib streams are expanded, for
// the decoder, the scan's verification and the mount's block reader.
//
// libdeflate expands a sound stream about two and a half times as fast as
// zlib and yields the same bytes; it is trusted only for that case (the
// stream ends exactly at the data length and its checksum holds). For any
// other stream its output is undefined, so the block is expanded again with
// zlib's uncompress, whose partial output and verdict the damage rules are
// written in.
#include <libdeflate.h>
#include <zlib.h>

#include <cstring>
#include <memory>

#include "filter/codec/codec.h"

namespace {

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* decompressor) const noexcept {
        libdeflate_free_decompressor(decompressor);
    }
};

CodecResult DecodeWithZlib(const BYTE* payload, DWORD payloadLength, BOOL whole, BYTE* data, DWORD dataLength,
                           DWORD* produced) {
    uLongf made = dataLength;
    const int status = uncompress(data, &made, payload, payloadLength);
    if (status == Z_MEM_ERROR) return kCodecNoMemory;
    if (made > dataLength) made = 0;  // zlib promises nothing after a failure
    if (!whole) {
        *produced = static_cast<DWORD>(made);
        return kCodecDamaged;
    }
    if (status == Z_OK) {
        *produced = static_cast<DWORD>(made);
        return made == dataLength ? kCodecCompleted : kCodecDamaged;
    }
    // A whole payload that zlib refused still stands for data-length bytes;
    // yielding all of them keeps every later block at its offset.
    std::memset(data + made, 0, dataLength - made);
    *produced = dataLength;
    return kCodecDamaged;
}

}  // namespace

CodecResult CodecDecodeBlock(const BYTE* payload, DWORD payloadLength, BOOL whole, BYTE* data, DWORD dataLength,
                             DWORD* produced) {
    *produced = 0;
    if (payloadLength == 0) return kCodecDamaged;
    if (whole) {
        const std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
            libdeflate_alloc_decompressor());
        if (!decompressor) return kCodecNoMemory;
        // Without a place for the size made, success means exactly dataLength bytes.
        if (libdeflate_zlib_decompress(decompressor.get(), payload, payloadLength, data, dataLength, nullptr) ==
            LIBDEFLATE_SUCCESS) {
            *produced = dataLength;
            return kCodecCompleted;
        }
    }
    return DecodeWithZlib(payload, payloadLength, whole, data, dataLength, produced);
}
