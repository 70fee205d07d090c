// The block scan (see codec.h): sums and checks the blocks of a compressed
// file without producing its data. The command-line tool's `info` runs it with
// verification; a front end that must show plain sizes runs it without, over
// a source that can skip payloads. It is not a decoder: it writes nothing.
#include "filter/codec/block_io.h"
#include "filter/codec/codec.h"

using codec_internal::AllocateBuffer;
using codec_internal::BlockHeader;
using codec_internal::Buffer;
using codec_internal::HeaderEnd;
using codec_internal::IsCompressed;
using codec_internal::IsSoundHeader;
using codec_internal::PayloadLength;
using codec_internal::ReadBlockHeader;
using codec_internal::ReadWhole;
using codec_internal::RequestEnd;
using codec_internal::SkipWhole;

namespace {

void NoteDamage(CodecScanReport* report, ULONGLONG blockOffset) {
    if (report->damaged) return;
    report->damaged = TRUE;
    report->damageOffset = blockOffset;
}

// Ends a walk that met damage: the block at `blockOffset` is not counted.
CodecResult EndDamaged(CodecScanReport* report, ULONGLONG blockOffset) {
    NoteDamage(report, blockOffset);
    return kCodecDamaged;
}

// Takes a scan buffer the first time it is needed; every block fits in one.
bool Ensure(Buffer* buffer) {
    if (!*buffer) *buffer = AllocateBuffer(kCodecBlockSize);
    return static_cast<bool>(*buffer);
}

}  // namespace

CodecResult CodecScan(const CodecScanSource* source, BOOL verify, CodecScanReport* report) {
    *report = CodecScanReport{};
    report->storedSize = kCodecSignatureSize;
    Buffer payload;
    Buffer data;

    for (;;) {
        const ULONGLONG blockOffset = report->storedSize;
        BlockHeader header{};
        switch (ReadBlockHeader(source->source, &header)) {
            case HeaderEnd::kRead: break;
            case HeaderEnd::kEndOfSource: return report->damaged ? kCodecDamaged : kCodecCompleted;
            case HeaderEnd::kCut: return EndDamaged(report, blockOffset);
            case HeaderEnd::kSourceFailed: return kCodecSourceFailed;
        }
        if (!IsSoundHeader(header)) return EndDamaged(report, blockOffset);

        const bool compressed = IsCompressed(header);
        const DWORD payloadLength = PayloadLength(header);
        const bool expand = verify && compressed;
        if (expand || source->skip == nullptr) {
            if (!Ensure(&payload)) return kCodecNoMemory;
            DWORD delivered = 0;
            switch (ReadWhole(source->source, payload.get(), payloadLength, &delivered)) {
                case RequestEnd::kWhole: break;
                case RequestEnd::kShort: return EndDamaged(report, blockOffset);
                case RequestEnd::kFailed: return kCodecSourceFailed;
            }
            if (expand) {
                if (!Ensure(&data)) return kCodecNoMemory;
                DWORD produced = 0;
                const CodecResult result =
                    CodecDecodeBlock(payload.get(), payloadLength, TRUE, data.get(), header.dataLength, &produced);
                if (result == kCodecNoMemory) return kCodecNoMemory;
                if (result != kCodecCompleted) NoteDamage(report, blockOffset);
            }
        } else {
            switch (SkipWhole(*source, payloadLength)) {
                case RequestEnd::kWhole: break;
                case RequestEnd::kShort: return EndDamaged(report, blockOffset);
                case RequestEnd::kFailed: return kCodecSourceFailed;
            }
        }

        report->plainSize += header.dataLength;
        report->storedSize += kCodecHeaderSize + payloadLength;
        ++(compressed ? report->compressedBlocks : report->rawBlocks);
    }
}
