// CreateFileW of the FAT layer: opening and creating files on the card with
// the platform's creation dispositions, access rights and share modes. The
// handle it yields is a FileObject; the I/O on it is in file_io.cc.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "platform/core/last_error.h"
#include "platform/fat/host_error.h"
#include "platform/fat/names.h"
#include "platform/fat/volume_state.h"

namespace platform::fat::operations {
namespace {

constexpr DWORD kAccessMask = GENERIC_READ | GENERIC_WRITE;

// Host open flags for the handle's access. An open that empties the file
// needs a writable descriptor even when the caller asked for no write.
int HostAccessFlags(DWORD access, bool truncating) {
    const bool read = (access & GENERIC_READ) != 0;
    const bool write = (access & GENERIC_WRITE) != 0 || truncating;
    if (read && write) return O_RDWR;
    if (write) return O_WRONLY;
    return O_RDONLY;
}

struct OpenRequest {
    DWORD access;
    DWORD share_mode;
    DWORD disposition;
    DWORD flags_and_attributes;
};

HANDLE Fail(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

HANDLE Finish(Volume::State& volume, std::unique_ptr<FileObject> file, DWORD result_error) {
    file->volume = &volume;
    volume.open_handles.fetch_add(1);
    SetLastError(result_error);
    return file.release();
}

int ExtraFlags(DWORD flags_and_attributes) {
    return (flags_and_attributes & FILE_FLAG_WRITE_THROUGH) != 0 ? O_DSYNC : 0;
}

HANDLE OpenExisting(Volume::State& volume, const Resolved& resolved, const OpenRequest& request) {
    const Entry& entry = resolved.entry;
    if (request.disposition == CREATE_NEW) return Fail(ERROR_FILE_EXISTS);
    if (S_ISDIR(entry.status.st_mode)) return Fail(ERROR_ACCESS_DENIED);
    const bool truncating = request.disposition == CREATE_ALWAYS || request.disposition == TRUNCATE_EXISTING;
    if (request.disposition == TRUNCATE_EXISTING && (request.access & GENERIC_WRITE) == 0) {
        return Fail(ERROR_ACCESS_DENIED);
    }

    auto file = std::make_unique<FileObject>();
    const int flags = HostAccessFlags(request.access, truncating) | ExtraFlags(request.flags_and_attributes);
    if (const DWORD error = OpenEntry(resolved.parent.Get(), entry, flags, file->fd); error != ERROR_SUCCESS) {
        return Fail(error);
    }
    const DWORD attributes = ReadAttributes(volume.store, file->fd.Get(), entry.status);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0 && ((request.access & GENERIC_WRITE) != 0 || truncating)) {
        return Fail(ERROR_ACCESS_DENIED);
    }
    file->access = request.access;
    file->identity = FileIdentity{entry.status.st_dev, entry.status.st_ino};
    // The share check comes before the file is emptied: an open refused by
    // another handle's share mode must leave the file as it was.
    const DWORD checked = request.access | (truncating ? GENERIC_WRITE : 0);
    if (const DWORD error = ShareTable::Instance().Enter(file->identity, checked, request.access, request.share_mode,
                                                          file->share);
        error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (truncating && ftruncate(file->fd.Get(), 0) != 0) return Fail(ErrorFromErrno(errno));
    if (request.disposition == CREATE_ALWAYS) {
        // Overwriting gives the file the attributes asked for, with archive
        // set, as making it anew would.
        if (const DWORD error = WriteAttributes(volume.store, file->fd.Get(), entry.status,
                                                request.flags_and_attributes | FILE_ATTRIBUTE_ARCHIVE);
            error != ERROR_SUCCESS) {
            return Fail(error);
        }
    }
    const bool reports_existing = request.disposition == OPEN_ALWAYS || request.disposition == CREATE_ALWAYS;
    return Finish(volume, std::move(file), reports_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
}

// Returns null with `raced` set when the name appeared since the lookup.
HANDLE CreateNew(Volume::State& volume, const Resolved& resolved, const OpenRequest& request, bool& raced) {
    raced = false;
    auto file = std::make_unique<FileObject>();
    const int flags = HostAccessFlags(request.access | GENERIC_WRITE, false) | O_CREAT | O_EXCL | O_NOFOLLOW |
                      O_CLOEXEC | ExtraFlags(request.flags_and_attributes);
    file->fd = UniqueFd(openat(resolved.parent.Get(), resolved.entry.host_name.c_str(), flags, 0666));
    if (!file->fd.Valid()) {
        if (errno == EEXIST) {
            raced = true;
            return nullptr;
        }
        return Fail(ErrorFromErrno(errno));
    }
    struct stat status {};
    const bool made = fstat(file->fd.Get(), &status) == 0;
    // Times first: the attributes may make the file read-only. A number the
    // host gives again starts with nothing kept.
    if (made) volume.store.Forget(status);
    RecordCreationTime(volume.store, file->fd.Get());
    DWORD error = made ? WriteAttributes(volume.store, file->fd.Get(), status,
                                         request.flags_and_attributes | FILE_ATTRIBUTE_ARCHIVE)
                       : ErrorFromErrno(errno);
    if (error == ERROR_SUCCESS) {
        file->access = request.access;
        file->identity = FileIdentity{status.st_dev, status.st_ino};
        error = ShareTable::Instance().Enter(file->identity, request.access, request.access, request.share_mode,
                                             file->share);
    }
    if (error != ERROR_SUCCESS) {
        // Nothing of a failed create stays on the card.
        file->fd.Close();
        unlinkat(resolved.parent.Get(), resolved.entry.host_name.c_str(), 0);
        return Fail(error);
    }
    // A new file is written through a descriptor opened for writing even
    // when read-only was asked for, as the platform lets its creator write;
    // the handle's own access still decides what the caller may do.
    return Finish(volume, std::move(file), ERROR_SUCCESS);
}

// A close that puts a file's new form in place renames over it while other
// handles may be opening it: enough attempts for a few such renames in a row.
constexpr int kOpenAttempts = 8;

}  // namespace

HANDLE CreateFileW(HANDLE h, HANDLE /*process*/, LPCWSTR name, DWORD access, DWORD share_mode,
                   LPSECURITY_ATTRIBUTES /*security*/, DWORD disposition, DWORD flags_and_attributes,
                   HANDLE /*template_file*/) noexcept {
    auto* volume = static_cast<Volume::State*>(h);
    if (volume == nullptr || h == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) return Fail(ERROR_INVALID_PARAMETER);
    const OpenRequest request{access & kAccessMask, share_mode & (FILE_SHARE_READ | FILE_SHARE_WRITE), disposition,
                              flags_and_attributes};
    // A name that appears, vanishes or is replaced between the lookup and
    // the open is looked up again (the open then meets the old file or the
    // new one, as on the card); one that changes at every attempt is busy.
    for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
        Resolved resolved;
        if (const DWORD error = Resolve(volume->root.Get(), name, resolved, &volume->names); error != ERROR_SUCCESS) {
            return Fail(error);
        }
        if (resolved.is_root) return Fail(ERROR_ACCESS_DENIED);
        if (resolved.entry.exists) {
            const HANDLE opened = OpenExisting(*volume, resolved, request);
            if (opened != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) return opened;
            continue;
        }
        if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) return Fail(ERROR_FILE_NOT_FOUND);
        bool raced = false;
        const HANDLE created = CreateNew(*volume, resolved, request, raced);
        if (!raced) return created;
    }
    return Fail(ERROR_SHARING_VIOLATION);
}

}  // namespace platform::fat::operations
