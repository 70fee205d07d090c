// The mount's inode numbers and names (see node_table.h).
#include "mount/node_table.h"

#include "mount/card_names.h"

namespace quillane::mount {

NodeTable::NodeTable() { nodes_.emplace(kRootNode, std::make_shared<Node>(kRootNode)); }

std::shared_ptr<Node> NodeTable::Find(NodeNumber number) const {
    std::lock_guard lock(mutex_);
    const auto found = nodes_.find(number);
    return found != nodes_.end() ? found->second : nullptr;
}

std::shared_ptr<Node> NodeTable::FindChild(NodeNumber parent, std::u16string_view name) const {
    std::lock_guard lock(mutex_);
    const auto found = children_.find(ChildKey(parent, NameKey(name)));
    return found != children_.end() ? nodes_.at(found->second) : nullptr;
}

std::shared_ptr<Node> NodeTable::Child(NodeNumber parent, std::u16string_view name) {
    std::lock_guard lock(mutex_);
    ChildKey key(parent, NameKey(name));
    if (const auto found = children_.find(key); found != children_.end()) return nodes_.at(found->second);
    auto node = std::make_shared<Node>(next_number_++);
    node->parent = parent;
    node->name = name;
    node->key = key.second;
    nodes_.emplace(node->number, node);
    children_.emplace(std::move(key), node->number);
    return node;
}

void NodeTable::Remember(Node& node) {
    std::lock_guard lock(mutex_);
    ++node.lookups;
}

void NodeTable::Forget(NodeNumber number, std::uint64_t count) {
    std::lock_guard lock(mutex_);
    const auto found = nodes_.find(number);
    if (found == nodes_.end()) return;
    Node& node = *found->second;
    node.lookups = count < node.lookups ? node.lookups - count : 0;
    EraseIfUnused(node);
}

std::uint32_t NodeTable::Pin(Node& node) {
    std::lock_guard lock(mutex_);
    return ++node.opens;
}

std::uint32_t NodeTable::Unpin(Node& node) {
    std::lock_guard lock(mutex_);
    if (node.opens > 0) --node.opens;
    return node.opens;
}

std::uint32_t NodeTable::Uses(const Node& node) const {
    std::lock_guard lock(mutex_);
    return node.opens;
}

std::u16string NodeTable::VolumePath(const Node& node) const {
    std::lock_guard lock(mutex_);
    std::u16string path;
    for (const Node* at = &node; at->number != kRootNode;) {
        path.insert(0, at->name);
        path.insert(0, 1, u'\\');
        const auto parent = nodes_.find(at->parent);
        if (parent == nodes_.end()) break;  // cannot happen: parents outlive children's moves
        at = parent->second.get();
    }
    return path;
}

bool NodeTable::IsUnlinked(const Node& node) const {
    std::lock_guard lock(mutex_);
    return node.unlinked;
}

bool NodeTable::IsGone(const Node& node) const {
    std::lock_guard lock(mutex_);
    return node.unlinked && !node.hidden;
}

bool NodeTable::IsHidden(const Node& node) const {
    std::lock_guard lock(mutex_);
    return node.hidden;
}

void NodeTable::MarkGone(Node& node) {
    std::lock_guard lock(mutex_);
    node.hidden = false;
}

NodeNumber NodeTable::ParentOf(const Node& node) const {
    std::lock_guard lock(mutex_);
    return node.number == kRootNode ? kRootNode : node.parent;
}

bool NodeTable::Contains(const Node& folder, NodeNumber number) const {
    std::lock_guard lock(mutex_);
    if (number == folder.number) return true;
    const auto found = nodes_.find(number);
    return found != nodes_.end() && IsBelow(*found->second, folder.number);
}

void NodeTable::Move(Node& node, NodeNumber parent, std::u16string_view name) {
    std::lock_guard lock(mutex_);
    Unindex(node);
    ChildKey key(parent, NameKey(name));
    // A node the new name had is replaced by this one.
    if (const auto found = children_.find(key); found != children_.end()) {
        Node& replaced = *nodes_.at(found->second);
        Unindex(replaced);
        replaced.unlinked = true;
        EraseIfUnused(replaced);
    }
    node.parent = parent;
    node.name = name;
    node.key = key.second;
    node.unlinked = false;
    node.hidden = false;
    children_.emplace(std::move(key), node.number);
}

void NodeTable::Detach(Node& node, std::u16string_view hidden_name) {
    std::lock_guard lock(mutex_);
    Unindex(node);
    node.parent = kRootNode;
    node.name = hidden_name;
    node.key = NameKey(hidden_name);
    node.unlinked = true;
    node.hidden = true;
}

void NodeTable::Remove(Node& node) {
    std::lock_guard lock(mutex_);
    Unindex(node);
    node.unlinked = true;
    EraseIfUnused(node);
}

void NodeTable::ReleaseIfUnused(const Node& node) {
    std::lock_guard lock(mutex_);
    const auto found = nodes_.find(node.number);
    if (found != nodes_.end()) EraseIfUnused(*found->second);
}

std::vector<std::shared_ptr<Node>> NodeTable::UsedBelow(const Node& folder) const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Node>> used;
    for (const auto& [number, node] : nodes_) {
        if (node->opens > 0 && !node->unlinked && IsBelow(*node, folder.number)) used.push_back(node);
    }
    return used;
}

std::vector<std::shared_ptr<Node>> NodeTable::Used() const {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<Node>> used;
    for (const auto& [number, node] : nodes_) {
        if (node->opens > 0) used.push_back(node);
    }
    return used;
}

void NodeTable::Unindex(Node& node) {
    if (node.unlinked || node.number == kRootNode) return;
    const auto found = children_.find(ChildKey(node.parent, node.key));
    if (found != children_.end() && found->second == node.number) children_.erase(found);
}

void NodeTable::EraseIfUnused(Node& node) {
    // Numbers of names still on the card are kept for good; only a removed
    // node goes, once neither the kernel nor an open needs it.
    if (node.unlinked && node.lookups == 0 && node.opens == 0) nodes_.erase(node.number);
}

bool NodeTable::IsBelow(const Node& node, NodeNumber folder) const {
    for (NodeNumber at = node.parent; at != 0;) {
        if (at == folder) return true;
        const auto parent = nodes_.find(at);
        if (parent == nodes_.end()) return false;
        at = parent->second->parent;
    }
    return false;
}

}  // namespace quillane::mount
