// Starting and ending failing-close-host for a test (see failing_host.h).
#include "tests/hosts/failing_host.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "mount/mount_points.h"

extern char** environ;

namespace quillane::test_hosts {
namespace {

// Bounds on waiting for the host to mount and to end; generous, as a loaded
// machine may be slow, and never unbounded.
constexpr auto kPatience = std::chrono::seconds(60);
constexpr auto kStep = std::chrono::milliseconds(20);

bool ChildEnded(pid_t child) {
    int status = 0;
    return waitpid(child, &status, WNOHANG) == child;
}

}  // namespace

FailingCloseHost::~FailingCloseHost() { Stop(); }

bool FailingCloseHost::Start(const std::string& backing, const std::string& mount_point, std::string* why,
                             const std::string& fail_glob) {
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
        *why = "no usable /dev/fuse";
        return false;
    }
    std::error_code ignored;
    std::filesystem::create_directories(mount_point, ignored);
    mount_point_ = std::filesystem::absolute(mount_point).lexically_normal().string();
    std::vector<std::string> arguments = {QUILLANE_FAILING_CLOSE_HOST, "--fail", fail_glob, backing, mount_point_};
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&child_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        child_ = -1;
        *why = "cannot start failing-close-host";
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!mount::IsMountPoint(mount_point_)) {
        if (ChildEnded(child_)) {
            child_ = -1;
            *why = "failing-close-host could not mount (FUSE mounts not permitted here?)";
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            Stop();
            *why = "failing-close-host did not mount in time";
            return false;
        }
        std::this_thread::sleep_for(kStep);
    }
    return true;
}

bool FailingCloseHost::Stop() {
    if (child_ < 0) return true;
    bool clean = std::system(("fusermount3 -u '" + mount_point_ + "' 2>/dev/null").c_str()) == 0;
    if (!clean) std::system(("fusermount3 -uz '" + mount_point_ + "' 2>/dev/null").c_str());
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!ChildEnded(child_)) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
            clean = false;
            break;
        }
        std::this_thread::sleep_for(kStep);
    }
    child_ = -1;
    return clean;
}

}  // namespace quillane::test_hosts
