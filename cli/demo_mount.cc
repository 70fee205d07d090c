// The demo's mount (see demo_mount.h).
#include "cli/demo_mount.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "cli/child_process.h"
#include "cli/messages.h"

namespace quillane::cli {
namespace {

// How long a mount may take to come up or go down before the demo gives up
// on it: generous, since a loaded machine is slow, and only the demo waits.
constexpr int kWaitSteps = 400;
constexpr std::chrono::milliseconds kWaitStep(50);

bool IsMountPoint(const std::string& path) {
    struct stat own {};
    struct stat parent {};
    if (::stat(path.c_str(), &own) != 0 || ::stat((path + "/..").c_str(), &parent) != 0) return false;
    return own.st_dev != parent.st_dev;
}

std::string LastLines(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text.empty() ? "no message" : text;
}

// Waits for the child to end; false when it did not within the wait.
bool AwaitEnd(pid_t child, int* status) {
    for (int step = 0; step < kWaitSteps; ++step) {
        if (ChildEnded(child, status)) return true;
        std::this_thread::sleep_for(kWaitStep);
    }
    return false;
}

}  // namespace

std::string DemoMount::UnavailableReason() {
#ifndef QUILLANE_HAVE_MOUNT
    return "this quillane was built without the FUSE front end (QUILLANE_BUILD_MOUNT is off)";
#else
    if (const char* wanted = std::getenv("QUILLANE_DEMO_MOUNT"); wanted != nullptr && std::string(wanted) == "0") {
        return "QUILLANE_DEMO_MOUNT=0 asks for no mount";
    }
    const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
    if (fuse < 0) return "/dev/fuse cannot be opened (" + HostErrorText(errno) + "): FUSE is not available here";
    ::close(fuse);
    if (::geteuid() != 0 && !ProgramInPath("fusermount3")) return "fusermount3 is not installed (Debian: fuse3)";
    return {};
#endif
}

std::unique_ptr<DemoMount> DemoMount::Start(const std::string& card_dir, const std::string& mount_point,
                                            const std::string& log_path, std::string* why) {
    std::string error;
    const std::optional<pid_t> child =
        StartChild({OwnProgramPath(), "mount", "-f", card_dir, mount_point}, ChildOptions{"", log_path}, &error);
    if (!child) {
        *why = error;
        return nullptr;
    }
    std::unique_ptr<DemoMount> mount(new DemoMount(*child, mount_point, log_path));
    for (int step = 0; step < kWaitSteps; ++step) {
        int status = 0;
        if (ChildEnded(*child, &status)) {
            mount->stopped_ = true;
            *why = "the mount ended at once (exit status " + std::to_string(status) + "): " + LastLines(log_path);
            return nullptr;
        }
        if (IsMountPoint(mount_point)) return mount;
        std::this_thread::sleep_for(kWaitStep);
    }
    *why = "the mount did not come up: " + LastLines(log_path);
    return nullptr;  // the destructor takes the child down
}

bool DemoMount::Stop(std::string* why) {
    if (stopped_) return true;
    stopped_ = true;
    std::string error;
    const ChildOptions quiet{"", log_path_ + ".unmount"};
    if (IsMountPoint(mount_point_)) {
        if (RunChild({"fusermount3", "-u", mount_point_}, quiet, &error) != 0 && ::geteuid() == 0) {
            RunChild({"umount", mount_point_}, quiet, &error);
        }
    } else {
        ::kill(child_, SIGTERM);
    }
    int status = 0;
    if (AwaitEnd(child_, &status)) return true;
    // The mount would not go: end it and detach what is left.
    ::kill(child_, SIGTERM);
    if (!AwaitEnd(child_, &status)) {
        ::kill(child_, SIGKILL);
        WaitForChild(child_);
    }
    RunChild({"fusermount3", "-uz", mount_point_}, quiet, &error);
    *why = "the mount had to be ended by force: " + LastLines(log_path_);
    return false;
}

DemoMount::~DemoMount() {
    std::string ignored;
    Stop(&ignored);
}

}  // namespace quillane::cli
