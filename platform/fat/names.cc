// Names on the card and their resolution (see names.h).
#include "platform/fat/names.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/vfs.h>

#include <cerrno>

#include "platform/core/last_error.h"
#include "platform/core/utf.h"
#include "platform/core/wide_string.h"
#include "platform/fat/host_error.h"

namespace platform::fat {
namespace {

bool IsForbiddenUnit(WCHAR unit, bool wildcards) {
    if (unit < 0x20) return true;
    switch (unit) {
        case u'"':
        case u':':
        case u'<':
        case u'>':
        case u'|':
        case u'/':
        case u'\\':
            return true;
        case u'*':
        case u'?':
            return !wildcards;
        default:
            return false;
    }
}

std::u16string_view DropTrailingDotsAndSpaces(std::u16string_view name) {
    while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.remove_suffix(1);
    return name;
}

// Utf8ToUtf16 reports malformed input through the last error; a host name
// that is not UTF-8 is simply not a card name, so the caller's error stays.
bool ConvertQuietly(std::string_view in, std::u16string& out) {
    const DWORD saved = GetLastError();
    const bool ok = Utf8ToUtf16(in, out);
    SetLastError(saved);
    return ok;
}

DWORD CheckKind(const struct stat& status) {
    return (S_ISREG(status.st_mode) || S_ISDIR(status.st_mode)) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

// A vfat or exFAT host folds ASCII case itself, so an exact look-up that
// finds nothing leaves no case variant of an ASCII name to scan for.
bool HostFoldsCaseOf(int dir, std::u16string_view name) {
    constexpr decltype(statfs::f_type) kExfatMagic = 0x2011BAB0;
    for (WCHAR unit : name) {
        if (unit >= 0x80) return false;
    }
    struct statfs info {};
    return fstatfs(dir, &info) == 0 && (info.f_type == MSDOS_SUPER_MAGIC || info.f_type == kExfatMagic);
}

}  // namespace

DWORD ListDirectory(int dir, std::vector<std::string>& names) {
    names.clear();
    UniqueFd scan_fd(openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!scan_fd.Valid()) return ErrorFromErrno(errno);
    DIR* stream = fdopendir(scan_fd.Get());
    if (stream == nullptr) return ErrorFromErrno(errno);
    scan_fd.Release();  // the stream owns the descriptor now
    errno = 0;
    while (const dirent* item = readdir(stream)) {
        const std::string_view host_name(item->d_name);
        if (host_name != "." && host_name != "..") names.emplace_back(host_name);
        errno = 0;
    }
    const int read_errno = errno;
    closedir(stream);
    return ErrorFromErrno(read_errno);
}

DWORD CheckName(std::u16string_view name, bool wildcards) {
    if (name.empty() || name == u"." || name == u"..") return ERROR_INVALID_NAME;
    if (name.size() > kMaxNameLength) return ERROR_FILENAME_EXCED_RANGE;
    for (WCHAR unit : name) {
        if (IsForbiddenUnit(unit, wildcards)) return ERROR_INVALID_NAME;
    }
    return ERROR_SUCCESS;
}

DWORD SplitPath(LPCWSTR path, std::vector<NameComponent>& components) {
    components.clear();
    if (path == nullptr) return ERROR_INVALID_PARAMETER;
    const std::u16string_view whole(path);
    if (whole.size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    size_t start = 0;
    while (start <= whole.size()) {
        size_t end = whole.find(u'\\', start);
        if (end == std::u16string_view::npos) end = whole.size();
        const std::u16string_view raw = whole.substr(start, end - start);
        start = end + 1;
        if (raw.empty()) continue;
        // "." and ".." are refused as they stand, before trailing dots go.
        if (raw == u"." || raw == u"..") return ERROR_INVALID_NAME;
        const std::u16string_view name = DropTrailingDotsAndSpaces(raw);
        if (const DWORD error = CheckName(name, false); error != ERROR_SUCCESS) return error;
        NameComponent component{std::u16string(name), {}};
        const DWORD saved = GetLastError();
        const bool ok = Utf16ToUtf8(component.wide, component.host);
        SetLastError(saved);
        if (!ok) return ERROR_INVALID_NAME;
        components.push_back(std::move(component));
    }
    return ERROR_SUCCESS;
}

bool IsCardName(std::string_view host_name, std::u16string& wide) {
    if (!ConvertQuietly(host_name, wide)) return false;
    if (DropTrailingDotsAndSpaces(wide).size() != wide.size()) return false;
    return CheckName(wide, false) == ERROR_SUCCESS;
}

namespace {

// The smallest host name in `dir` that could be a card name and equals
// `wide` without regard to case, by listing the folder.
DWORD ScanForCaseVariant(int dir, std::u16string_view wide, std::string& best) {
    best.clear();
    std::vector<std::string> names;
    if (const DWORD error = ListDirectory(dir, names); error != ERROR_SUCCESS) return error;
    std::u16string candidate;
    for (const std::string& host_name : names) {
        // Only names a card could hold can stand for a card name.
        if (!IsCardName(host_name, candidate) || WideCompareNoCase(candidate, wide) != 0) continue;
        if (best.empty() || host_name < best) best = host_name;
    }
    return ERROR_SUCCESS;
}

}  // namespace

DWORD FindEntry(int dir, const NameComponent& name, Entry& entry, NameIndex* index) {
    entry = Entry{};
    if (fstatat(dir, name.host.c_str(), &entry.status, AT_SYMLINK_NOFOLLOW) == 0) {
        entry.exists = true;
        entry.host_name = name.host;
        return CheckKind(entry.status);
    }
    if (errno != ENOENT) return ErrorFromErrno(errno);
    entry.host_name = name.host;
    if (HostFoldsCaseOf(dir, name.wide)) return ERROR_SUCCESS;

    // No exact entry: look for one that differs only in case.
    std::string best;
    const DWORD error =
        index != nullptr ? index->FindCaseVariant(dir, name.wide, best) : ScanForCaseVariant(dir, name.wide, best);
    if (error != ERROR_SUCCESS) return error;
    if (best.empty()) return ERROR_SUCCESS;
    if (fstatat(dir, best.c_str(), &entry.status, AT_SYMLINK_NOFOLLOW) != 0) {
        // Gone between the scan and the look: as if it never was.
        if (errno == ENOENT) return ERROR_SUCCESS;
        return ErrorFromErrno(errno);
    }
    entry.exists = true;
    entry.host_name = best;
    return CheckKind(entry.status);
}

DWORD OpenDirectory(int root, std::span<const NameComponent> components, UniqueFd& dir, NameIndex* index) {
    UniqueFd current(openat(root, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current.Valid()) return ErrorFromErrno(errno);
    for (const NameComponent& component : components) {
        Entry entry;
        if (const DWORD error = FindEntry(current.Get(), component, entry, index); error != ERROR_SUCCESS) return error;
        if (!entry.exists || !S_ISDIR(entry.status.st_mode)) return ERROR_PATH_NOT_FOUND;
        UniqueFd next(openat(current.Get(), entry.host_name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.Valid()) return errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);
        current = std::move(next);
    }
    dir = std::move(current);
    return ERROR_SUCCESS;
}

DWORD Resolve(int root, LPCWSTR path, Resolved& resolved, NameIndex* index) {
    resolved = Resolved{};
    std::vector<NameComponent> components;
    if (const DWORD error = SplitPath(path, components); error != ERROR_SUCCESS) return error;
    if (components.empty()) {
        resolved.is_root = true;
        return ERROR_SUCCESS;
    }
    const std::span<const NameComponent> all(components);
    if (const DWORD error = OpenDirectory(root, all.first(all.size() - 1), resolved.parent, index);
        error != ERROR_SUCCESS) {
        return error;
    }
    return FindEntry(resolved.parent.Get(), components.back(), resolved.entry, index);
}

DWORD OpenEntry(int dir, const Entry& entry, int flags, UniqueFd& fd) {
    // O_NONBLOCK: should a pipe be swapped in after the lookup, the open must
    // not hang; it is refused below like any other change of object.
    UniqueFd opened(openat(dir, entry.host_name.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!opened.Valid()) return ErrorFromErrno(errno);
    struct stat status {};
    if (fstat(opened.Get(), &status) != 0) return ErrorFromErrno(errno);
    // The entry found is gone from its name (replaced by a rename, or
    // removed and made anew): for the caller, as if it had vanished.
    if (status.st_dev != entry.status.st_dev || status.st_ino != entry.status.st_ino) return ERROR_FILE_NOT_FOUND;
    // Back to blocking I/O for the file's own reads and writes.
    const int status_flags = fcntl(opened.Get(), F_GETFL);
    if (status_flags >= 0) fcntl(opened.Get(), F_SETFL, status_flags & ~O_NONBLOCK);
    fd = std::move(opened);
    return ERROR_SUCCESS;
}

}  // namespace platform::fat
