// Share modes of the process's open files (see share_table.h).
#include "platform/fat/share_table.h"

#include <utility>

namespace platform::fat {
namespace {

constexpr DWORD kAccessMask = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kAccessShares = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Whether an opening with `access` is refused by another's `share_mode`; an
// opening without read or write access is never refused.
bool Refuses(DWORD share_mode, DWORD access) {
    if ((access & GENERIC_READ) != 0 && (share_mode & FILE_SHARE_READ) == 0) return true;
    if ((access & GENERIC_WRITE) != 0 && (share_mode & FILE_SHARE_WRITE) == 0) return true;
    return false;
}

}  // namespace

ShareTable::Ticket::~Ticket() { Leave(); }

ShareTable::Ticket::Ticket(Ticket&& other) noexcept
    : table_(std::exchange(other.table_, nullptr)), position_(other.position_) {}

ShareTable::Ticket& ShareTable::Ticket::operator=(Ticket&& other) noexcept {
    if (this != &other) {
        Leave();
        table_ = std::exchange(other.table_, nullptr);
        position_ = other.position_;
    }
    return *this;
}

void ShareTable::Ticket::Leave() {
    if (table_ == nullptr) return;
    std::lock_guard lock(table_->mutex_);
    table_->openings_.erase(position_);
    table_ = nullptr;
}

ShareTable& ShareTable::Instance() {
    // Deliberately immortal: file handles may be closed by other static
    // objects' destructors at exit, after a function-local static table
    // would already be gone.
    static ShareTable& table = *new ShareTable();
    return table;
}

DWORD ShareTable::Enter(FileIdentity id, DWORD checked_access, DWORD access, DWORD share_mode, Ticket& ticket) {
    checked_access &= kAccessMask;
    access &= kAccessMask;
    // An open that neither reads nor writes (size, times, attributes only)
    // refuses nobody, whatever share mode it names.
    const DWORD checked_share = checked_access == 0 ? kAccessShares : share_mode;
    const DWORD held_share = access == 0 ? kAccessShares : share_mode;
    Openings::iterator position;
    {
        std::lock_guard lock(mutex_);
        const auto [first, last] = openings_.equal_range(id);
        for (auto it = first; it != last; ++it) {
            if (Refuses(it->second.share_mode, checked_access) || Refuses(checked_share, it->second.access)) {
                return ERROR_SHARING_VIOLATION;
            }
        }
        position = openings_.emplace(id, Opening{access, held_share});
    }
    // Outside the lock: whatever `ticket` held before leaves the table here.
    Ticket entered;
    entered.table_ = this;
    entered.position_ = position;
    ticket = std::move(entered);
    return ERROR_SUCCESS;
}

DWORD ShareTable::WhileClosed(std::initializer_list<FileIdentity> ids, const std::function<DWORD()>& change) {
    std::lock_guard lock(mutex_);
    for (const FileIdentity& id : ids) {
        if (openings_.contains(id)) return ERROR_SHARING_VIOLATION;
    }
    return change();
}

}  // namespace platform::fat
