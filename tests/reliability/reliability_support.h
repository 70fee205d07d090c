// Support for the reliability tests (crash_test.cc, stress_test.cc): a
// scratch folder on the real disk with a registry store of its own, file
// versions whose every page says which file and version it belongs to (so a
// mix of two versions is named, not just found unequal), the card's files
// read as the filter stores them, the built `quillane mount -f` run as a
// child process that a test can SIGKILL, and the built `quillane` run for
// one subcommand. Not for use outside tests/reliability.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillane::reliability {

using Bytes = std::string;

// A fresh folder under the build tree (QUILLANE_TEST_BINARY_DIR), removed
// with the object unless a test left a mount in it. QUILLANE_REGISTRY points
// at a store inside it while it lives.
class Scratch {
public:
    explicit Scratch(const std::string& purpose);
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& Path() const { return path_; }
    std::string Path(const std::string& relative) const { return path_ + "/" + relative; }
    void KeepOnDisk() { keep_ = true; }

private:
    std::string path_;
    std::string saved_registry_;
    bool had_registry_ = false;
    bool keep_ = false;
};

// Version `version` of file `file`, `length` bytes: 4096-byte pages, each
// beginning with a line naming file, version and page, then words drawn by a
// generator seeded from the three (text that zlib compresses, not
// trivially).
Bytes VersionBytes(unsigned file, unsigned version, size_t length);

// What `bytes` is: "file 2 version 7, whole (3145728 bytes)", or for a mix
// the versions its pages come from and where each run starts.
std::string DescribeVersions(const Bytes& bytes);

// A host file's bytes; nullopt when it cannot be read.
std::optional<Bytes> ReadHostFile(const std::string& path);
// What the filter makes of a card file's bytes: the data of a compressed
// file, the bytes of a plain one. `damaged` tells a compressed file that
// does not decode whole.
Bytes PlainOf(const Bytes& stored, bool* damaged, bool* compressed);

// Names in a host folder, sorted.
std::vector<std::string> ListFolder(const std::string& path);

bool IsMountedAt(const std::string& mount_point);

// Unmounts `mount_point` with fusermount3 -u, then -u -z if that fails,
// bounded; true once it is no longer mounted.
bool UnmountFolder(const std::string& mount_point);

// The built quillane program.
std::string QuillaneProgram();

struct RunResult {
    int status = -1;  // exit status, or 128 + signal, -1 when it could not run
    std::string out;
    std::string err;
};
// Runs the quillane program with `arguments`, killed after `timeout`.
RunResult RunQuillane(const std::vector<std::string>& arguments,
                      std::chrono::seconds timeout = std::chrono::seconds(120));

// `quillane mount -f CARD MOUNTPOINT` as a child process.
class MountDaemon {
public:
    MountDaemon(std::string card, std::string mount_point, std::string log_path);
    // Unmounts and reaps the daemon, killing it if it will not end.
    ~MountDaemon();
    MountDaemon(const MountDaemon&) = delete;
    MountDaemon& operator=(const MountDaemon&) = delete;

    // Starts the daemon and waits, bounded, until the mount is there. False
    // with the reason in `why`; `not_permitted` tells a machine that does
    // not allow FUSE mounts (the test then skips).
    bool Start(std::string* why, bool* not_permitted);
    // SIGKILL, reaped; then the dead mount unmounted. True when it is gone.
    bool Kill();
    // fusermount3 -u as a user would; waits for the daemon to end. Its exit
    // status, or -1 when it had to be killed.
    int Stop();
    // SIGKILL from any thread, without reaping: every call waiting on the
    // mount then fails at once. For a watchdog.
    void Abort();
    // The daemon's standard output and error so far.
    std::string Log() const;

private:
    int Reap(std::chrono::seconds timeout);

    std::string card_;
    std::string mount_point_;
    std::string log_path_;
    // Reaped only under the lock, so that Abort never signals a process
    // that has taken over a reaped daemon's id.
    std::mutex pid_lock_;
    pid_t pid_ = -1;
};

// Calls `on_expiry` on a thread of its own if it is not destroyed within
// `limit`: what turns a hung mount into a failure rather than a hung test.
class Watchdog {
public:
    Watchdog(std::chrono::seconds limit, std::function<void()> on_expiry);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;
    bool Expired() const { return expired_; }

private:
    std::mutex lock_;
    std::condition_variable done_;
    bool finished_ = false;
    std::atomic<bool> expired_{false};
    std::thread thread_;
};

// Whole-content helpers through POSIX on any path (the mount's or not).
// Return 0 or the errno of the first failed call.
int WriteWholeFile(const std::string& path, const Bytes& bytes);

// A 64-bit seed from the environment variable `name`, else `fallback`.
std::uint64_t SeedFromEnvironment(const char* name, std::uint64_t fallback);
unsigned long CountFromEnvironment(const char* name, unsigned long fallback);

}  // namespace quillane::reliability
