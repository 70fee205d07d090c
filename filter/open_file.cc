// The filter's CreateFileW: decides what the handle it returns stands for.
//
// - a file of size 0 once opened: the file itself, its record born dirty;
// - a plain file: the file itself, read from its start;
// - a compressed file: an expansion file at the volume root, a plain copy of
//   the file's data written by the block decoder before the open returns.
//
// The open never succeeds with less data than the file holds: a full card or
// a read error while expanding fails the open, and the partial expansion file
// is deleted. So does a file that starts with the signature and does not
// decode soundly (ERROR_FILE_CORRUPT): served with what the decoder yields,
// one write or flush and a close would re-encode that remainder over the
// file and lose the rest. The compressed file itself is never changed by an
// open; what of a damaged file decodes stays reachable below the filter.
#include <cstdlib>

#include "filter/filter_api.h"
#include "filter/next_layer.h"
#include "filter/records.h"
#include "platform/core/last_error.h"
#include "platform/core/wide_string.h"

namespace quillane_filter {
namespace {

FileRecord* NewFileRecord(VolumeRecord* volume, HANDLE next, HANDLE process, LPCWSTR name, LPCWSTR temporary_path,
                          LONG dirty) {
    auto* file = static_cast<FileRecord*>(std::malloc(sizeof(FileRecord)));
    if (file == nullptr) return nullptr;
    file->next = next;
    file->disk = volume->disk;
    file->hooks = &volume->hooks;
    file->process = process;
    platform::WideCopy(file->opened_name, kNameCapacity, name);
    platform::WideCopy(file->temporary_path, kNameCapacity, temporary_path);
    file->dirty = dirty;
    return file;
}

// Fails the open with `error` after the clean-up the caller has done.
HANDLE Fail(DWORD error) {
    platform::SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Expands the compressed file standing right behind its signature on
// `compressed` (which this closes) into a new expansion file, whose path goes
// to `expansion_path`. Returns ERROR_SUCCESS, or the error that fails the open
// with nothing left behind.
DWORD Expand(const HookTable* hooks, HANDLE process, HANDLE compressed, LPWSTR expansion_path) {
    HANDLE expansion = CreateRootTempFile(hooks, process, u"v", FILE_ATTRIBUTE_NORMAL, expansion_path);
    if (expansion == INVALID_HANDLE_VALUE) {
        const DWORD error = platform::GetLastError();
        CloseNext(hooks, compressed);
        return error;
    }

    // The times go on before any data, so that the program sees the
    // compressed file's times on its plain copy.
    FILETIME creation{}, last_access{}, last_write{};
    if (hooks->GetFileTime(compressed, &creation, &last_access, &last_write)) {
        hooks->SetFileTime(expansion, &creation, &last_access, &last_write);
    }

    NextLayerStream from{hooks, compressed, ERROR_SUCCESS};
    NextLayerStream to{hooks, expansion, ERROR_SUCCESS};
    const CodecSource source = SourceOf(&from);
    const CodecSink sink = SinkOf(&to);
    const CodecResult decoded = CodecDecode(&source, &sink);

    CloseNext(hooks, compressed);
    DWORD error = ERROR_SUCCESS;
    switch (decoded) {
        case kCodecCompleted:
            break;
        case kCodecDamaged:
            error = ERROR_FILE_CORRUPT;
            break;
        case kCodecSourceFailed:
            error = from.error != ERROR_SUCCESS ? from.error : ERROR_READ_FAULT;
            break;
        case kCodecSinkFailed:
            error = to.error != ERROR_SUCCESS ? to.error : ERROR_WRITE_FAULT;
            break;
        case kCodecNoMemory:
            error = ERROR_NOT_ENOUGH_MEMORY;
            break;
    }
    // A close that fails may not have put all of the data on the card.
    if (!CloseNext(hooks, expansion) && error == ERROR_SUCCESS) error = ERROR_WRITE_FAULT;
    if (error != ERROR_SUCCESS) RemoveRootFile(hooks, expansion_path);
    return error;
}

}  // namespace
}  // namespace quillane_filter

using namespace quillane_filter;

extern "C" HANDLE CreateFileW(HANDLE h, HANDLE process, LPCWSTR name, DWORD access, DWORD share_mode,
                              LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags_and_attributes,
                              HANDLE template_file) {
    auto* volume = static_cast<VolumeRecord*>(h);
    const HookTable* hooks = &volume->hooks;
    if (name == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    // The record keeps the name for the close; a name it cannot hold whole
    // is refused before anything is opened.
    if (platform::WideLength(name) >= kNameCapacity) return Fail(ERROR_FILENAME_EXCED_RANGE);

    HANDLE file = hooks->CreateFileW(hooks->volume, process, name, access, share_mode, security, disposition,
                                     flags_and_attributes, template_file);
    if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    // The disposition's own word (ERROR_ALREADY_EXISTS for an existing file)
    // is what the caller gets back on success.
    const DWORD open_error = platform::GetLastError();

    if (hooks->GetFileSize(file, nullptr) == 0) {
        FileRecord* record = NewFileRecord(volume, file, process, name, u"", 1);
        if (record == nullptr) {
            CloseNext(hooks, file);
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        platform::SetLastError(open_error);
        return record;
    }

    // The signature is read through a handle that may read: a caller without
    // read access gets its own handle only after the test, so that its writes
    // can never land among the compressed bytes.
    HANDLE probe = file;
    if ((access & GENERIC_READ) == 0) {
        CloseNext(hooks, file);
        file = INVALID_HANDLE_VALUE;
        probe = hooks->CreateFileW(hooks->volume, process, name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
    }

    // A read that fails tells nothing of what the file holds: taking the file
    // for plain would hand compressed bytes to the program, to read or to
    // overwrite, so the open fails instead. A short read is a short file.
    BYTE signature[kCodecSignatureSize] = {};
    DWORD delivered = 0;
    if (!hooks->ReadFile(probe, signature, kCodecSignatureSize, &delivered, nullptr)) {
        const DWORD error = platform::GetLastError();
        CloseNext(hooks, probe);
        return Fail(error);
    }

    if (!CodecIsSignature(signature, delivered)) {
        if (file == INVALID_HANDLE_VALUE) {
            CloseNext(hooks, probe);
            file = hooks->CreateFileW(hooks->volume, process, name, access, share_mode, security, disposition,
                                      flags_and_attributes, template_file);
            if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
        } else if (hooks->SetFilePointer(file, 0, nullptr, FILE_BEGIN) != 0) {
            // Served from behind the signature bytes, the program would read
            // and write its file at the wrong offsets.
            const DWORD error = platform::GetLastError();
            CloseNext(hooks, file);
            return Fail(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
        }
        FileRecord* record = NewFileRecord(volume, file, process, name, u"", 0);
        if (record == nullptr) {
            CloseNext(hooks, file);
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        platform::SetLastError(open_error);
        return record;
    }

    WCHAR expansion_path[kNameCapacity];
    const DWORD expand_error = Expand(hooks, process, probe, expansion_path);
    if (expand_error != ERROR_SUCCESS) return Fail(expand_error);

    // Only OPEN_EXISTING and OPEN_ALWAYS get here (the others empty the file
    // or fail on an existing one), and both open the expansion file just
    // written.
    HANDLE expansion = hooks->CreateFileW(hooks->volume, process, expansion_path, access, share_mode, security,
                                          disposition, flags_and_attributes, template_file);
    if (expansion == INVALID_HANDLE_VALUE) {
        RemoveRootFile(hooks, expansion_path);
        return INVALID_HANDLE_VALUE;
    }
    FileRecord* record = NewFileRecord(volume, expansion, process, name, expansion_path, 0);
    if (record == nullptr) {
        CloseNext(hooks, expansion);
        RemoveRootFile(hooks, expansion_path);
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    platform::SetLastError(open_error);
    return record;
}
