// The share modes of the open files of this process: which handles are open
// on which host file, with what access and what share mode. CreateFileW asks
// it before an open may proceed; DeleteFileW, MoveFileW and
// DeleteAndRenameFileW ask it before they change a name. Files are known by
// their host identity (device, inode), so case variants of a name and
// several volumes over one folder meet in one entry. It is the only state
// that the FAT layer's handles share, and it holds within one process only:
// another process that opens the card's files is not seen.
#pragma once

#include <sys/types.h>

#include <compare>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>

#include "platform/core/types.h"

namespace platform::fat {

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    auto operator<=>(const FileIdentity&) const = default;
};

class ShareTable {
    struct Opening {
        DWORD access;
        DWORD share_mode;
    };
    using Openings = std::multimap<FileIdentity, Opening>;

public:
    // One registered open; leaving it (destruction) unregisters it.
    class Ticket {
    public:
        Ticket() = default;
        ~Ticket();
        Ticket(Ticket&& other) noexcept;
        Ticket& operator=(Ticket&& other) noexcept;
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

    private:
        friend class ShareTable;
        void Leave();
        ShareTable* table_ = nullptr;
        Openings::iterator position_{};
    };

    // The process's table; it is never destroyed, so handles closed while
    // the process exits still find it.
    static ShareTable& Instance();

    // Registers an open of `id` with `access` (GENERIC_READ, GENERIC_WRITE)
    // and `share_mode` (FILE_SHARE_READ, FILE_SHARE_WRITE) unless it
    // conflicts with an open already registered: one side wants an access
    // that the other's share mode does not grant. `checked_access` is the
    // access tested against the others (an open that empties the file writes
    // even without GENERIC_WRITE); `access` is what the ticket holds. An open
    // with neither access refuses nobody and is refused by nobody, but still
    // counts as open for WhileClosed. Returns
    // ERROR_SUCCESS and fills `ticket`, or ERROR_SHARING_VIOLATION.
    DWORD Enter(FileIdentity id, DWORD checked_access, DWORD access, DWORD share_mode, Ticket& ticket);

    // Runs `change` while no open can be registered, provided none of `ids`
    // is open now; otherwise returns ERROR_SHARING_VIOLATION without running
    // it. Returns what `change` returns.
    DWORD WhileClosed(std::initializer_list<FileIdentity> ids, const std::function<DWORD()>& change);

private:
    ShareTable() = default;
    std::mutex mutex_;
    Openings openings_;
};

}  // namespace platform::fat
