// The card as a POSIX file system (see card_file_system.h).
#include "mount/card_file_system.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>

#include "mount/attributes.h"
#include "mount/card_names.h"
#include "mount/file_modes.h"
#include "mount/platform_errno.h"
#include "platform/core/last_error.h"
#include "platform/core/utf.h"
#include "platform/storage/file_api.h"

namespace quillane::mount {
namespace {

// The unit statfs counts in.
constexpr std::uint64_t kStatFsBlock = 4096;

// A name lookup fails with ENOENT for names no card could hold: such a file
// cannot exist, and programs probing for it must not take it for an error.
int LookupErrno(int error) { return error == EINVAL || error == EILSEQ ? ENOENT : error; }

}  // namespace

CardFileSystem::CardFileSystem(std::u16string_view card_folder, platform::fat::UniqueFd host_root,
                               const OwnerOptions& owner)
    : card_prefix_(u"\\" + std::u16string(card_folder)),
      host_files_(std::move(host_root)),
      attribute_map_(owner) {}

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
    if (parent == kRootNode && IsMountsOwnName(wide_name)) return EINVAL;
    const std::shared_ptr<Node> folder = nodes_.Find(parent);
    if (folder == nullptr || nodes_.IsGone(*folder)) return ESTALE;
    volume_path = nodes_.VolumePath(*folder) + u"\\" + wide_name;
    return 0;
}

// The names at the card root that are the mount's own: nobody finds,
// lists, makes or renames one through the mount. The hidden names of files
// unlinked while open, and the filter's working files, whatever the masks:
// an expansion file holds the plain data of a file that a user may not be
// allowed to read.
bool CardFileSystem::IsMountsOwnName(std::u16string_view name) {
    return name.starts_with(kHiddenPrefix) || IsFilterWorkingName(name);
}

// ---- Attributes ------------------------------------------------------------

int CardFileSystem::StatusOfPath(std::u16string_view volume_path, NodeNumber number, bool unlinked,
                                 struct stat& attributes) {
    const DWORD card_attributes = platform::GetFileAttributesW(CardPath(volume_path).c_str());
    if (card_attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
    HostFile host;
    if (const int error = host_files_.Describe(volume_path, host); error != 0) return error;
    if (IsDirectory(card_attributes)) {
        attributes = attribute_map_.Folder(number, host.status);
        attributes.st_nlink = unlinked ? 0 : 1;
        return 0;
    }
    attributes = attribute_map_.File(FileFigures{
        .number = number,
        .card_attributes = card_attributes,
        .plain_size = host.plain_size,
        .blocks = host.status.st_blocks,
        .last_access = CardTime(host.status.st_atim),
        .last_write = CardTime(host.status.st_mtim),
        .unlinked = unlinked,
    });
    return 0;
}

int CardFileSystem::StatusOfNode(Node& node, struct stat& attributes) {
    if (node.number == kRootNode) {
        struct stat host {};
        if (const int error = host_files_.Status(u"", host); error != 0) return error;
        attributes = attribute_map_.Folder(kRootNode, host);
        return 0;
    }

    // A close that runs holds the gate: its result is what the status shows.
    std::shared_lock gate(node.gate);
    // The kernel looked the name up before it went; it asks again on ESTALE.
    if (nodes_.IsGone(node)) return ESTALE;
    const std::u16string volume_path = nodes_.VolumePath(node);
    const bool unlinked = nodes_.IsUnlinked(node);
    if (node.file == nullptr) return StatusOfPath(volume_path, node.number, unlinked, attributes);

    // Open through the mount: the open file knows the plain size and times
    // (of the expansion file, for a compressed file), the name the
    // attributes.
    const DWORD card_attributes = platform::GetFileAttributesW(CardPath(volume_path).c_str());
    if (card_attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
    OpenFileStatus open{};
    if (const int error = node.file->Status(open); error != 0) return error;
    struct stat host {};
    host_files_.Status(volume_path, host);  // only for the room taken; none is fine
    attributes = attribute_map_.File(FileFigures{
        .number = node.number,
        .card_attributes = card_attributes,
        .plain_size = open.size,
        .blocks = host.st_blocks,
        .last_access = open.last_access,
        .last_write = open.last_write,
        .unlinked = unlinked,
    });
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
    if (read_only_) return EROFS;
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr || nodes_.IsGone(*node)) return ESTALE;
    // Files belong to the one owner and group of the mount, as on a vfat
    // mount: ownership can be "changed" only to what it is.
    const OwnerOptions& owner = attribute_map_.Options();
    if ((change.owner && *change.owner != owner.owner) || (change.group && *change.group != owner.group)) {
        return EPERM;
    }

    const std::u16string card_path = CardPath(nodes_.VolumePath(*node));
    const DWORD card_attributes =
        node->number == kRootNode ? FILE_ATTRIBUTE_DIRECTORY : platform::GetFileAttributesW(card_path.c_str());
    const bool directory = card_attributes != INVALID_FILE_ATTRIBUTES && IsDirectory(card_attributes);
    // A mode the card cannot hold is refused before anything changes.
    ModeChange mode_change = ModeChange::kNone;
    if (change.mode) {
        if (const int error = ReadModeChange(directory, *change.mode, mode_change); error != 0) return error;
    }
    if (change.size) {
        if (directory) return EISDIR;
        if (const int error = Truncate(*node, *change.size); error != 0) return error;
    }
    // A folder's times have no place on the card; they are accepted and
    // left alone, as tools that copy trees set them as a matter of course.
    if (!directory && (change.last_access || change.last_write)) {
        if (const int error = SetTimes(*node, change.last_access, change.last_write); error != 0) return error;
    }
    if (mode_change != ModeChange::kNone) {
        if (const int error = SetReadOnly(card_path, mode_change == ModeChange::kSetReadOnly); error != 0) {
            return error;
        }
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

int CardFileSystem::SetReadOnly(const std::u16string& card_path, bool read_only) {
    const DWORD attributes = platform::GetFileAttributesW(card_path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
    if (IsReadOnly(attributes) == read_only) return 0;
    const DWORD wanted = read_only ? (attributes | FILE_ATTRIBUTE_READONLY) : (attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!platform::SetFileAttributesW(card_path.c_str(), Stored(wanted))) return LastErrno();
    return 0;
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
    if (read_only_) return EROFS;
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
    if (read_only_) return EROFS;
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
    if (read_only_) return EROFS;
    std::u16string wide_name, volume_path;
    if (const int error = ChildPaths(parent, name, wide_name, volume_path); error != 0) return LookupErrno(error);
    std::unique_lock names(rename_lock_);
    if (!platform::RemoveDirectoryW(CardPath(volume_path).c_str())) return LastErrno();
    if (const std::shared_ptr<Node> node = nodes_.FindChild(parent, wide_name)) nodes_.Remove(*node);
    return 0;
}

int CardFileSystem::Rename(NodeNumber parent, std::string_view name, NodeNumber new_parent,
                           std::string_view new_name, bool no_replace) {
    if (read_only_) return EROFS;
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
        if (const int error = CloseFileOf(*node); error != 0) return error;
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
        if (folder == kRootNode && IsMountsOwnName(name)) continue;
        const std::shared_ptr<Node> child = nodes_.Child(folder, name);
        entries.push_back(DirectoryEntry{KernelName(name), child->number, IsDirectory(data.dwFileAttributes)});
    } while (platform::FindNextFileW(search, &data));
    if (const DWORD error = platform::GetLastError(); error != ERROR_NO_MORE_FILES) result = ErrnoFrom(error);
    platform::FindClose(search);
    return result;
}

// ---- Start and end ---------------------------------------------------------

void CardFileSystem::ServeReadOnly() { read_only_ = true; }

void CardFileSystem::RemoveLeftovers() {
    if (read_only_) return;  // nothing is deleted from a card that cannot be written
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
        CloseFileOf(*node);
        DeleteIfHidden(*node);
    }
}

}  // namespace quillane::mount
