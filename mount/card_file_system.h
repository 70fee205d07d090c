// The card as a POSIX file system: what each FUSE operation does with the
// platform's file API on the card's filter stack. fuse_operations.cc is the
// thin layer that calls it; this class knows nothing of FUSE requests. It
// dispatches reads and writes to the node's open file (open_file.h) and
// makes its stats with attributes.h; card_file_system.cc holds names and
// attributes, card_open_files.cc the opens and the open files' lifetime.
//
// What it adds to the platform, so that Linux programs find what they rely
// on although the filter works on names and replaces a file at every close
// that wrote it:
// - One open file per file, shared by every open of it through the mount,
//   so all of them see the same plain data. The last release closes
//   it (the filter's close: the recompression), and so does the close(2) of
//   the file's only open (its flush), so a program that closes a file and
//   opens it again finds the new content in place; an open or a status query
//   that comes while a close runs waits for it. An operation on an open
//   whose shared handle was closed so reopens it.
// - Stable inode numbers (node_table.h), never the card's.
// - Rename and unlink of open files as POSIX says: the handle is closed under
//   the old name, the file is moved (an unlinked one to a hidden name at the
//   card root, deleted at its last release) and opened again where it went.
// - A node whose file was removed or replaced (and is not kept hidden) is
//   gone: it never reaches the file that now has its old name, and answers
//   ESTALE, on which the kernel looks the name up afresh.
// - fsync puts the file's current content in place on the card, compressed,
//   by closing the handle (which reopens on the next use).
// - Plain sizes: st_size is what programs read, st_blocks what the card
//   holds (host_files.h).
// - Reading writes nothing: an open for reading alone is served from the
//   card's bytes (block_reader.h), not through the filter, until a writer
//   opens the file.
// Results are 0 or an errno value; nothing throws on purpose, but callers
// must be ready for std::bad_alloc.
#pragma once

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mount/attributes.h"
#include "mount/host_files.h"
#include "mount/node_table.h"
#include "platform/core/types.h"

namespace quillane::mount {

// Name at the card root of a file that was unlinked while open.
inline constexpr char16_t kHiddenPrefix[] = u".quillane-unlinked-";

// What a setattr asks for; absent members stay as they are.
struct AttributeChange {
    std::optional<uid_t> owner;
    std::optional<gid_t> group;
    std::optional<std::uint64_t> size;
    std::optional<mode_t> mode;
    std::optional<timespec> last_access;  // real times; "now" already resolved
    std::optional<timespec> last_write;
};

struct DirectoryEntry {
    std::string name;
    NodeNumber number;
    bool directory;
};

class CardFileSystem {
public:
    // `card_folder` is the folder the storage manager mounted the card as
    // (u"Card"); `host_root` is the same card's host folder, open.
    CardFileSystem(std::u16string_view card_folder, platform::fat::UniqueFd host_root, const OwnerOptions& owner);
    CardFileSystem(const CardFileSystem&) = delete;
    CardFileSystem& operator=(const CardFileSystem&) = delete;

    // Told a node's number whenever a close may have changed what the node's
    // file takes on the card, so that cached attributes can be dropped.
    void SetAttributesChanged(std::function<void(NodeNumber)> changed);

    // Names. `name` is one component as the kernel gives it (UTF-8); names
    // a card cannot hold, and the mount's own names at the root (the hidden
    // ones, the filter's working files: IsMountsOwnName), are refused.
    int Lookup(NodeNumber parent, std::string_view name, NodeNumber& number, struct stat& attributes);
    void Forget(NodeNumber number, std::uint64_t count);
    int MakeDirectory(NodeNumber parent, std::string_view name, NodeNumber& number, struct stat& attributes);
    int Unlink(NodeNumber parent, std::string_view name);
    int RemoveDirectory(NodeNumber parent, std::string_view name);
    // `no_replace`: fail with EEXIST rather than replace an existing target.
    int Rename(NodeNumber parent, std::string_view name, NodeNumber new_parent, std::string_view new_name,
               bool no_replace);
    int ListDirectory(NodeNumber folder, std::vector<DirectoryEntry>& entries);

    // Attributes.
    int GetAttributes(NodeNumber number, struct stat& attributes);
    int SetAttributes(NodeNumber number, const AttributeChange& change, struct stat& attributes);
    int FileSystemStatus(struct statvfs& status);

    // What an open is for; the FUSE layer keeps it with the open
    // (fuse_file_info::fh) and gives it back at its flush and release.
    enum class OpenKind : std::uint64_t { kReading = 0, kWriting = 1 };

    // Files. `flags` are open(2)'s; O_DIRECT and others that the card has no
    // use for are accepted and ignored. An open made by Create is kWriting.
    int Open(NodeNumber number, int flags, OpenKind& kind);
    int Create(NodeNumber parent, std::string_view name, int flags, NodeNumber& number, struct stat& attributes);
    int Read(NodeNumber number, std::uint64_t offset, std::span<char> buffer, size_t& count);
    int Write(NodeNumber number, std::uint64_t offset, std::span<const char> data, size_t& count);
    // A close(2) of an open; closes the shared open file when this is the
    // only open, or the only open for writing (readers then read what the
    // close put on the card).
    int Flush(NodeNumber number, OpenKind kind);
    // The end of an open; the last one closes the shared open file, and so
    // does the last open for writing.
    void Release(NodeNumber number, OpenKind kind);
    int Sync(NodeNumber number);

    // Before serving: a card that cannot be written is served read-only.
    // Reads work as ever (they never write); every change answers EROFS.
    void ServeReadOnly();

    // At start: deletes files that an earlier run unlinked while open and
    // could not delete (it was stopped before their last release). Not on
    // a card served read-only.
    void RemoveLeftovers();
    // At unmount: closes every handle still open (through the filter, so
    // written files are recompressed) and deletes unlinked files.
    void CloseAll();

private:
    static bool IsMountsOwnName(std::u16string_view name);
    std::u16string CardPath(std::u16string_view volume_path) const;
    int ChildPaths(NodeNumber parent, std::string_view name, std::u16string& wide_name, std::u16string& volume_path);

    int StatusOfPath(std::u16string_view volume_path, NodeNumber number, bool unlinked, struct stat& attributes);
    int StatusOfNode(Node& node, struct stat& attributes);

    // What an operation needs of the node's open file.
    enum class Access {
        kRead,    // any kind; a BlockReader when none is open
        kFilter,  // a filter handle, read-only for a read-only file
        kWrite,   // a writable filter handle
    };
    // Under rename_lock_ (shared or exclusive) and node.gate exclusive: makes
    // sure the node has an open file that serves `access`, opening it with
    // `disposition`; TRUNCATE_EXISTING empties a file already open.
    int EnsureFile(Node& node, Access access, DWORD disposition);
    // Under node.gate exclusive: closes the node's open file, if any.
    int CloseFileOf(Node& node);
    // Runs `use` with the node's open file, under node.gate, opening it
    // first when it was closed.
    int WithFile(Node& node, Access access, const std::function<int(OpenFile&)>& use);
    // Ends a use that Pin began (an open for writing when `writer`); the
    // last one closes the open file, and so does the last writer's.
    void EndUse(Node& node, bool writer = false);
    // Under rename_lock_ exclusive: moves an open file out of its name to a
    // hidden one at the card root (an unlink, or a rename over it).
    int Hide(Node& node, const std::u16string& card_path);
    // Under node.gate exclusive: deletes the hidden file of a node unlinked
    // while open, at its last use.
    void DeleteIfHidden(Node& node);

    int Truncate(Node& node, std::uint64_t size);
    int SetTimes(Node& node, const std::optional<timespec>& last_access, const std::optional<timespec>& last_write);
    int SetReadOnly(const std::u16string& card_path, bool read_only);

    void AttributesChanged(NodeNumber number) const;

    const std::u16string card_prefix_;  // "\Card"
    HostFiles host_files_;
    const AttributeMap attribute_map_;
    NodeTable nodes_;
    // Held exclusive by operations that change names of files that may be
    // open (unlink, rename), shared while a handle is opened by name, so no
    // handle is ever opened under a name that is about to change.
    std::shared_mutex rename_lock_;
    std::atomic<std::uint64_t> hidden_count_{0};
    bool read_only_ = false;
    std::function<void(NodeNumber)> attributes_changed_;
};

}  // namespace quillane::mount
