// Running other programs from the demo (see child_process.h).
#include "cli/child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace quillane::cli {
namespace {

int StatusOf(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return -1;
}

}  // namespace

std::optional<pid_t> StartChild(const std::vector<std::string>& arguments, const ChildOptions& options,
                                std::string* error) {
    std::vector<std::string> texts = arguments;
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!options.directory.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.directory.c_str());
    if (!options.output_path.empty()) {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.output_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    }
    // What this process printed must come before what the child prints.
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t child = -1;
    const int failure = ::posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) {
        *error = "cannot run " + arguments[0] + ": " + std::strerror(failure);
        return std::nullopt;
    }
    return child;
}

int WaitForChild(pid_t child) {
    int wait_status = 0;
    while (::waitpid(child, &wait_status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return StatusOf(wait_status);
}

bool ChildEnded(pid_t child, int* status) {
    int wait_status = 0;
    const pid_t result = ::waitpid(child, &wait_status, WNOHANG);
    if (result == 0) return false;
    *status = result == child ? StatusOf(wait_status) : -1;
    return true;
}

int RunChild(const std::vector<std::string>& arguments, const ChildOptions& options, std::string* error) {
    const std::optional<pid_t> child = StartChild(arguments, options, error);
    return child ? WaitForChild(*child) : -1;
}

std::string OwnProgramPath() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "quillane";
    return std::string(path, static_cast<size_t>(length));
}

bool ProgramInPath(const std::string& name) {
    const char* search = std::getenv("PATH");
    std::string rest = search != nullptr ? search : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= rest.size()) {
        const size_t colon = rest.find(':', start);
        const std::string folder = rest.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        if (!folder.empty() && ::access((folder + "/" + name).c_str(), X_OK) == 0) return true;
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return false;
}

}  // namespace quillane::cli
