// The card as a POSIX file system (see card_file_system.h).
#include "mount/card_file_system.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>

#include "mount/card_names.h"
#include "mount/platform_errno.h"
#include "platform/core/last_error.h"
#include "platform/core/utf.h"
#include "platform/fat/metadata.h"
#include "platform/storage/file_api.h"

namespace quillane::mount {
namespace {

constexpr DWORD kFullSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
// The largest file a FAT card holds: 4 GiB - 1 bytes.
constexpr std::uint64_t kMaxFileSize = 0xFFFFFFFFull;
// The I/O size programs are told to prefer: one block of the compressed format.
constexpr blksize_t kPreferredBlockSize = 131072;
// The unit statfs counts in.
constexpr std::uint64_t kStatFsBlock = 4096;
// The attributes a FAT card stores and SetFileAttributesW takes.
constexpr DWORD kStoredAttributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;

bool IsDirectory(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
bool IsReadOnly(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_READONLY) != 0; }

DWORD Stored(DWORD attributes) {
    const DWORD kept = attributes & kStoredAttributes;
    return kept != 0 ? kept : FILE_ATTRIBUTE_NORMAL;
}

// Times as the card keeps them (FILETIME, 100 ns steps), so that a file's
// times read the same whether they come from the card's directory entry or
// from an open handle. FAT has no change time; like vfat the mount reports
// the last write for it, so tools that compare change times before and
// after reading a file find it unchanged.
timespec CardTime(const timespec& host) {
    return platform::fat::TimespecFromFileTime(platform::fat::FileTimeFromTimespec(host));
}

void FillTimes(struct stat& attributes, const timespec& last_access, const timespec& last_write) {
    attributes.st_atim = last_access;
    attributes.st_mtim = last_write;
    attributes.st_ctim = last_write;
}

int SetLength(HANDLE handle, std::uint64_t size) {
    if (size > kMaxFileSize) return EFBIG;
    LONG high = static_cast<LONG>(size >> 32);
    platform::SetLastError(ERROR_SUCCESS);
    if (platform::SetFilePointer(handle, static_cast<LONG>(size & 0xFFFFFFFFu), &high, FILE_BEGIN) ==
            INVALID_SET_FILE_POINTER &&
        platform::GetLastError() != ERROR_SUCCESS) {
        return LastErrno();
    }
    if (!platform::SetEndOfFile(handle)) return LastErrno();
    return 0;
}

// POSIX removes a file whatever its own mode says; FAT refuses a read-only
// one. Clears the attribute for the step, and puts it back if the step fails.
template <typename Step>
bool EvenIfReadOnly(const std::u16string& path, Step step) {
    if (step()) return true;
    const DWORD error = platform::GetLastError();
    const DWORD attributes = platform::GetFileAttributesW(path.c_str());
    if (error != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES || !IsReadOnly(attributes) ||
        IsDirectory(attributes)) {
        platform::SetLastError(error);
        return false;
    }
    platform::SetFileAttributesW(path.c_str(), Stored(attributes & ~FILE_ATTRIBUTE_READONLY));
    if (step()) return true;
    const DWORD second = platform::GetLastError();
    platform::SetFileAttributesW(path.c_str(), Stored(attributes));
    platform::SetLastError(second);
    return false;
}

bool DeleteEvenIfReadOnly(const std::u16string& path) {
    return EvenIfReadOnly(path, [&] { return platform::DeleteFileW(path.c_str()) != FALSE; });
}

// A name lookup fails with ENOENT for names no card could hold: such a file
// cannot exist, and programs probing for it must not take it for an error.
int LookupErrno(int error) { return error == EINVAL || error == EILSEQ ? ENOENT : error; }

}  // namespace

CardFileSystem::CardFileSystem(std::u16string_view card_folder, platform::fat::UniqueFd host_root, uid_t owner,
                               gid_t group)
    : card_prefix_(u"\\" + std::u16string(card_folder)),
      host_files_(std::move(host_root)),
      owner_(owner),
      group_(group) {}

void CardFileSystem::SetAttributesChanged(std::function<void(NodeNumber)> changed) {
    attributes_changed_ = std::move(changed);
}

void CardFileSystem::AttributesChanged(NodeNumber number) const {
    if (attributes_changed_) attributes_changed_(number);
}

std::u16string CardFileSystem::CardPath(std::u16string_view volume_path) const {
    return card_prefix_ + std::u16string(volume_path);
}

int CardFileSystem::ChildPaths(NodeNumber parent, std::string_view name, std::u16string& wide_name,
                               std::u16string& volume_path) {
    if (const int error = CardName(name, wide_name); error != 0) return error;
    // The hidden names of files unlinked while open are the mount's own:
    // nobody finds, makes or renames one.
    if (parent == kRootNode && wide_name.starts_with(kHiddenPrefix)) return EINVAL;
    const std::shared_ptr<Node> folder = nodes_.Find(parent);
    if (folder == nullptr || nodes_.IsGone(*folder)) return ESTALE;
    volume_path = nodes_.VolumePath(*folder) + u"\\" + wide_name;
    return 0;
}

// ---- Attributes ------------------------------------------------------------

int CardFileSystem::StatusOfPath(std::u16string_view volume_path, NodeNumber number, bool unlinked,
                                 struct stat& attributes) {
    const DWORD card_attributes = platform::GetFileAttributesW(CardPath(volume_path).c_str());
    if (card_attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
    HostFile host;
    if (const int error = host_files_.Describe(volume_path, host); error != 0) return error;

    attributes = {};
    attributes.st_ino = number;
    attributes.st_uid = owner_;
    attributes.st_gid = group_;
    attributes.st_nlink = unlinked ? 0 : 1;
    attributes.st_blksize = kPreferredBlockSize;
    attributes.st_blocks = host.status.st_blocks;
    if (IsDirectory(card_attributes)) {
        attributes.st_mode = S_IFDIR | 0755;
        attributes.st_size = host.status.st_size;
    } else {
        attributes.st_mode = S_IFREG | (IsReadOnly(card_attributes) ? 0444 : 0644);
        attributes.st_size = static_cast<off_t>(host.plain_size);
    }
    FillTimes(attributes, CardTime(host.status.st_atim), CardTime(host.status.st_mtim));
    return 0;
}

int CardFileSystem::StatusOfNode(Node& node, struct stat& attributes) {
    if (node.number == kRootNode) {
        struct stat host {};
        if (const int error = host_files_.Status(u"", host); error != 0) return error;
        attributes = {};
        attributes.st_ino = kRootNode;
        attributes.st_mode = S_IFDIR | 0755;
        attributes.st_nlink = 1;
        attributes.st_uid = owner_;
        attributes.st_gid = group_;
        attributes.st_size = host.st_size;
        attributes.st_blocks = host.st_blocks;
        attributes.st_blksize = kPreferredBlockSize;
        FillTimes(attributes, CardTime(host.st_atim), CardTime(host.st_mtim));
        return 0;
    }

    // A close that runs holds the gate: its result is what the status shows.
    std::shared_lock gate(node.gate);
    // The kernel looked the name up before it went; it asks again on ESTALE.
    if (nodes_.IsGone(node)) return ESTALE;
    const std::u16string volume_path = nodes_.VolumePath(node);
    const bool unlinked = nodes_.IsUnlinked(node);
    if (node.handle == nullptr) return StatusOfPath(volume_path, node.number, unlinked, attributes);

    // Open through the mount: the handle knows the plain size and times (of
    // the expansion file, for a compressed file), the name the attributes.
    const DWORD card_attributes = platform::GetFileAttributesW(CardPath(volume_path).c_str());
    if (card_attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
    BY_HANDLE_FILE_INFORMATION information{};
    if (!platform::GetFileInformationByHandle(node.handle, &information)) return LastErrno();
    struct stat host {};
    host_files_.Status(volume_path, host);  // only for the room taken; none is fine

    attributes = {};
    attributes.st_ino = node.number;
    attributes.st_mode = S_IFREG | (IsReadOnly(card_attributes) ? 0444 : 0644);
    attributes.st_nlink = unlinked ? 0 : 1;
    attributes.st_uid = owner_;
    attributes.st_gid = group_;
    attributes.st_size =
        static_cast<off_t>((static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow);
    attributes.st_blocks = host.st_blocks;
    attributes.st_blksize = kPreferredBlockSize;
    FillTimes(attributes, platform::fat::TimespecFromFileTime(information.ftLastAccessTime),
              platform::fat::TimespecFromFileTime(information.ftLastWriteTime));
    return 0;
}

int CardFileSystem::GetAttributes(NodeNumber number, struct stat& attributes) {
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return ESTALE;
    // Not while a rename moves names: its steps must look like one.
    std::shared_lock names(rename_lock_);
    return StatusOfNode(*node, attributes);
}

int CardFileSystem::SetAttributes(NodeNumber number, const AttributeChange& change, struct stat& attributes) {
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr || nodes_.IsGone(*node)) return ESTALE;
    // Files belong to the mounting user, as on a vfat mount: ownership can
    // be "changed" only to what it is.
    if ((change.owner && *change.owner != owner_) || (change.group && *change.group != group_)) return EPERM;

    const std::u16string card_path = CardPath(nodes_.VolumePath(*node));
    const bool directory = node->number == kRootNode || [&] {
        const DWORD card_attributes = platform::GetFileAttributesW(card_path.c_str());
        return card_attributes != INVALID_FILE_ATTRIBUTES && IsDirectory(card_attributes);
    }();
    if (change.size) {
        if (directory) return EISDIR;
        if (const int error = Truncate(*node, *change.size); error != 0) return error;
    }
    // A folder's times and mode bits have no place on the card; they are
    // accepted and left alone, as tools that copy trees set them as a matter
    // of course.
    if (!directory && (change.last_access || change.last_write)) {
        if (const int error = SetTimes(*node, change.last_access, change.last_write); error != 0) return error;
    }
    if (!directory && change.mode) {
        if (const int error = SetReadOnly(card_path, (*change.mode & 0222) == 0); error != 0) return error;
    }
    std::shared_lock names(rename_lock_);
    return StatusOfNode(*node, attributes);
}

int CardFileSystem::FileSystemStatus(struct statvfs& status) {
    ULARGE_INTEGER free_to_caller{}, total{}, total_free{};
    // Through the filter, so that a converted card shows its doubled capacity.
    if (!platform::GetDiskFreeSpaceExW((card_prefix_ + u"\\").c_str(), &free_to_caller, &total, &total_free)) {
        return LastErrno();
    }
    status = {};
    status.f_bsize = kStatFsBlock;
    status.f_frsize = kStatFsBlock;
    status.f_blocks = total.QuadPart / kStatFsBlock;
    status.f_bfree = total_free.QuadPart / kStatFsBlock;
    status.f_bavail = free_to_caller.QuadPart / kStatFsBlock;
    status.f_namemax = 255;
    return 0;
}

int CardFileSystem::Truncate(Node& node, std::uint64_t size) {
    if (size > kMaxFileSize) return EFBIG;
    nodes_.Pin(node);
    int error;
    {
        std::shared_lock names(rename_lock_);
        std::unique_lock gate(node.gate);
        const bool was_closed = node.handle == nullptr;
        if (was_closed && size == 0) {
            // Emptied by the open itself: a compressed file is not expanded
            // only to be thrown away.
            error = EnsureHandle(node, true, TRUNCATE_EXISTING);
        } else {
            error = EnsureHandle(node, true, OPEN_EXISTING);
            if (error == 0) error = SetLength(node.handle, size);
        }
        // Closed as it was found, so the card holds the change when the call
        // returns, also while opens whose close(2) has closed the handle
        // still wait for their release.
        if (was_closed && error == 0) error = CloseHandleOf(node);
    }
    EndUse(node);
    return error;
}

int CardFileSystem::SetTimes(Node& node, const std::optional<timespec>& last_access,
                             const std::optional<timespec>& last_write) {
    const FILETIME access_time = last_access ? platform::fat::FileTimeFromTimespec(*last_access) : FILETIME{};
    const FILETIME write_time = last_write ? platform::fat::FileTimeFromTimespec(*last_write) : FILETIME{};
    HostFile host;
    const bool compressed = host_files_.Describe(nodes_.VolumePath(node), host) == 0 && host.compressed;

    nodes_.Pin(node);
    int error;
    {
        std::shared_lock names(rename_lock_);
        std::unique_lock gate(node.gate);
        const bool was_closed = node.handle == nullptr;
        error = EnsureHandle(node, false, OPEN_EXISTING);
        if (error == 0 && !platform::SetFileTime(node.handle, nullptr, last_access ? &access_time : nullptr,
                                                 last_write ? &write_time : nullptr)) {
            error = LastErrno();
        }
        // A compressed file's handle stands for its expansion file, which
        // the close throws away unless the handle was written to; a flush
        // counts as writing, so the close carries the new times into the
        // file on the card.
        if (error == 0 && compressed && !platform::FlushFileBuffers(node.handle)) error = LastErrno();
        if (was_closed && error == 0) error = CloseHandleOf(node);
    }
    EndUse(node);
    return error;
}

int CardFileSystem::SetReadOnly(const std::u16string& card_path, bool read_only) {
    const DWORD attributes = platform::GetFileAttributesW(card_path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
    if (IsReadOnly(attributes) == read_only) return 0;
    const DWORD wanted = read_only ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!platform::SetFileAttributesW(card_path.c_str(), Stored(wanted))) return LastErrno();
    return 0;
}

// ---- Handles ---------------------------------------------------------------

int CardFileSystem::EnsureHandle(Node& node, bool want_write, DWORD disposition) {
    // An open that the kernel resolved before the file was removed or
    // replaced: opening the name now would reach another file. On ESTALE the
    // kernel looks the name up afresh and opens what it finds.
    if (node.handle == nullptr && nodes_.IsGone(node)) return ESTALE;
    if (node.handle != nullptr) {
        if (!want_write || node.writable) {
            return disposition == TRUNCATE_EXISTING ? SetLength(node.handle, 0) : 0;
        }
        // Opened read-only while the file was read-only; since then made
        // writable. The handle is opened again, for writing.
        if (const int error = CloseHandleOf(node); error != 0) return error;
    }
    const std::u16string card_path = CardPath(nodes_.VolumePath(node));
    HANDLE handle = platform::CreateFileW(card_path.c_str(), GENERIC_READ | GENERIC_WRITE, kFullSharing, nullptr,
                                          disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    bool writable = true;
    if (handle == INVALID_HANDLE_VALUE && !want_write && disposition == OPEN_EXISTING &&
        platform::GetLastError() == ERROR_ACCESS_DENIED) {
        // A read-only file: readers still get it.
        handle = platform::CreateFileW(card_path.c_str(), GENERIC_READ, kFullSharing, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        writable = false;
    }
    if (handle == INVALID_HANDLE_VALUE) return LastErrno();
    node.handle = handle;
    node.writable = writable;
    return 0;
}

int CardFileSystem::CloseHandleOf(Node& node) {
    if (node.handle == nullptr) return 0;
    // The filter's close: a written file is compressed and put in place.
    if (!platform::CloseHandle(node.handle)) {
        // The handle stays; a later close tries again.
        return LastErrno();
    }
    node.handle = nullptr;
    node.writable = false;
    AttributesChanged(node.number);
    return 0;
}

int CardFileSystem::WithHandle(Node& node, bool want_write, const std::function<int(HANDLE)>& use) {
    {
        std::shared_lock gate(node.gate);
        if (node.handle != nullptr && (!want_write || node.writable)) return use(node.handle);
    }
    std::shared_lock names(rename_lock_);
    std::unique_lock gate(node.gate);
    if (const int error = EnsureHandle(node, want_write, OPEN_EXISTING); error != 0) return error;
    return use(node.handle);
}

void CardFileSystem::EndUse(Node& node) {
    {
        std::unique_lock gate(node.gate);
        if (nodes_.Unpin(node) == 0) {
            CloseHandleOf(node);  // a release reports nothing; the data stays on the card either way
            DeleteIfHidden(node);
        }
    }
    nodes_.ReleaseIfUnused(node);
}

void CardFileSystem::DeleteIfHidden(Node& node) {
    // Only a hidden file is the node's own: the name of a node that is gone
    // may by now be another file's.
    if (!nodes_.IsHidden(node)) return;
    if (DeleteEvenIfReadOnly(CardPath(nodes_.VolumePath(node)))) nodes_.MarkGone(node);
}

int CardFileSystem::Hide(Node& node, const std::u16string& card_path) {
    std::unique_lock gate(node.gate);
    // Closed under its old name first, so that the filter puts what was
    // written in place before the file moves.
    if (const int error = CloseHandleOf(node); error != 0) return error;
    for (;;) {
        const std::u16string hidden_name = kHiddenPrefix + platform::Utf16FromUtf8Lossy(std::to_string(++hidden_count_));
        if (platform::MoveFileW(card_path.c_str(), (card_prefix_ + u"\\" + hidden_name).c_str())) {
            nodes_.Detach(node, hidden_name);
            // The last release may have run between the caller's look at
            // the uses and this gate; then nobody is left to delete it.
            if (nodes_.Uses(node) == 0) DeleteIfHidden(node);
            return 0;
        }
        const DWORD error = platform::GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return ErrnoFrom(error);
    }
}

int CardFileSystem::Open(NodeNumber number, int flags) {
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return ESTALE;
    const bool want_write = (flags & O_ACCMODE) != O_RDONLY;
    nodes_.Pin(*node);
    int error;
    {
        std::shared_lock names(rename_lock_);
        std::unique_lock gate(node->gate);
        error = EnsureHandle(*node, want_write, (flags & O_TRUNC) != 0 ? TRUNCATE_EXISTING : OPEN_EXISTING);
    }
    if (error != 0) EndUse(*node);
    return error;
}

int CardFileSystem::Create(NodeNumber parent, std::string_view name, int flags, NodeNumber& number,
                           struct stat& attributes) {
    std::u16string wide_name, volume_path;
    if (const int error = ChildPaths(parent, name, wide_name, volume_path); error != 0) return error;
    const std::shared_ptr<Node> node = nodes_.Child(parent, wide_name);
    // Nobody else uses the node: a new file takes the name as now spelled.
    if (nodes_.Pin(*node) == 1) nodes_.Move(*node, parent, wide_name);
    int error;
    {
        std::shared_lock names(rename_lock_);
        std::unique_lock gate(node->gate);
        if (node->handle != nullptr && (flags & O_EXCL) != 0) {
            error = EEXIST;
        } else {
            const DWORD disposition = (flags & O_EXCL) != 0    ? CREATE_NEW
                                      : (flags & O_TRUNC) != 0 ? TRUNCATE_EXISTING
                                                               : OPEN_ALWAYS;
            // TRUNCATE_EXISTING only empties a handle already open; a new
            // handle is made with CREATE_ALWAYS for it.
            error = EnsureHandle(*node, true,
                                 node->handle == nullptr && disposition == TRUNCATE_EXISTING ? CREATE_ALWAYS
                                                                                             : disposition);
        }
    }
    if (error == 0) error = StatusOfNode(*node, attributes);
    if (error != 0) {
        EndUse(*node);
        return error;
    }
    nodes_.Remember(*node);
    number = node->number;
    return 0;
}

int CardFileSystem::Read(NodeNumber number, std::uint64_t offset, std::span<char> buffer, size_t& count) {
    count = 0;
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return ESTALE;
    if (offset >= kMaxFileSize || buffer.empty()) return 0;  // past the end of any file a card holds
    const auto wanted = static_cast<DWORD>(std::min<std::uint64_t>(buffer.size(), kMaxFileSize - offset));
    return WithHandle(*node, false, [&](HANDLE handle) {
        DWORD got = 0;
        if (!platform::ReadFileWithSeek(handle, buffer.data(), wanted, &got, nullptr,
                                        static_cast<DWORD>(offset & 0xFFFFFFFFu), static_cast<DWORD>(offset >> 32))) {
            return LastErrno();
        }
        count = got;
        return 0;
    });
}

int CardFileSystem::Write(NodeNumber number, std::uint64_t offset, std::span<const char> data, size_t& count) {
    count = 0;
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return ESTALE;
    if (data.empty()) return 0;
    if (offset > kMaxFileSize || data.size() > kMaxFileSize - offset) return EFBIG;
    return WithHandle(*node, true, [&](HANDLE handle) {
        DWORD written = 0;
        if (!platform::WriteFileWithSeek(handle, data.data(), static_cast<DWORD>(data.size()), &written, nullptr,
                                         static_cast<DWORD>(offset & 0xFFFFFFFFu),
                                         static_cast<DWORD>(offset >> 32))) {
            return LastErrno();
        }
        if (written == 0) return ENOSPC;  // a write that took nothing must not look like success
        count = written;
        return 0;
    });
}

int CardFileSystem::Flush(NodeNumber number) {
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return 0;
    std::unique_lock gate(node->gate);
    // The only open: its close(2) puts the file in place before it returns,
    // so the program that closed it, and any that opens it next, find the
    // new content (and du the room it takes). With other opens the last
    // release does it. An open that is used again after this (a duplicated
    // descriptor, a memory mapping) reopens the handle.
    if (nodes_.Uses(*node) != 1) return 0;
    return CloseHandleOf(*node);
}

void CardFileSystem::Release(NodeNumber number) {
    if (const std::shared_ptr<Node> node = nodes_.Find(number)) EndUse(*node);
}

int CardFileSystem::Sync(NodeNumber number) {
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return ESTALE;
    std::unique_lock gate(node->gate);
    // Nothing open, or open only for reading: the card holds it all already.
    if (node->handle == nullptr || !node->writable) return 0;
    if (!platform::FlushFileBuffers(node->handle)) return LastErrno();
    // The close puts the current content in place, compressed, under the
    // file's name; the next use reopens the handle.
    return CloseHandleOf(*node);
}

// ---- Names -----------------------------------------------------------------

int CardFileSystem::Lookup(NodeNumber parent, std::string_view name, NodeNumber& number, struct stat& attributes) {
    std::u16string wide_name, volume_path;
    if (const int error = ChildPaths(parent, name, wide_name, volume_path); error != 0) return LookupErrno(error);
    // A rename over an open file takes two steps on the card (the old file
    // to a hidden name, then the new one to its name); a lookup never sees
    // the name missing between them.
    std::shared_lock names(rename_lock_);
    std::shared_ptr<Node> node = nodes_.FindChild(parent, wide_name);
    if (node != nullptr) {
        if (const int error = StatusOfNode(*node, attributes); error != 0) return LookupErrno(error);
    } else {
        if (const int error = StatusOfPath(volume_path, 0, false, attributes); error != 0) return LookupErrno(error);
        node = nodes_.Child(parent, wide_name);
        attributes.st_ino = node->number;
    }
    nodes_.Remember(*node);
    number = node->number;
    return 0;
}

void CardFileSystem::Forget(NodeNumber number, std::uint64_t count) { nodes_.Forget(number, count); }

int CardFileSystem::MakeDirectory(NodeNumber parent, std::string_view name, NodeNumber& number,
                                  struct stat& attributes) {
    std::u16string wide_name, volume_path;
    if (const int error = ChildPaths(parent, name, wide_name, volume_path); error != 0) return error;
    if (!platform::CreateDirectoryW(CardPath(volume_path).c_str(), nullptr)) return LastErrno();
    const std::shared_ptr<Node> node = nodes_.Child(parent, wide_name);
    if (nodes_.Uses(*node) == 0) nodes_.Move(*node, parent, wide_name);
    if (const int error = StatusOfNode(*node, attributes); error != 0) return error;
    nodes_.Remember(*node);
    number = node->number;
    return 0;
}

int CardFileSystem::Unlink(NodeNumber parent, std::string_view name) {
    std::u16string wide_name, volume_path;
    if (const int error = ChildPaths(parent, name, wide_name, volume_path); error != 0) return LookupErrno(error);
    const std::u16string card_path = CardPath(volume_path);
    std::unique_lock names(rename_lock_);
    const DWORD attributes = platform::GetFileAttributesW(card_path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
    if (IsDirectory(attributes)) return EISDIR;
    const std::shared_ptr<Node> node = nodes_.FindChild(parent, wide_name);
    // Open through the mount: the open handles keep the file, under a
    // hidden name, until the last of them is released.
    if (node != nullptr && nodes_.Uses(*node) > 0) return Hide(*node, card_path);
    if (!DeleteEvenIfReadOnly(card_path)) return LastErrno();
    if (node != nullptr) nodes_.Remove(*node);
    return 0;
}

int CardFileSystem::RemoveDirectory(NodeNumber parent, std::string_view name) {
    std::u16string wide_name, volume_path;
    if (const int error = ChildPaths(parent, name, wide_name, volume_path); error != 0) return LookupErrno(error);
    std::unique_lock names(rename_lock_);
    if (!platform::RemoveDirectoryW(CardPath(volume_path).c_str())) return LastErrno();
    if (const std::shared_ptr<Node> node = nodes_.FindChild(parent, wide_name)) nodes_.Remove(*node);
    return 0;
}

int CardFileSystem::Rename(NodeNumber parent, std::string_view name, NodeNumber new_parent,
                           std::string_view new_name, bool no_replace) {
    std::u16string wide_name, volume_path, new_wide_name, new_volume_path;
    if (const int error = ChildPaths(parent, name, wide_name, volume_path); error != 0) return LookupErrno(error);
    if (const int error = ChildPaths(new_parent, new_name, new_wide_name, new_volume_path); error != 0) return error;
    const std::u16string from = CardPath(volume_path);
    const std::u16string to = CardPath(new_volume_path);

    std::unique_lock names(rename_lock_);
    const DWORD source_attributes = platform::GetFileAttributesW(from.c_str());
    if (source_attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
    const bool source_is_directory = IsDirectory(source_attributes);
    const std::shared_ptr<Node> source = nodes_.Child(parent, wide_name);

    const bool same_name = parent == new_parent && NameKey(wide_name) == NameKey(new_wide_name);
    if (same_name && wide_name == new_wide_name) return 0;
    if (source_is_directory && nodes_.Contains(*source, new_parent)) return EINVAL;  // into itself

    bool target_exists = false;
    bool target_is_directory = false;
    if (!same_name) {
        const DWORD target_attributes = platform::GetFileAttributesW(to.c_str());
        if (target_attributes != INVALID_FILE_ATTRIBUTES) {
            target_exists = true;
            target_is_directory = IsDirectory(target_attributes);
        } else if (platform::GetLastError() != ERROR_FILE_NOT_FOUND) {
            return LastErrno();
        }
    }
    if (target_exists) {
        if (no_replace) return EEXIST;
        if (source_is_directory && !target_is_directory) return ENOTDIR;
        if (!source_is_directory && target_is_directory) return EISDIR;
    }
    const std::shared_ptr<Node> target = target_exists ? nodes_.FindChild(new_parent, new_wide_name) : nullptr;

    // Every handle that the move would leave under a stale name is closed
    // first (the filter puts its file in place under the old name) and
    // opens again under the new one on its next use.
    std::vector<std::shared_ptr<Node>> moving =
        source_is_directory ? nodes_.UsedBelow(*source)
                            : (nodes_.Uses(*source) > 0 ? std::vector<std::shared_ptr<Node>>{source}
                                                        : std::vector<std::shared_ptr<Node>>{});
    std::sort(moving.begin(), moving.end(), [](const auto& a, const auto& b) { return a->number < b->number; });
    std::vector<std::unique_lock<std::shared_mutex>> gates;
    for (const auto& node : moving) {
        gates.emplace_back(node->gate);
        if (const int error = CloseHandleOf(*node); error != 0) return error;
    }

    BOOL moved;
    if (target_is_directory) {
        // POSIX replaces an empty folder; the card has no such step.
        if (!platform::RemoveDirectoryW(to.c_str())) return LastErrno();
        if (target != nullptr) nodes_.Remove(*target);
        moved = platform::MoveFileW(from.c_str(), to.c_str());
    } else if (target_exists && target != nullptr && nodes_.Uses(*target) > 0) {
        // The file replaced is open: its handles keep it, as after an unlink.
        if (const int error = Hide(*target, to); error != 0) return error;
        moved = platform::MoveFileW(from.c_str(), to.c_str());
    } else if (target_exists) {
        // One step: at every instant the name holds the old file or the new.
        moved = EvenIfReadOnly(to, [&] { return platform::DeleteAndRenameFileW(to.c_str(), from.c_str()) != FALSE; });
    } else {
        moved = platform::MoveFileW(from.c_str(), to.c_str());
    }
    if (!moved) return LastErrno();
    nodes_.Move(*source, new_parent, new_wide_name);
    return 0;
}

int CardFileSystem::ListDirectory(NodeNumber folder, std::vector<DirectoryEntry>& entries) {
    entries.clear();
    const std::shared_ptr<Node> node = nodes_.Find(folder);
    if (node == nullptr || nodes_.IsGone(*node)) return ESTALE;
    entries.push_back(DirectoryEntry{".", folder, true});
    entries.push_back(DirectoryEntry{"..", nodes_.ParentOf(*node), true});

    WIN32_FIND_DATAW data{};
    const std::u16string spec = CardPath(nodes_.VolumePath(*node)) + u"\\*";
    HANDLE search = platform::FindFirstFileW(spec.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) {
        const DWORD error = platform::GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_NO_MORE_FILES ? 0 : ErrnoFrom(error);
    }
    int result = 0;
    do {
        const std::u16string_view name(data.cFileName);
        if (folder == kRootNode && name.starts_with(kHiddenPrefix)) continue;
        const std::shared_ptr<Node> child = nodes_.Child(folder, name);
        entries.push_back(DirectoryEntry{KernelName(name), child->number, IsDirectory(data.dwFileAttributes)});
    } while (platform::FindNextFileW(search, &data));
    if (const DWORD error = platform::GetLastError(); error != ERROR_NO_MORE_FILES) result = ErrnoFrom(error);
    platform::FindClose(search);
    return result;
}

// ---- Start and end ---------------------------------------------------------

void CardFileSystem::RemoveLeftovers() {
    WIN32_FIND_DATAW data{};
    const std::u16string spec = card_prefix_ + u"\\" + kHiddenPrefix + u"*";
    HANDLE search = platform::FindFirstFileW(spec.c_str(), &data);
    if (search == INVALID_HANDLE_VALUE) return;
    std::vector<std::u16string> leftovers;
    do {
        if (!IsDirectory(data.dwFileAttributes)) leftovers.emplace_back(data.cFileName);
    } while (platform::FindNextFileW(search, &data));
    platform::FindClose(search);
    for (const auto& name : leftovers) DeleteEvenIfReadOnly(card_prefix_ + u"\\" + name);
}

void CardFileSystem::CloseAll() {
    attributes_changed_ = nullptr;  // the kernel is gone by now
    for (const std::shared_ptr<Node>& node : nodes_.Used()) {
        std::unique_lock gate(node->gate);
        CloseHandleOf(*node);
        DeleteIfHidden(*node);
    }
}

}  // namespace quillane::mount
