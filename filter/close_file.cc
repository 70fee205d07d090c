// The filter's CloseFile: where data on the card becomes compressed.
//
// The next layer's handle is closed first; from then on the close works on
// the card by names only. A handle that was written, whose file is neither
// empty nor exempt, has its file encoded into a staging file at the volume
// root, which is flushed and then put in place of the file in one step
// (DeleteAndRenameFileW), so that the file under its name always holds its
// old content or its new one, complete, whatever fails or when power goes.
//
// A file whose data lives in an expansion file that cannot be encoded, or
// that is now exempt or empty, gets its expansion file put in place plain:
// the program's writes are never dropped. An expansion file is never left
// behind except where it is the only copy of written data.
//
// The caller learns only the next layer's close result, with its last error.
// The next layer's handle is gone whatever its close answers, so the record
// is freed either way: nobody may close it again. A close that failed may not
// have put the handle's data on the card, so its file is then left as it is:
// an expansion file that was written stays at the root (the one place its
// data may still be), and nothing replaces the file with data that the card
// may not hold whole.
#include <cstdlib>

#include "filter/encoder_choice.h"
#include "filter/exempt_test.h"
#include "filter/filter_api.h"
#include "filter/next_layer.h"
#include "filter/records.h"
#include "platform/core/clock.h"
#include "platform/core/last_error.h"

namespace quillane_filter {
namespace {

// How long a close waits, in milliseconds, for another open to let go of the
// file it replaces, and in what steps.
constexpr DWORD kShareWaitLimit = 2000;
constexpr DWORD kShareWaitStep = 10;

// The attributes a staging file is created with: the file's own, less those
// that would stop the close from writing it or putting it in place.
DWORD StagingAttributes(DWORD attributes) {
    const DWORD kept = attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

// The attributes the opened name has now, or INVALID_FILE_ATTRIBUTES when
// no file has that name any more. A card that cannot answer otherwise gets
// the file back with no attributes rather than lose its data.
DWORD AttributesAtClose(const FileRecord* file) {
    const HookTable* hooks = file->hooks;
    const DWORD attributes = hooks->GetFileAttributesW(hooks->volume, file->opened_name);
    if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
    const DWORD error = platform::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return INVALID_FILE_ATTRIBUTES;
    return FILE_ATTRIBUTE_NORMAL;
}

// Replaces the file `name` by the root file `replacement` in one step and
// gives it `attributes`, the attributes the name had at close. A read-only
// file is made writable for the step and read-only again after it, also when
// the step fails. Another open of a compressed file holds it only while it
// expands it, so a replace that meets such an open waits for it a while.
bool PutInPlace(const HookTable* hooks, LPCWSTR name, LPCWSTR replacement, DWORD attributes) {
    const bool read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (read_only) hooks->SetFileAttributesW(hooks->volume, name, attributes & ~FILE_ATTRIBUTE_READONLY);
    bool replaced = false;
    for (DWORD waited = 0; !replaced; waited += kShareWaitStep) {
        replaced = hooks->DeleteAndRenameFileW(hooks->volume, name, replacement) != FALSE;
        if (replaced || platform::GetLastError() != ERROR_SHARING_VIOLATION || waited >= kShareWaitLimit) break;
        platform::Sleep(kShareWaitStep);
    }
    hooks->SetFileAttributesW(hooks->volume, name, attributes);
    return replaced;
}

// The file's new data lives only in its expansion file: put that in place of
// the file, plain. Should even that fail, the expansion file stays at the
// root, the one place the data still is.
void KeepExpansionPlain(const FileRecord* file) {
    const DWORD attributes = AttributesAtClose(file);
    // No file under the name any more: it was removed while open, and the
    // written data has no name to go back to but its expansion file.
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    PutInPlace(file->hooks, file->opened_name, file->temporary_path, attributes);
}

// Encodes the file's data (the file itself, or its expansion file) into a
// staging file and puts that in place of the file.
void Recompress(const FileRecord* file) {
    const HookTable* hooks = file->hooks;
    const bool has_expansion = file->temporary_path[0] != 0;
    LPCWSTR source_name = has_expansion ? file->temporary_path : file->opened_name;

    HANDLE source = hooks->CreateFileW(hooks->volume, file->process, source_name, GENERIC_READ, 0, nullptr,
                                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (source == INVALID_HANDLE_VALUE) {
        if (has_expansion) KeepExpansionPlain(file);
        return;  // a plain file that cannot be read stays as it is
    }
    const DWORD attributes = AttributesAtClose(file);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        CloseNext(hooks, source);
        return;  // the file was removed while open: its data stays where it is
    }

    WCHAR staging_path[kNameCapacity];
    HANDLE staging =
        CreateRootTempFile(hooks, file->process, u"y", StagingAttributes(attributes), staging_path);
    if (staging == INVALID_HANDLE_VALUE) {
        CloseNext(hooks, source);
        if (has_expansion) KeepExpansionPlain(file);
        return;
    }

    NextLayerStream from{hooks, source, ERROR_SUCCESS};
    NextLayerStream to{hooks, staging, ERROR_SUCCESS};
    const CodecSource codec_source = SourceOf(&from);
    const CodecSink codec_sink = SinkOf(&to);
    bool complete = CodecEncodeWith(&codec_source, &codec_sink, ChosenEncoder()) == kCodecCompleted;

    FILETIME creation{}, last_access{}, last_write{};
    if (hooks->GetFileTime(source, &creation, &last_access, &last_write)) {
        hooks->SetFileTime(staging, &creation, &last_access, &last_write);
    }
    // The staging file must be on the card before it replaces the file.
    if (complete && !hooks->FlushFileBuffers(staging)) complete = false;
    CloseNext(hooks, source);
    if (!CloseNext(hooks, staging)) complete = false;

    if (!complete || !PutInPlace(hooks, file->opened_name, staging_path, attributes)) {
        RemoveRootFile(hooks, staging_path);
        if (has_expansion) KeepExpansionPlain(file);
        return;
    }
    if (has_expansion) RemoveRootFile(hooks, file->temporary_path);
}

}  // namespace
}  // namespace quillane_filter

using namespace quillane_filter;

extern "C" BOOL CloseFile(HANDLE h) {
    auto* file = static_cast<FileRecord*>(h);
    const HookTable* hooks = file->hooks;

    // A failed size query answers 0xFFFFFFFF: not empty.
    const DWORD size_at_close = hooks->GetFileSize(file->next, nullptr);
    const BOOL close_result = hooks->CloseFile(file->next);
    const DWORD close_error = platform::GetLastError();

    const BOOL exempt = IsExempt(file->opened_name);
    const bool has_expansion = file->temporary_path[0] != 0;
    const bool dirty = IsDirty(file) != 0;

    if (close_result == FALSE) {
        if (has_expansion && !dirty) RemoveRootFile(hooks, file->temporary_path);
    } else if (size_at_close == 0 || exempt) {
        // Not to be compressed; written data in an expansion file goes back
        // plain, truncation to 0 included.
        if (has_expansion) {
            if (dirty) {
                KeepExpansionPlain(file);
            } else {
                RemoveRootFile(hooks, file->temporary_path);
            }
        }
    } else if (!dirty) {
        if (has_expansion) RemoveRootFile(hooks, file->temporary_path);
    } else {
        Recompress(file);
    }

    std::free(file);
    platform::SetLastError(close_error);
    return close_result;
}
