// One server per card: the lock that every program serving a card holds for
// as long as it serves it (the mount, the CLI's convert and recover, the
// settings program), so that a second one refuses instead of replacing files
// the first has open. Share modes hold only within one process; this is what
// keeps two processes apart.
//
// The lock is an flock(2) on the card folder itself, so it holds across
// users and for every path to the same folder, and it goes with the process
// (a killed server leaves no stale lock). Beside it the holder leaves a note
// under the user's runtime folder ($XDG_RUNTIME_DIR, else the temporary
// folder), named by the folder's device and inode, with its command line, so
// that a refusal can say who holds the card.
#pragma once

#include <memory>
#include <string>

namespace platform {

class CardLock {
public:
    // Takes the lock of the card folder `host_dir` for this process. On
    // refusal returns null with `message`: "HOST_DIR is already served by
    // `COMMAND LINE`; ...", or the host's error opening the folder. The
    // command line, not a process number: a server that detaches into the
    // background goes on in another process.
    // A host that cannot lock (no flock support) serves unlocked.
    static std::unique_ptr<CardLock> Take(const std::string& host_dir, std::string* message);

    // Releases the lock and removes the note.
    ~CardLock();
    CardLock(const CardLock&) = delete;
    CardLock& operator=(const CardLock&) = delete;

private:
    CardLock(int fd, std::string note_path) : fd_(fd), note_path_(std::move(note_path)) {}
    int fd_;
    std::string note_path_;
};

}  // namespace platform
