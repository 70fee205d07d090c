// A real FAT file system under a test's card folder (see fat_host.h).
#include "tests/fat_host/fat_host.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace quillane::test {
namespace {

constexpr auto kDriverWait = std::chrono::seconds(60);
constexpr auto kPollStep = std::chrono::milliseconds(20);

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// Runs `command` with sh, bounded, with its standard output and error in
// `output`; returns its exit status (-1 when it did not exit).
int Run(const std::string& command, std::string* output) {
    const std::string bounded = "timeout -k 5 120 sh -c " + Quote(command) + " 2>&1";
    std::FILE* pipe = ::popen(bounded.c_str(), "r");
    if (pipe == nullptr) return -1;
    std::string collected;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) collected.append(buffer, n);
    const int status = ::pclose(pipe);
    if (output != nullptr) *output = collected;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HasTool(const std::string& tool) { return Run("command -v " + tool, nullptr) == 0; }

// A folder is a mount point when it is on another device than its parent.
bool IsMountPoint(const std::string& folder) {
    struct stat self {}, parent {};
    if (::stat(folder.c_str(), &self) != 0) return false;
    if (::stat((folder + "/..").c_str(), &parent) != 0) return false;
    return self.st_dev != parent.st_dev;
}

// The process serving `folder`: the one whose last argument names it. The
// drivers detach, so this is how the host finds out when one has ended.
pid_t DriverServing(const std::string& folder) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(entry.path() / "cmdline", std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), {});
        while (!text.empty() && text.back() == '\0') text.pop_back();
        const size_t last = text.rfind('\0');
        const std::string last_argument = last == std::string::npos ? text : text.substr(last + 1);
        if (last_argument == folder) return static_cast<pid_t>(std::stol(name));
    }
    return -1;
}

// Whether a process has ended: gone, or a zombie no one has reaped yet.
bool HasEnded(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return true;
    const size_t close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() || line[close + 2] == 'Z';
}

}  // namespace

std::optional<FatKind> CardHostFromEnvironment(std::string* error) {
    const char* name = std::getenv("QUILLANE_TEST_CARD_HOST");
    if (name == nullptr || *name == '\0') return std::nullopt;
    if (std::strcmp(name, "fat32") == 0) return FatKind::kFat32;
    if (std::strcmp(name, "exfat") == 0) return FatKind::kExfat;
    *error = std::string("QUILLANE_TEST_CARD_HOST is \"") + name + "\": fat32, exfat or empty";
    return std::nullopt;
}

std::unique_ptr<FatHost> FatHost::Serve(FatKind kind, const std::string& image, const std::string& folder,
                                        std::string* why, bool* unavailable) {
    *unavailable = true;
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        *why = "/dev/fuse is missing or not usable here: no FUSE-served FAT host";
        return nullptr;
    }
    const std::vector<std::string> tools = kind == FatKind::kFat32
                                               ? std::vector<std::string>{"mkfs.vfat", "fsck.vfat", "fusefat"}
                                               : std::vector<std::string>{"mkfs.exfat", "fsck.exfat", "losetup",
                                                                          "mount.exfat-fuse"};
    for (const std::string& tool : tools) {
        if (!HasTool(tool)) {
            *why = tool + " is not installed (scripts/setup installs it): no FAT host";
            return nullptr;
        }
    }
    std::unique_ptr<FatHost> host(new FatHost(kind, image, std::filesystem::absolute(folder).lexically_normal()));
    std::string output;
    const std::string size = kind == FatKind::kFat32 ? "96M" : "64M";
    const std::string format = kind == FatKind::kFat32 ? "mkfs.vfat -F 32 " : "mkfs.exfat ";
    if (Run("truncate -s " + size + " " + Quote(image) + " && " + format + Quote(image), &output) != 0) {
        *unavailable = false;
        *why = "cannot make the image " + image + ": " + output;
        return nullptr;
    }
    std::string device = image;
    if (kind == FatKind::kExfat) {
        // The driver serves block devices only.
        if (Run("losetup -f --show " + Quote(image), &output) != 0) {
            *why = "no loop device for the exFAT image (" + output + "): no exFAT host here";
            return nullptr;
        }
        while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
        host->loop_device_ = output;
        device = output;
    }
    const std::string serve = kind == FatKind::kFat32 ? "fusefat -o rw+ " + Quote(device) + " " + Quote(host->folder_)
                                                      : "mount.exfat-fuse " + Quote(device) + " " + Quote(host->folder_);
    // The driver detaches; its output goes to a file, never to a pipe that
    // would stay open for as long as it runs.
    const std::string log = image + ".log";
    const int served = Run(serve + " >" + Quote(log) + " 2>&1", nullptr);
    std::ifstream log_in(log);
    output.assign(std::istreambuf_iterator<char>(log_in), {});
    std::error_code ignored;
    std::filesystem::remove(log, ignored);
    if (served != 0 || !IsMountPoint(host->folder_)) {
        const bool refused = output.find("ermission denied") != std::string::npos ||
                             output.find("not permitted") != std::string::npos;
        *unavailable = refused;
        *why = "cannot serve " + image + " at " + folder + ": " + output;
        return nullptr;  // the destructor lets the loop device go
    }
    host->served_ = true;
    host->driver_ = DriverServing(host->folder_);
    *unavailable = false;
    return host;
}

FatHost::~FatHost() {
    if (served_) {
        Unmount();
    }
    if (!loop_device_.empty()) Run("losetup -d " + Quote(loop_device_), nullptr);
}

std::string FatHost::Unmount() {
    served_ = false;
    std::string output;
    // A program that has just closed its last file may still hold the
    // folder for a moment.
    bool unmounted = false;
    for (int attempt = 0; attempt < 50 && !unmounted; ++attempt) {
        unmounted = Run("fusermount3 -u " + Quote(folder_), &output) == 0 || !IsMountPoint(folder_);
        if (!unmounted) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!unmounted) {
        Run("fusermount3 -u -z " + Quote(folder_), nullptr);
        return "the FAT host at " + folder_ + " would not unmount: " + output;
    }
    if (driver_ > 0) {
        const auto deadline = std::chrono::steady_clock::now() + kDriverWait;
        while (!HasEnded(driver_)) {
            if (std::chrono::steady_clock::now() > deadline) return "the FAT host's driver did not end";
            std::this_thread::sleep_for(kPollStep);
        }
    }
    return {};
}

std::string FatHost::TakeDownAndCheck() {
    if (!served_) return "the FAT host was already taken down";
    if (std::string problem = Unmount(); !problem.empty()) return problem;
    std::string output;
    const std::string check = kind_ == FatKind::kFat32 ? "fsck.vfat -n " + Quote(image_)
                                                       : "fsck.exfat -n " + Quote(loop_device_);
    if (Run(check, &output) != 0) return "fsck -n finds the card's file system damaged:\n" + output;
    return {};
}

}  // namespace quillane::test
