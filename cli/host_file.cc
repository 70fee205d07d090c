// Ordinary host files for the codec subcommands (see host_file.h).
#include "cli/host_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "cli/messages.h"

namespace quillane::cli {
namespace {

// The temporary file being written, so that an interrupt removes it too: a
// half file must not stay behind under any name. One output at a time.
char g_pending_temporary[4096];

void RemovePendingAndDie(int signal_number) {
    if (g_pending_temporary[0] != '\0') ::unlink(g_pending_temporary);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

void SetPending(const std::string& path) {
    if (path.size() >= sizeof g_pending_temporary) return;
    std::memcpy(g_pending_temporary, path.c_str(), path.size() + 1);
    static bool handlers_installed = false;
    if (!handlers_installed) {
        handlers_installed = true;
        for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action {};
            action.sa_handler = RemovePendingAndDie;
            sigemptyset(&action.sa_mask);
            ::sigaction(signal_number, &action, nullptr);
        }
    }
}

void ClearPending() { g_pending_temporary[0] = '\0'; }

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

mode_t NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

}  // namespace

bool WriteAll(int fd, std::span<const BYTE> data) {
    while (!data.empty()) {
        const ssize_t written = ::write(fd, data.data(), data.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data = data.subspan(static_cast<size_t>(written));
    }
    return true;
}

std::optional<InputFile> InputFile::Open(const std::string& path, std::string* error) {
    InputFile input;
    if (path == "-") {
        input.fd_ = STDIN_FILENO;
        input.name_ = "standard input";
    } else {
        input.owned_ = platform::fat::UniqueFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!input.owned_.Valid()) {
            *error = path + ": " + HostErrorText(errno);
            return std::nullopt;
        }
        input.fd_ = input.owned_.Get();
        input.name_ = path;
    }
    if (::fstat(input.fd_, &input.status_) != 0) {
        *error = input.name_ + ": " + HostErrorText(errno);
        return std::nullopt;
    }
    if (S_ISDIR(input.status_.st_mode)) {
        *error = input.name_ + ": is a folder, not a file";
        return std::nullopt;
    }
    return input;
}

std::optional<size_t> InputFile::Read(std::span<BYTE> buffer) {
    size_t total = 0;
    while (total < buffer.size()) {
        const ssize_t got = ::read(fd_, buffer.data() + total, buffer.size() - total);
        if (got < 0) {
            if (errno == EINTR) continue;
            if (read_error_ == 0) read_error_ = errno;
            return std::nullopt;
        }
        if (got == 0) break;
        total += static_cast<size_t>(got);
    }
    Consumed(total);
    return total;
}

BOOL InputFile::ReadEntry(void* context, void* buffer, DWORD count, DWORD* delivered) {
    auto* input = static_cast<InputFile*>(context);
    const std::optional<size_t> got = input->Read(std::span<BYTE>(static_cast<BYTE*>(buffer), count));
    if (!got) return FALSE;
    *delivered = static_cast<DWORD>(*got);
    return TRUE;
}

BOOL InputFile::SkipEntry(void* context, DWORD count, DWORD* skipped) {
    auto* input = static_cast<InputFile*>(context);
    const off_t here = ::lseek(input->fd_, 0, SEEK_CUR);
    struct stat now {};
    if (here < 0 || ::fstat(input->fd_, &now) != 0) {
        if (input->read_error_ == 0) input->read_error_ = errno;
        return FALSE;
    }
    const off_t left = now.st_size > here ? now.st_size - here : 0;
    const off_t step = left < static_cast<off_t>(count) ? left : static_cast<off_t>(count);
    if (::lseek(input->fd_, step, SEEK_CUR) < 0) {
        if (input->read_error_ == 0) input->read_error_ = errno;
        return FALSE;
    }
    *skipped = static_cast<DWORD>(step);
    input->Consumed(static_cast<size_t>(step));
    return TRUE;
}

CodecSource InputFile::Source() { return CodecSource{this, &InputFile::ReadEntry}; }

CodecScanSource InputFile::ScanSource() {
    return CodecScanSource{Source(), IsRegularFile() ? &InputFile::SkipEntry : nullptr};
}

std::optional<OutputFile> OutputFile::Create(const std::string& path, const InputFile& input, std::string* error) {
    OutputFile output;
    output.path_ = path;
    if (path == "-") {
        output.fd_ = STDOUT_FILENO;
        output.name_ = "standard output";
        return output;
    }
    output.name_ = path;
    // A symbolic link is written through: the file it names is the output,
    // and the link stays. One that names nothing is refused rather than
    // replaced by a file of its own.
    std::string target = path;
    struct stat link {};
    if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            *error = path + ": is a symbolic link to " +
                     (errno == ENOENT ? std::string("a file that does not exist") : HostErrorText(errno)) +
                     "; name the output file itself";
            return std::nullopt;
        }
        target = resolved;
        std::free(resolved);
    }
    struct stat existing {};
    if (::stat(target.c_str(), &existing) == 0) {
        if (S_ISDIR(existing.st_mode)) {
            *error = path + ": is a folder; name the output file";
            return std::nullopt;
        }
        if (existing.st_dev == input.Status().st_dev && existing.st_ino == input.Status().st_ino) {
            *error = path + ": is the input file itself; choose another output (the input is never overwritten)";
            return std::nullopt;
        }
        // A device or a fifo takes the data as it comes, as from a shell's
        // `>`: renaming a file over it would replace the node itself.
        if (S_ISCHR(existing.st_mode) || S_ISFIFO(existing.st_mode)) {
            const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
            if (fd < 0) {
                *error = "cannot write " + path + ": " + HostErrorText(errno);
                return std::nullopt;
            }
            output.owned_ = platform::fat::UniqueFd(fd);
            output.fd_ = fd;
            output.path_ = target;
            return output;
        }
        if (!S_ISREG(existing.st_mode)) {
            *error = path + ": is neither a regular file, a character device nor a fifo; it is never replaced";
            return std::nullopt;
        }
    }
    output.path_ = target;
    std::string pattern = FolderOf(target) + "/." + BaseOf(target) + ".quillane-XXXXXX";
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = "cannot create a file in " + FolderOf(path) + ": " + HostErrorText(errno);
        return std::nullopt;
    }
    output.owned_ = platform::fat::UniqueFd(fd);
    output.fd_ = fd;
    output.temporary_path_ = pattern;
    SetPending(pattern);
    if (::fchmod(fd, NewFileMode()) != 0) {
        *error = path + ": " + HostErrorText(errno);
        return std::nullopt;  // the destructor removes the temporary file
    }
    return output;
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : owned_(std::move(other.owned_)),
      fd_(std::exchange(other.fd_, -1)),
      name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      temporary_path_(std::exchange(other.temporary_path_, std::string())),
      write_error_(other.write_error_) {}

OutputFile::~OutputFile() {
    if (temporary_path_.empty()) return;
    owned_.Close();
    ::unlink(temporary_path_.c_str());
    ClearPending();
}

bool OutputFile::Write(std::span<const BYTE> data) {
    if (write_error_ != 0) return false;
    if (WriteAll(fd_, data)) return true;
    write_error_ = errno;
    return false;
}

BOOL OutputFile::WriteEntry(void* context, const void* buffer, DWORD count) {
    auto* output = static_cast<OutputFile*>(context);
    return output->Write(std::span<const BYTE>(static_cast<const BYTE*>(buffer), count)) ? TRUE : FALSE;
}

CodecSink OutputFile::Sink() { return CodecSink{this, &OutputFile::WriteEntry}; }

bool OutputFile::Commit(std::string* error) {
    if (write_error_ != 0) {
        *error = "cannot write " + name_ + ": " + HostErrorText(write_error_);
        return false;
    }
    if (temporary_path_.empty()) {
        // Standard output, a device or a fifo: written as it went; only the
        // close of a device or fifo of our own may still report an error.
        if (const int close_error = owned_.Close(); close_error != 0) {
            *error = "cannot write " + name_ + ": " + HostErrorText(close_error);
            return false;
        }
        return true;
    }
    if (::fsync(fd_) != 0) {
        *error = "cannot write " + name_ + ": " + HostErrorText(errno);
        return false;
    }
    if (const int close_error = owned_.Close(); close_error != 0) {
        *error = "cannot write " + name_ + ": " + HostErrorText(close_error);
        return false;
    }
    if (::rename(temporary_path_.c_str(), path_.c_str()) != 0) {
        *error = "cannot put " + name_ + " in place: " + HostErrorText(errno);
        return false;
    }
    temporary_path_.clear();
    ClearPending();
    return true;
}

}  // namespace quillane::cli
