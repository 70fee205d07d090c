// The compressed file format: the signature test, the block encoder and the
// block decoder. Both halves read from a source and write to a sink and know
// nothing of files, volumes or the platform; zlib (compress2 at level 9 and
// uncompress) is their only dependency. The filter runs them on the card's
// files; the command-line tool runs them on ordinary files.
//
// Layout of a compressed file: the four signature bytes BE EF 85 A1, then
// blocks back to back to the end of the file. A block is a header of two
// unsigned 32-bit little-endian numbers, data length and stored length, and a
// payload: one zlib stream of stored-length bytes when the stored length is
// smaller than the data length (a compressed block), otherwise data-length
// bytes of the data itself (a raw block).
#pragma once

#include "platform/core/types.h"

extern "C" {

enum : DWORD {
    kCodecBlockSize = 131072,       // the most data one block stands for
    kCodecOutputCapacity = 144191,  // the encoder's output buffer
    kCodecLevel = 9,                // compress2 level for every block
    kCodecSignatureSize = 4,
    kCodecHeaderSize = 8,
    kCodecMostThreads = 8,          // threads the encoder compresses on at most
};

extern const BYTE kCodecSignature[kCodecSignatureSize];  // BE EF 85 A1

// Delivers up to `count` bytes into `buffer`. Returns nonzero on success with
// the number delivered in `*delivered` (0 at the end of the data); fewer than
// `count` only at the end of the data. Returns 0 on failure. A source that
// delivers less before its end still works: the encoder makes a shorter block
// of that read, and the decoder and the scan ask again for the rest, taking
// only a delivery of 0 bytes for the end. Delivering more than `count` counts
// as a failure.
struct CodecSource {
    void* context;
    BOOL (*read)(void* context, void* buffer, DWORD count, DWORD* delivered);
};

// Takes `count` bytes from `buffer`. Returns nonzero only when all of them
// were taken.
struct CodecSink {
    void* context;
    BOOL (*write)(void* context, const void* buffer, DWORD count);
};

// How a run of the encoder or decoder ended. Values are pinned.
enum CodecResult : DWORD {
    kCodecCompleted = 0,     // all the source's data went through
    kCodecSourceFailed = 1,  // a read failed; what came before went through
    kCodecSinkFailed = 2,    // a write failed; the sink holds less than it should
    kCodecDamaged = 3,       // decoder: the data was not a sound compressed file
    kCodecNoMemory = 4,      // a buffer could not be had
};

// Nonzero when `delivered` is 4 and `bytes` are the signature.
BOOL CodecIsSignature(const BYTE* bytes, DWORD delivered);

// Writes the signature, then one block for each read of at most 131072 bytes
// from the source: compressed when compress2 at level 9 makes a stream
// shorter than the data, raw otherwise. A failed read ends the encoding as if
// the data had ended there (what was written is a well-formed compressed file
// of that much data) and reports kCodecSourceFailed; a failed write stops at
// once with kCodecSinkFailed; buffers that cannot be had give kCodecNoMemory
// before anything is written.
//
// The blocks of one run are compressed on every core (at most
// kCodecMostThreads threads, the caller's among them) and written in order,
// so the output is byte for byte what one thread makes. The source is read
// and the sink written only on the caller's thread, in the same requests as
// on one thread. Memory: a file of one block holds one block's buffers,
// 131072 + 144191 bytes, and starts no thread; a longer one reads ahead two
// blocks a thread, holding at most 2 x kCodecMostThreads x (131072 + 144191)
// bytes (4.4 MB) besides zlib's own state on each thread. Should later
// buffers or threads not be had, it goes on with fewer.
CodecResult CodecEncode(const CodecSource* source, const CodecSink* sink);

// The block encoders: both write zlib streams that uncompress decodes
// exactly. Values are pinned.
enum CodecEncoder : DWORD {
    kCodecEncoderZlib = 0,        // compress2 at level 9
    kCodecEncoderLibdeflate = 1,  // libdeflate at level 9: faster, slightly smaller
};

// CodecEncode with the given block encoder (zlib for any other value); the
// same blocks, the same rules and ends. A libdeflate compressor that cannot
// be had leaves that thread's blocks to zlib. Each thread with libdeflate
// also holds its compressor (about 1 MB at level 9).
CodecResult CodecEncodeWith(const CodecSource* source, const CodecSink* sink, CodecEncoder encoder);

// Decodes the blocks that follow the signature (which the caller has read and
// tested) into the sink, one block's buffers at a time. What was decoded stays
// in the sink whatever happens. Ends:
// - kCodecCompleted at the end of the source right after a whole block;
// - kCodecDamaged for a header cut short, a block with a data length of 0 or
//   above 131072 (refused before any buffer is taken for it), a compressed
//   block with a stored length of 0, a payload cut short by the end of the
//   source (a raw block yields only the bytes delivered; a compressed one
//   what zlib made of it), or any compressed block that uncompress refused.
//   A refused block yields its data length of bytes (what zlib produced, the
//   rest zero) and the decoding goes on with the next block, so later data
//   keeps its offsets; kCodecDamaged is then reported at the end. So is a
//   stream that uncompress accepts but that holds fewer bytes than its data
//   length: it yields just those bytes and the decoding goes on;
// - kCodecSourceFailed, kCodecSinkFailed, kCodecNoMemory at once.
CodecResult CodecDecode(const CodecSource* source, const CodecSink* sink);

// One block header as a file holds it, judged.
struct CodecBlockHeader {
    DWORD dataLength;
    DWORD storedLength;
    DWORD payloadLength;  // bytes of payload behind the header
    BOOL compressed;      // the payload is a zlib stream (stored length < data length)
};

// Reads the kCodecHeaderSize bytes at `bytes` into `*header`. Returns nonzero
// when the encoder could have written it (a data length of 1 to 131072 and a
// stored length other than 0); anything else is damage, as for the decoder,
// and ends the file's blocks. For readers that find blocks by offset.
BOOL CodecReadHeader(const BYTE* bytes, CodecBlockHeader* header);

// Expands the payload of one compressed block (stored length < data length):
// `payloadLength` bytes at `payload`, all of its stored length when `whole`,
// fewer when the file ended first. `data` holds `dataLength` bytes (at most
// 131072); `*produced` is how many of them the block yields. Returns:
// - kCodecCompleted for a sound block: the zlib stream holds exactly
//   `dataLength` bytes and `*produced` is that;
// - kCodecDamaged otherwise, yielding what CodecDecode yields for it: for a
//   payload cut short (or empty), what zlib made of it; for a whole payload
//   that uncompress accepts with fewer bytes, those bytes; for one it
//   refuses, `dataLength` bytes (what zlib produced, the rest zero);
// - kCodecNoMemory when a decompressor could not be had.
// The decoder, the scan's verification and the mount's block reader all
// expand blocks with it; it holds nothing between calls.
CodecResult CodecDecodeBlock(const BYTE* payload, DWORD payloadLength, BOOL whole, BYTE* data, DWORD dataLength,
                             DWORD* produced);

// A source for the scan: `source` as above, and `skip`, which may be null.
// `skip` moves `count` bytes ahead without delivering them and returns
// nonzero on success with the number passed over in `*skipped` (0 at the end
// of the data, fewer than `count` only there), 0 on failure. It is called
// with `source.context`. A caller with a seekable file gives one so that a
// scan that only sums lengths reads nothing but the block headers.
struct CodecScanSource {
    CodecSource source;
    BOOL (*skip)(void* context, DWORD count, DWORD* skipped);
};

// What a scan found. Offsets and sizes count from the start of the file,
// the signature included.
struct CodecScanReport {
    ULONGLONG plainSize;         // sum of the data lengths of the whole blocks
    ULONGLONG storedSize;        // signature plus the whole blocks: the file's size when sound
    ULONGLONG compressedBlocks;  // whole blocks with stored length < data length
    ULONGLONG rawBlocks;         // whole blocks with stored length >= data length
    ULONGLONG damageOffset;      // start of the first damaged block's header; 0 when none
    BOOL damaged;                // nonzero when some block was found damaged
    DWORD reserved;              // 0
};
static_assert(sizeof(CodecScanReport) == 48);
static_assert(offsetof(CodecScanReport, damageOffset) == 32);
static_assert(offsetof(CodecScanReport, damaged) == 40);

// Walks the blocks that follow the signature (which the caller has read and
// tested) and fills `*report`, without writing anything anywhere. A block is
// whole when its header and all of its payload are there. Without `verify`
// it reads only the headers and passes over payloads (with `skip` when the
// source has one, else by reading them); with `verify` it also expands every
// compressed block into a buffer of its own and counts it damaged when
// uncompress refuses it or yields other than its data length, and goes on.
// Ends, with `*report` filled as far as the walk went:
// - kCodecCompleted at the end of the source right after a whole block with
//   no damage found;
// - kCodecDamaged when a block was damaged: a header cut short, a data
//   length of 0 or above 131072, a compressed block with a stored length of
//   0 or a payload cut short (each of these ends the walk), or with `verify`
//   a compressed block that does not expand to its data length;
// - kCodecSourceFailed when a read or a skip failed;
// - kCodecNoMemory when the scan's buffers (at most 2 x 131072 bytes, taken
//   once) could not be had.
// For a damaged file the plain size may differ from what CodecDecode yields.
CodecResult CodecScan(const CodecScanSource* source, BOOL verify, CodecScanReport* report);

}  // extern "C"
