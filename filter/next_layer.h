// The filter's own work on the next layer: the codec's source and sink over
// next-layer file handles, the drawing of free temporary names at the volume
// root, and quiet clean-up calls that keep the caller's last error. Used by
// the open (expansion) and the close (recompression); nothing here makes a
// file record or expands anything.
#pragma once

#include "filter/codec/codec.h"
#include "filter/records.h"

namespace quillane_filter {

// A codec source reading a next-layer file from its current position, or a
// sink writing it there. `error` keeps the last error of a failed request.
struct NextLayerStream {
    const HookTable* hooks;
    HANDLE file;
    DWORD error;
};

CodecSource SourceOf(NextLayerStream* stream);
CodecSink SinkOf(NextLayerStream* stream);

// Creates a new, empty file at the volume root named by GetTempFileNameW from
// "\", `prefix` and the tick count, drawing the next number while a name is
// taken, so that it never opens a file that exists. Opens it GENERIC_WRITE,
// no sharing, with `attributes`. Returns the next-layer handle and the path in
// `path` (kNameCapacity units), or INVALID_HANDLE_VALUE with the next layer's
// last error (ERROR_FILE_EXISTS when every name is taken).
HANDLE CreateRootTempFile(const HookTable* hooks, HANDLE process, LPCWSTR prefix, DWORD attributes, LPWSTR path);

// The filter's own closes and deletions. Both leave the thread's last error
// as it was and return whether they succeeded.
// A close ends the next layer's handle whatever it answers (a failure says
// only that data may not have reached the card), so it is made once: asking
// again would close a handle that no longer exists, or another file's.
bool CloseNext(const HookTable* hooks, HANDLE file);
// A card may refuse a deletion once (a busy controller, a passing I/O
// error); rather than leave a temporary file behind, this asks a few times.
bool RemoveRootFile(const HookTable* hooks, LPCWSTR path);

}  // namespace quillane_filter
