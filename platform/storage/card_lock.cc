// One server per card (see card_lock.h).
#include "platform/storage/card_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

namespace platform {
namespace {

std::string NotePath(const struct stat& status) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const char* temporary = std::getenv("TMPDIR");
    const std::string folder = runtime != nullptr && *runtime != 0      ? runtime
                               : temporary != nullptr && *temporary != 0 ? temporary
                                                                         : "/tmp";
    return folder + "/quillane-card-" + std::to_string(status.st_dev) + "-" + std::to_string(status.st_ino) +
           ".holder";
}

// This process's command line, its words joined by spaces.
std::string OwnCommandLine() {
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    while (!text.empty() && text.back() == '\0') text.pop_back();
    for (char& c : text) {
        if (c == '\0') c = ' ';
    }
    // The program by its name, not the folder it was started from.
    const size_t space = text.find(' ');
    const size_t slash = text.rfind('/', space);
    if (slash != std::string::npos) text.erase(0, slash + 1);
    return text.empty() ? "a program" : text;
}

void WriteNote(const std::string& path) {
    const std::string temporary = path + "." + std::to_string(::getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "`" << OwnCommandLine() << "`";
        if (!out) return;  // no note: a refusal then names no holder
    }
    std::rename(temporary.c_str(), path.c_str());
}

}  // namespace

std::unique_ptr<CardLock> CardLock::Take(const std::string& host_dir, std::string* message) {
    const int fd = ::open(host_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        *message = host_dir + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    const std::string note = NotePath(status);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        ::close(fd);
        std::ifstream in(note);
        std::string holder((std::istreambuf_iterator<char>(in)), {});
        if (holder.empty()) holder = "another program";
        *message = host_dir + " is already served by " + holder + "; only one program may serve a card at a time";
        return nullptr;
    }
    std::unique_ptr<CardLock> lock(new CardLock(fd, note));
    WriteNote(note);
    return lock;
}

CardLock::~CardLock() {
    ::unlink(note_path_.c_str());
    ::close(fd_);
}

}  // namespace platform
