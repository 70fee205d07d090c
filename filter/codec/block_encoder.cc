// The block encoder (see codec.h): blocks are read from the source in order
// on the caller's thread, compressed on workers (and on the caller's thread
// while it waits), and written to the sink in order. Each block is
// compressed on its own, so which thread does it changes no byte of the
// output. Workers are started only once a second block is read: a file of
// one block costs what it did on one thread. No state outlives a run.
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <new>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "filter/codec/block_io.h"
#include "filter/codec/codec.h"

using codec_internal::AllocateBuffer;
using codec_internal::Buffer;

namespace {

static_assert(kCodecOutputCapacity >= 131072 + (131072 >> 12) + (131072 >> 14) + (131072 >> 25) + 13,
              "the encoder's output buffer must hold zlib's worst case for a whole block");

// Blocks in flight at most, read ahead or waiting to be written: two for
// each thread that compresses, so none waits for a read while another block
// is being written.
constexpr size_t kSlotsPerThread = 2;

void WriteLittleEndian(DWORD value, BYTE* bytes) {
    bytes[0] = static_cast<BYTE>(value);
    bytes[1] = static_cast<BYTE>(value >> 8);
    bytes[2] = static_cast<BYTE>(value >> 16);
    bytes[3] = static_cast<BYTE>(value >> 24);
}

// One block's buffers and what became of it.
struct Slot {
    enum class State { kFree, kQueued, kBusy, kDone };
    Buffer input;
    Buffer output;
    DWORD count = 0;         // data length
    DWORD streamLength = 0;  // zlib stream length when shorter than the data
    bool shorter = false;
    State state = State::kFree;
};

// What one thread compresses with: zlib's compress2, which needs nothing
// kept, or a libdeflate compressor of its own, made at its first block.
class Compressor {
public:
    explicit Compressor(CodecEncoder encoder) : encoder_(encoder) {}
    ~Compressor() {
        if (deflater_ != nullptr) libdeflate_free_compressor(deflater_);
    }
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    void Compress(Slot& slot) {
        if (encoder_ == kCodecEncoderLibdeflate) {
            if (deflater_ == nullptr) deflater_ = libdeflate_alloc_compressor(kCodecLevel);
            if (deflater_ != nullptr) {
                // Room for one byte less than the data: a stream that does
                // not fit is no shorter, and the block goes out raw.
                const size_t length = libdeflate_zlib_compress(deflater_, slot.input.get(), slot.count,
                                                               slot.output.get(), slot.count - 1);
                slot.shorter = length != 0;
                slot.streamLength = static_cast<DWORD>(length);
                return;
            }
            // No memory for a compressor: zlib serves, as it always can.
        }
        uLongf streamLength = kCodecOutputCapacity;
        slot.shorter =
            compress2(slot.output.get(), &streamLength, slot.input.get(), slot.count, kCodecLevel) == Z_OK &&
            streamLength < slot.count;
        slot.streamLength = static_cast<DWORD>(streamLength);
    }

private:
    const CodecEncoder encoder_;
    libdeflate_compressor* deflater_ = nullptr;
};

// The block as the format stores it: compressed when that is shorter, raw
// otherwise.
bool PutBlock(const CodecSink& sink, const Slot& slot) {
    const DWORD stored = slot.shorter ? slot.streamLength : slot.count;
    BYTE header[kCodecHeaderSize];
    WriteLittleEndian(slot.count, header);
    WriteLittleEndian(stored, header + 4);
    return sink.write(sink.context, header, sizeof header) != 0 &&
           sink.write(sink.context, slot.shorter ? slot.output.get() : slot.input.get(), stored) != 0;
}

// One run: the caller's thread reads blocks into free slots and queues them
// in read order; workers compress queued blocks; the caller's thread writes
// the oldest block once it is compressed and frees its slot.
class Pipeline {
public:
    Pipeline(size_t threads, CodecEncoder encoder) : threads_(threads), encoder_(encoder), own_(encoder) {}

    ~Pipeline() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        queued_.notify_all();
        for (std::thread& worker : workers_) worker.join();
    }

    CodecResult Run(const CodecSource& source, const CodecSink& sink) {
        // The first block's buffers come before the signature goes out, so
        // that a shortage of memory leaves the sink untouched.
        if (!AddSlot()) return kCodecNoMemory;
        if (sink.write(sink.context, kCodecSignature, kCodecSignatureSize) == 0) return kCodecSinkFailed;
        bool ended = false;
        bool sourceFailed = false;
        for (;;) {
            while (!ended && !free_.empty()) ReadBlock(source, &ended, &sourceFailed);
            Slot* oldest = WaitForOldest();
            if (oldest == nullptr) return sourceFailed ? kCodecSourceFailed : kCodecCompleted;
            if (!PutBlock(sink, *oldest)) return kCodecSinkFailed;
            {
                std::lock_guard lock(mutex_);
                order_.pop_front();
                oldest->state = Slot::State::kFree;
            }
            free_.push_back(oldest);
        }
    }

private:
    // Another block in flight, when memory allows; the run goes on with the
    // slots it has when it does not.
    bool AddSlot() {
        Buffer input = AllocateBuffer(kCodecBlockSize);
        Buffer output = AllocateBuffer(kCodecOutputCapacity);
        if (!input || !output) return false;
        try {
            Slot& slot = slots_.emplace_back();
            free_.push_back(&slot);
            slot.input = std::move(input);
            slot.output = std::move(output);
        } catch (const std::bad_alloc&) {
            if (!slots_.empty() && !slots_.back().input) slots_.pop_back();
            return false;
        }
        return true;
    }

    // Reads the next block into a free slot (on this thread only, so the
    // source sees the same requests in the same order as on one thread) and
    // queues it.
    void ReadBlock(const CodecSource& source, bool* ended, bool* sourceFailed) {
        Slot* slot = free_.back();
        DWORD count = 0;
        if (!source.read(source.context, slot->input.get(), kCodecBlockSize, &count) || count > kCodecBlockSize) {
            *ended = *sourceFailed = true;
            return;
        }
        if (count == 0) {
            *ended = true;
            return;
        }
        free_.pop_back();
        slot->count = count;
        {
            std::lock_guard lock(mutex_);
            slot->state = Slot::State::kQueued;
            order_.push_back(slot);
        }
        queued_.notify_one();
        // A second block makes the run worth its workers and read-ahead.
        if (++blocksRead_ == 2) Widen();
    }

    void Widen() {
        while (slots_.size() < threads_ * kSlotsPerThread) {
            if (!AddSlot()) break;
        }
        for (size_t i = 1; i < threads_; ++i) {
            try {
                workers_.emplace_back([this] { Work(); });
            } catch (const std::system_error&) {
                break;  // fewer workers; this thread compresses the rest
            }
        }
    }

    // The first queued block in read order, or null.
    Slot* NextQueued() {
        for (Slot* slot : order_) {
            if (slot->state == Slot::State::kQueued) return slot;
        }
        return nullptr;
    }

    // Compresses queued blocks until the run ends.
    void Work() {
        Compressor compressor(encoder_);
        std::unique_lock lock(mutex_);
        for (;;) {
            Slot* slot = nullptr;
            queued_.wait(lock, [&] { return stopping_ || (slot = NextQueued()) != nullptr; });
            if (stopping_) return;
            CompressWithoutLock(*slot, compressor, lock);
        }
    }

    void CompressWithoutLock(Slot& slot, Compressor& compressor, std::unique_lock<std::mutex>& lock) {
        slot.state = Slot::State::kBusy;
        lock.unlock();
        compressor.Compress(slot);
        lock.lock();
        slot.state = Slot::State::kDone;
        finished_.notify_all();
    }

    // The oldest block in flight once compressed, or null when none is in
    // flight; this thread compresses queued blocks itself rather than wait.
    Slot* WaitForOldest() {
        std::unique_lock lock(mutex_);
        if (order_.empty()) return nullptr;
        Slot* oldest = order_.front();
        while (oldest->state != Slot::State::kDone) {
            if (Slot* queued = NextQueued()) {
                CompressWithoutLock(*queued, own_, lock);
            } else {
                finished_.wait(lock);
            }
        }
        return oldest;
    }

    const size_t threads_;
    const CodecEncoder encoder_;
    Compressor own_;            // this thread's
    std::deque<Slot> slots_;    // owns the buffers; elements never move
    std::vector<Slot*> free_;   // slots no block is in; this thread's alone
    std::deque<Slot*> order_;   // blocks in flight, oldest first
    std::vector<std::thread> workers_;
    std::mutex mutex_;          // guards order_, every slot's state, stopping_
    std::condition_variable queued_;
    std::condition_variable finished_;
    size_t blocksRead_ = 0;
    bool stopping_ = false;
};

size_t CompressingThreads() {
    const unsigned cores = std::thread::hardware_concurrency();
    return std::clamp<size_t>(cores, 1, kCodecMostThreads);
}

}  // namespace

CodecResult CodecEncode(const CodecSource* source, const CodecSink* sink) {
    return CodecEncodeWith(source, sink, kCodecEncoderZlib);
}

CodecResult CodecEncodeWith(const CodecSource* source, const CodecSink* sink, CodecEncoder encoder) {
    if (encoder != kCodecEncoderLibdeflate) encoder = kCodecEncoderZlib;
    try {
        Pipeline pipeline(CompressingThreads(), encoder);
        return pipeline.Run(*source, *sink);
    } catch (const std::bad_alloc&) {
        return kCodecNoMemory;  // nothing is thrown across the C edge
    }
}
