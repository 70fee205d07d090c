// The searches of the FAT layer: FindFirstFileW, FindNextFileW and
// FindClose over one folder of the card. A search takes the matching names
// when it starts and yields them in the host's order with their find data
// read as each is yielded. "." and "..", symbolic links, and host names a
// card could not hold are never yielded.
#include <fcntl.h>
#include <sys/stat.h>

#include <memory>
#include <span>

#include "platform/core/last_error.h"
#include "platform/core/wide_string.h"
#include "platform/fat/host_error.h"
#include "platform/fat/names.h"
#include "platform/fat/volume_state.h"
#include "platform/fat/wildcard.h"

namespace platform::fat::operations {
namespace {

HANDLE Fail(DWORD error) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Fills `data` for `host_name` in `dir`; false when the entry is gone or is
// no longer a file or folder.
bool Describe(const Volume::State& volume, int dir, const std::string& host_name, WIN32_FIND_DATAW& data) {
    std::u16string wide;
    if (!IsCardName(host_name, wide)) return false;
    struct stat status {};
    if (fstatat(dir, host_name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(status.st_mode) && !S_ISDIR(status.st_mode)) return false;
    // The object's own descriptor gives its stored attributes and creation
    // time; without one (no permission to open it) the mode bits tell what
    // they can.
    UniqueFd fd(openat(dir, host_name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat own {};
    if (fd.Valid() && (fstat(fd.Get(), &own) != 0 || own.st_ino != status.st_ino || own.st_dev != status.st_dev)) {
        return false;
    }
    const FileTimes times = ReadTimes(volume.store, fd.Get(), status);
    const auto size = static_cast<std::uint64_t>(status.st_size);
    data = WIN32_FIND_DATAW{};
    data.dwFileAttributes = ReadAttributes(volume.store, fd.Get(), status);
    data.ftCreationTime = times.creation;
    data.ftLastAccessTime = times.last_access;
    data.ftLastWriteTime = times.last_write;
    if (S_ISREG(status.st_mode)) {
        data.nFileSizeHigh = static_cast<DWORD>(size >> 32);
        data.nFileSizeLow = static_cast<DWORD>(size);
    }
    WideCopy(data.cFileName, MAX_PATH, wide.c_str());
    return true;
}

// Yields the next name that can still be described.
bool YieldNext(SearchObject& search, WIN32_FIND_DATAW& data) {
    while (search.next < search.names.size()) {
        if (Describe(*search.volume, search.directory.Get(), search.names[search.next++], data)) return true;
    }
    return false;
}

SearchObject* AsSearch(HANDLE h) {
    auto* search = static_cast<SearchObject*>(h);
    if (search == nullptr || h == INVALID_HANDLE_VALUE || search->magic != SearchObject::kMagic) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return search;
}

}  // namespace

HANDLE FindFirstFileW(HANDLE h, HANDLE /*process*/, LPCWSTR spec, LPWIN32_FIND_DATAW find_data) noexcept {
    auto* volume = static_cast<Volume::State*>(h);
    if (volume == nullptr || h == INVALID_HANDLE_VALUE) return Fail(ERROR_INVALID_HANDLE);
    if (spec == nullptr || find_data == nullptr) return Fail(ERROR_INVALID_PARAMETER);

    // "dir\pattern": the folder is a path like any other, the pattern a name
    // that may hold wildcards.
    const std::u16string_view whole(spec);
    const size_t split = whole.rfind(u'\\');
    const std::u16string folder(split == std::u16string_view::npos ? std::u16string_view() : whole.substr(0, split));
    const std::u16string_view pattern = split == std::u16string_view::npos ? whole : whole.substr(split + 1);
    if (whole.size() >= MAX_PATH) return Fail(ERROR_FILENAME_EXCED_RANGE);
    std::vector<NameComponent> components;
    if (const DWORD error = SplitPath(folder.c_str(), components); error != ERROR_SUCCESS) return Fail(error);
    if (pattern.empty()) return Fail(ERROR_FILE_NOT_FOUND);
    if (const DWORD error = CheckName(pattern, true); error != ERROR_SUCCESS) return Fail(error);

    auto search = std::make_unique<SearchObject>();
    search->volume = volume;
    if (const DWORD error = OpenDirectory(volume->root.Get(), components, search->directory, &volume->names);
        error != ERROR_SUCCESS) {
        return Fail(error);
    }
    std::vector<std::string> names;
    if (const DWORD error = ListDirectory(search->directory.Get(), names); error != ERROR_SUCCESS) return Fail(error);
    std::u16string wide;
    for (std::string& host_name : names) {
        if (IsCardName(host_name, wide) && MatchesPattern(pattern, wide)) search->names.push_back(std::move(host_name));
    }
    if (!YieldNext(*search, *find_data)) return Fail(ERROR_FILE_NOT_FOUND);
    volume->open_handles.fetch_add(1);
    return search.release();
}

BOOL FindNextFileW(HANDLE h, LPWIN32_FIND_DATAW find_data) noexcept {
    SearchObject* search = AsSearch(h);
    if (search == nullptr) return FALSE;
    if (find_data == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (!YieldNext(*search, *find_data)) return FailWith(ERROR_NO_MORE_FILES);
    return TRUE;
}

BOOL FindClose(HANDLE h) noexcept {
    SearchObject* search = AsSearch(h);
    if (search == nullptr) return FALSE;
    std::unique_ptr<SearchObject> owned(search);
    owned->magic = 0;
    owned->volume->open_handles.fetch_sub(1);
    return TRUE;
}

}  // namespace platform::fat::operations
