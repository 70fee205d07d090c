// The codec over whole files in memory (see codec_buffers.h).
#include "filter/codec/codec_buffers.h"

#include <algorithm>
#include <cstring>

namespace {

struct BufferSource {
    std::string_view bytes;
    size_t position;
};

BOOL ReadBuffer(void* context, void* buffer, DWORD count, DWORD* delivered) {
    auto* source = static_cast<BufferSource*>(context);
    const size_t n = std::min<size_t>(count, source->bytes.size() - source->position);
    std::memcpy(buffer, source->bytes.data() + source->position, n);
    source->position += n;
    *delivered = static_cast<DWORD>(n);
    return TRUE;
}

BOOL AppendToString(void* context, const void* buffer, DWORD count) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(buffer), count);
    return TRUE;
}

}  // namespace

CodecResult CodecEncodeBuffer(std::string_view plain, std::string& compressed) {
    compressed.clear();
    BufferSource from{plain, 0};
    const CodecSource source{&from, ReadBuffer};
    const CodecSink sink{&compressed, AppendToString};
    return CodecEncode(&source, &sink);
}

CodecResult CodecDecodeBuffer(std::string_view compressed, std::string& plain) {
    plain.clear();
    if (!CodecIsSignature(reinterpret_cast<const BYTE*>(compressed.data()),
                          static_cast<DWORD>(std::min<size_t>(compressed.size(), kCodecSignatureSize)))) {
        return kCodecDamaged;
    }
    BufferSource from{compressed, kCodecSignatureSize};
    const CodecSource source{&from, ReadBuffer};
    const CodecSink sink{&plain, AppendToString};
    return CodecDecode(&source, &sink);
}
