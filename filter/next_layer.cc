// The filter's own work on the next layer (see next_layer.h).
#include "filter/next_layer.h"

#include "platform/core/clock.h"
#include "platform/core/last_error.h"
#include "platform/core/temp_name.h"

namespace quillane_filter {
namespace {

// Every unique number whose low 16 bits differ: all the names there are.
constexpr DWORD kTempNameCount = 0x10000;

// How often the filter asks a card that refused to delete a file.
constexpr int kAttempts = 3;

BOOL ReadNext(void* context, void* buffer, DWORD count, DWORD* delivered) {
    auto* stream = static_cast<NextLayerStream*>(context);
    DWORD total = 0;
    // The codec expects a short delivery only at the end of the data, so a
    // layer that returns less than asked is asked again.
    while (total < count) {
        DWORD got = 0;
        if (!stream->hooks->ReadFile(stream->file, static_cast<BYTE*>(buffer) + total, count - total, &got,
                                     nullptr)) {
            stream->error = platform::GetLastError();
            *delivered = total;
            return FALSE;
        }
        if (got == 0) break;
        total += got;
    }
    *delivered = total;
    return TRUE;
}

BOOL WriteNext(void* context, const void* buffer, DWORD count) {
    auto* stream = static_cast<NextLayerStream*>(context);
    DWORD total = 0;
    while (total < count) {
        DWORD put = 0;
        if (!stream->hooks->WriteFile(stream->file, static_cast<const BYTE*>(buffer) + total, count - total,
                                      &put, nullptr)) {
            stream->error = platform::GetLastError();
            return FALSE;
        }
        if (put == 0) {
            // A layer that takes nothing without failing has no room left.
            stream->error = ERROR_DISK_FULL;
            return FALSE;
        }
        total += put;
    }
    return TRUE;
}

}  // namespace

CodecSource SourceOf(NextLayerStream* stream) { return CodecSource{stream, ReadNext}; }
CodecSink SinkOf(NextLayerStream* stream) { return CodecSink{stream, WriteNext}; }

HANDLE CreateRootTempFile(const HookTable* hooks, HANDLE process, LPCWSTR prefix, DWORD attributes, LPWSTR path) {
    const DWORD first = platform::GetTickCount();
    for (DWORD i = 0; i < kTempNameCount; ++i) {
        // The platform only forms a name from a non-zero number; its low 16
        // bits are what the name shows.
        DWORD unique = first + i;
        if (unique == 0) unique = kTempNameCount;
        if (platform::GetTempFileNameW(u"\\", prefix, unique, path) == 0) return INVALID_HANDLE_VALUE;
        HANDLE file = hooks->CreateFileW(hooks->volume, process, path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                         attributes, nullptr);
        if (file != INVALID_HANDLE_VALUE) return file;
        if (platform::GetLastError() != ERROR_FILE_EXISTS && platform::GetLastError() != ERROR_ALREADY_EXISTS) {
            return INVALID_HANDLE_VALUE;
        }
    }
    platform::SetLastError(ERROR_FILE_EXISTS);
    return INVALID_HANDLE_VALUE;
}

bool CloseNext(const HookTable* hooks, HANDLE file) {
    const DWORD saved = platform::GetLastError();
    const bool closed = hooks->CloseFile(file) != FALSE;
    platform::SetLastError(saved);
    return closed;
}

bool RemoveRootFile(const HookTable* hooks, LPCWSTR path) {
    const DWORD saved = platform::GetLastError();
    bool removed = false;
    for (int attempt = 0; attempt < kAttempts && !removed; ++attempt) {
        removed = hooks->DeleteFileW(hooks->volume, path) != FALSE;
    }
    platform::SetLastError(saved);
    return removed;
}

}  // namespace quillane_filter
