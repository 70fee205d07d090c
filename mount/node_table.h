// The mount's own inode numbers and the card names they stand for.
//
// The kernel knows files by number, the card knows them by name, and the
// filter replaces a file by a new one of the same name at every close that
// writes it, so the card's own numbers change all the time. Programs that
// compare inode numbers (tar's placeholders, SQLite's journal checks) need
// them to stay, so the table gives each name one number for the life of the
// mount: a name is matched without regard to case, as on the card; a rename
// moves the number with the file; a removed file keeps its number while the
// kernel or an open file still uses it, and no number is ever given twice.
//
// Each node also carries the one open file (open_file.h) that all opens of
// its file through the mount share (see card_file_system.h for how it is used). The
// table holds no attributes or data: it is not a cache of the card.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "mount/open_file.h"

namespace quillane::mount {

using NodeNumber = std::uint64_t;

// The card's root folder.
constexpr NodeNumber kRootNode = 1;

struct Node {
    explicit Node(NodeNumber number) : number(number) {}
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const NodeNumber number;

    // The open file that every open of the file through the mount shares,
    // or null. Held exclusive to open, close or replace the file, shared to
    // use it.
    std::shared_mutex gate;
    std::unique_ptr<OpenFile> file;
    std::uint32_t writers = 0;  // opens for writing, under the gate

private:
    friend class NodeTable;
    // Under the table's mutex.
    NodeNumber parent = 0;
    std::u16string name;   // as the card spells it; the hidden name once unlinked
    std::u16string key;    // NameKey(name)
    bool unlinked = false;  // no longer found by its name
    bool hidden = false;    // unlinked while open: its file lives on under `name`
    std::uint64_t lookups = 0;  // the kernel's references
    std::uint32_t opens = 0;    // opens through the mount, and the mount's own short uses
};

class NodeTable {
public:
    NodeTable();

    // The node with `number`, or null.
    std::shared_ptr<Node> Find(NodeNumber number) const;

    // The node that `name` in the folder `parent` has, or null.
    std::shared_ptr<Node> FindChild(NodeNumber parent, std::u16string_view name) const;

    // The same, made when there is none yet (the file exists on the card).
    std::shared_ptr<Node> Child(NodeNumber parent, std::u16string_view name);

    // Counts one more kernel reference, as a lookup reply gives it.
    void Remember(Node& node);
    // Drops `count` kernel references; a removed node that nothing uses is
    // forgotten.
    void Forget(NodeNumber number, std::uint64_t count);

    // Counts a use of the node's file: an open through the mount, or the
    // mount's own short use (a truncation, a change of times). Returns the
    // number of uses after the change.
    std::uint32_t Pin(Node& node);
    std::uint32_t Unpin(Node& node);
    std::uint32_t Uses(const Node& node) const;

    // The node's path within the card, "\dir\name"; the root's is "".
    std::u16string VolumePath(const Node& node) const;
    bool IsUnlinked(const Node& node) const;
    // Removed and not kept under a hidden name: its file is gone, and its
    // old name may by now be another file's, which it must never reach.
    bool IsGone(const Node& node) const;
    // Unlinked while open, its file kept under the hidden name.
    bool IsHidden(const Node& node) const;
    // The hidden file has been deleted: the node is gone.
    void MarkGone(Node& node);
    // The folder the node is in (the root's own number for the root).
    NodeNumber ParentOf(const Node& node) const;
    // Whether `number` is `folder` itself or lies below it.
    bool Contains(const Node& folder, NodeNumber number) const;

    // A rename: the node is now `name` in `parent`.
    void Move(Node& node, NodeNumber parent, std::u16string_view name);
    // An open file that was unlinked and moved to the card root as `hidden_name`.
    void Detach(Node& node, std::u16string_view hidden_name);
    // A file or folder that is gone from the card.
    void Remove(Node& node);
    // Forgets a removed node that nothing uses any more.
    void ReleaseIfUnused(const Node& node);

    // Nodes with uses whose path lies below the folder `folder`.
    std::vector<std::shared_ptr<Node>> UsedBelow(const Node& folder) const;
    // Every node with uses.
    std::vector<std::shared_ptr<Node>> Used() const;

private:
    using ChildKey = std::pair<NodeNumber, std::u16string>;

    void Unindex(Node& node);        // under mutex_
    void EraseIfUnused(Node& node);  // under mutex_
    bool IsBelow(const Node& node, NodeNumber folder) const;  // under mutex_

    mutable std::mutex mutex_;
    NodeNumber next_number_ = kRootNode + 1;
    std::unordered_map<NodeNumber, std::shared_ptr<Node>> nodes_;
    std::map<ChildKey, NodeNumber> children_;
};

}  // namespace quillane::mount
