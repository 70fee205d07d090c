// The files of the card as the mount opens them: the lifetime of each
// node's shared open file (open_file.h), and the calls that use it (see
// card_file_system.h).
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <string>

#include "mount/attributes.h"
#include "mount/block_reader.h"
#include "mount/card_file_system.h"
#include "mount/filter_file.h"
#include "mount/platform_errno.h"
#include "platform/core/last_error.h"
#include "platform/core/utf.h"
#include "platform/fat/metadata.h"
#include "platform/storage/file_api.h"

namespace quillane::mount {

int CardFileSystem::Truncate(Node& node, std::uint64_t size) {
    if (size > kMaxFileSize) return EFBIG;
    nodes_.Pin(node);
    int error;
    {
        std::shared_lock names(rename_lock_);
        std::unique_lock gate(node.gate);
        // A reader of the card's bytes counts as closed: a writer replaces it.
        const bool was_closed = node.file == nullptr || !node.file->Writable();
        if (was_closed && size == 0) {
            // Emptied by the open itself: a compressed file is not expanded
            // only to be thrown away.
            error = EnsureFile(node, Access::kWrite, TRUNCATE_EXISTING);
        } else {
            error = EnsureFile(node, Access::kWrite, OPEN_EXISTING);
            if (error == 0) error = node.file->SetLength(size);
        }
        // Closed as it was found, so the card holds the change when the call
        // returns, also while opens whose close(2) has closed the file
        // still wait for their release.
        if (was_closed && error == 0) error = CloseFileOf(node);
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
        const bool was_closed = node.file == nullptr || !node.file->ThroughFilter();
        error = EnsureFile(node, Access::kFilter, OPEN_EXISTING);
        if (error == 0) {
            error = node.file->SetTimes(last_access ? &access_time : nullptr, last_write ? &write_time : nullptr);
        }
        // A compressed file's open file stands for its expansion file, which
        // the close throws away unless it was written to; a flush
        // counts as writing, so the close carries the new times into the
        // file on the card.
        if (error == 0 && compressed) error = node.file->Flush();
        if (was_closed && error == 0) error = CloseFileOf(node);
    }
    EndUse(node);
    return error;
}

int CardFileSystem::EnsureFile(Node& node, Access access, DWORD disposition) {
    // An open that the kernel resolved before the file was removed or
    // replaced: opening the name now would reach another file. On ESTALE the
    // kernel looks the name up afresh and opens what it finds.
    if (node.file == nullptr && nodes_.IsGone(node)) return ESTALE;
    // Filter handles are for changing the file, which a read-only card refuses.
    if (read_only_ && access != Access::kRead) return EROFS;
    if (node.file != nullptr) {
        const bool serves = access == Access::kRead || (access == Access::kFilter && node.file->ThroughFilter()) ||
                            node.file->Writable();
        if (serves) return disposition == TRUNCATE_EXISTING ? node.file->SetLength(0) : 0;
        // A reader of the card's bytes, or a handle opened read-only while
        // the file was read-only (since then made writable): the file is
        // opened again through the filter, and every open of it reads what
        // is written from then on.
        if (const int error = CloseFileOf(node); error != 0) return error;
    }
    // Reading alone never goes through the filter: it would expand a
    // compressed file onto the card.
    if (access == Access::kRead && disposition == OPEN_EXISTING) {
        return BlockReader::Open(host_files_, nodes_.VolumePath(node), node.file);
    }
    return FilterFile::Open(CardPath(nodes_.VolumePath(node)), access == Access::kWrite, disposition, node.file);
}

int CardFileSystem::CloseFileOf(Node& node) {
    if (node.file == nullptr) return 0;
    // The open file is closed whatever its close answers (closing it again
    // would reach a handle that is gone); its error goes to the caller.
    const int error = node.file->Close();
    // Only the filter's close changes what the card holds.
    const bool changed = node.file->ThroughFilter();
    node.file.reset();
    if (changed) AttributesChanged(node.number);
    return error;
}

int CardFileSystem::WithFile(Node& node, Access access, const std::function<int(OpenFile&)>& use) {
    {
        std::shared_lock gate(node.gate);
        if (node.file != nullptr && (access == Access::kRead || node.file->Writable())) return use(*node.file);
    }
    std::shared_lock names(rename_lock_);
    std::unique_lock gate(node.gate);
    if (const int error = EnsureFile(node, access, OPEN_EXISTING); error != 0) return error;
    return use(*node.file);
}

void CardFileSystem::EndUse(Node& node, bool writer) {
    {
        std::unique_lock gate(node.gate);
        if (writer) --node.writers;
        // A release reports nothing; the data stays on the card either way.
        if (nodes_.Unpin(node) == 0) {
            CloseFileOf(node);
            DeleteIfHidden(node);
        } else if (writer && node.writers == 0 && node.file != nullptr && node.file->Writable()) {
            // The last writer is gone: what it wrote goes in place now, not
            // when the readers that remain are done.
            CloseFileOf(node);
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
    if (const int error = CloseFileOf(node); error != 0) return error;
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

int CardFileSystem::Open(NodeNumber number, int flags, OpenKind& kind) {
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return ESTALE;
    const bool truncate = (flags & O_TRUNC) != 0;
    const Access access = (flags & O_ACCMODE) != O_RDONLY || truncate ? Access::kWrite : Access::kRead;
    kind = access == Access::kWrite ? OpenKind::kWriting : OpenKind::kReading;
    nodes_.Pin(*node);
    int error;
    {
        std::shared_lock names(rename_lock_);
        std::unique_lock gate(node->gate);
        error = EnsureFile(*node, access, truncate ? TRUNCATE_EXISTING : OPEN_EXISTING);
        if (error == 0 && kind == OpenKind::kWriting) ++node->writers;
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
        if (node->file != nullptr && (flags & O_EXCL) != 0) {
            error = EEXIST;
        } else {
            const DWORD disposition = (flags & O_EXCL) != 0    ? CREATE_NEW
                                      : (flags & O_TRUNC) != 0 ? TRUNCATE_EXISTING
                                                               : OPEN_ALWAYS;
            // TRUNCATE_EXISTING only empties a file already open; a new
            // one is made with CREATE_ALWAYS for it.
            error = EnsureFile(*node, Access::kWrite,
                                 node->file == nullptr && disposition == TRUNCATE_EXISTING ? CREATE_ALWAYS
                                                                                             : disposition);
            if (error == 0) ++node->writers;
        }
    }
    const bool writer = error == 0;
    if (error == 0) error = StatusOfNode(*node, attributes);
    if (error != 0) {
        EndUse(*node, writer);
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
    const auto wanted = static_cast<size_t>(std::min<std::uint64_t>(buffer.size(), kMaxFileSize - offset));
    return WithFile(*node, Access::kRead,
                    [&](OpenFile& file) { return file.Read(offset, buffer.first(wanted), count); });
}

int CardFileSystem::Write(NodeNumber number, std::uint64_t offset, std::span<const char> data, size_t& count) {
    count = 0;
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return ESTALE;
    if (data.empty()) return 0;
    if (offset > kMaxFileSize || data.size() > kMaxFileSize - offset) return EFBIG;
    return WithFile(*node, Access::kWrite, [&](OpenFile& file) { return file.Write(offset, data, count); });
}

int CardFileSystem::Flush(NodeNumber number, OpenKind kind) {
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return 0;
    std::unique_lock gate(node->gate);
    // The only open, or the only one for writing: its close(2) puts the
    // file in place before it returns, so the program that closed it, and
    // any that opens or reads it next, find the new content (and du the
    // room it takes). With other writers the last release does it. An open
    // that is used again after this (a duplicated descriptor, a memory
    // mapping) reopens the file.
    const bool last_writer = kind == OpenKind::kWriting && node->writers == 1;
    if (nodes_.Uses(*node) != 1 && !last_writer) return 0;
    return CloseFileOf(*node);
}

void CardFileSystem::Release(NodeNumber number, OpenKind kind) {
    if (const std::shared_ptr<Node> node = nodes_.Find(number)) EndUse(*node, kind == OpenKind::kWriting);
}

int CardFileSystem::Sync(NodeNumber number) {
    const std::shared_ptr<Node> node = nodes_.Find(number);
    if (node == nullptr) return ESTALE;
    std::unique_lock gate(node->gate);
    // Nothing open, or open only for reading: the card holds it all already.
    if (node->file == nullptr || !node->file->Writable()) return 0;
    if (const int error = node->file->Flush(); error != 0) return error;
    // The close puts the current content in place, compressed, under the
    // file's name; the next use reopens the file.
    return CloseFileOf(*node);
}


}  // namespace quillane::mount
