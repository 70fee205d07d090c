// Support for the reliability tests (see reliability_support.h).
#include "tests/reliability/reliability_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "filter/codec/codec.h"
#include "mount/mount_points.h"

extern char** environ;

namespace quillane::reliability {
namespace {

constexpr size_t kPage = 4096;
constexpr auto kPollStep = std::chrono::milliseconds(5);
constexpr auto kMountWait = std::chrono::seconds(20);
constexpr auto kExitWait = std::chrono::seconds(30);

std::uint64_t SplitMix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

struct PageTag {
    unsigned file = 0;
    unsigned version = 0;
    size_t page = 0;
};

std::string TagText(unsigned file, unsigned version, size_t page) {
    return "F" + std::to_string(file) + " V" + std::to_string(version) + " P" + std::to_string(page) + "|";
}

std::optional<PageTag> ReadTag(const Bytes& bytes, size_t offset) {
    PageTag tag;
    const std::string head = bytes.substr(offset, 40);
    unsigned long long page = 0;
    if (std::sscanf(head.c_str(), "F%u V%u P%llu|", &tag.file, &tag.version, &page) != 3) return std::nullopt;
    tag.page = static_cast<size_t>(page);
    return tag;
}

BOOL ReadMemory(void* context, void* buffer, DWORD count, DWORD* delivered) {
    auto* source = static_cast<std::pair<const Bytes*, size_t>*>(context);
    const size_t n = std::min<size_t>(count, source->first->size() - source->second);
    std::memcpy(buffer, source->first->data() + source->second, n);
    source->second += n;
    *delivered = static_cast<DWORD>(n);
    return TRUE;
}

BOOL AppendMemory(void* context, const void* buffer, DWORD count) {
    static_cast<Bytes*>(context)->append(static_cast<const char*>(buffer), count);
    return TRUE;
}

std::string ShellQuote(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs a shell command bounded by `timeout`; its exit status.
int BoundedShell(const std::string& command, int timeout_seconds) {
    const std::string bounded = "timeout -k 5 " + std::to_string(timeout_seconds) + " sh -c " + ShellQuote(command);
    return std::system(bounded.c_str());
}

bool MountingNotPermitted(const std::string& log) {
    for (const char* sign : {"Operation not permitted", "Permission denied", "fuse: device not found",
                             "No such device", "fusermount3: mount failed"}) {
        if (log.find(sign) != std::string::npos) return true;
    }
    return false;
}

}  // namespace

Scratch::Scratch(const std::string& purpose) {
    const char* binary_dir = std::getenv("QUILLANE_TEST_BINARY_DIR");
    const std::filesystem::path base = binary_dir != nullptr && *binary_dir != 0
                                           ? std::filesystem::path(binary_dir) / "test-reliability"
                                           : std::filesystem::temp_directory_path() / "quillane-reliability";
    std::filesystem::create_directories(base);
    std::string pattern = (base / (purpose + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = pattern;
    if (const char* old = std::getenv("QUILLANE_REGISTRY")) {
        saved_registry_ = old;
        had_registry_ = true;
    }
    ::setenv("QUILLANE_REGISTRY", Path("registry").c_str(), 1);
}

Scratch::~Scratch() {
    if (had_registry_) {
        ::setenv("QUILLANE_REGISTRY", saved_registry_.c_str(), 1);
    } else {
        ::unsetenv("QUILLANE_REGISTRY");
    }
    if (keep_) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

Bytes VersionBytes(unsigned file, unsigned version, size_t length) {
    static const char* const kWords[] = {"card ",  "block ", "filter ",   "the ",    "plain ",  "data ",
                                         "of ",    "a ",     "volume ",   "name ",   "close ",  "open ",
                                         "file\n", "root ",  "expansion ", "staging ", "version ", "page "};
    Bytes bytes;
    bytes.reserve(length + kPage);
    for (size_t page = 0; bytes.size() < length; ++page) {
        const size_t end = std::min(length, (page + 1) * kPage);
        bytes += TagText(file, version, page);
        std::uint64_t state = (static_cast<std::uint64_t>(file) << 48) ^ (static_cast<std::uint64_t>(version) << 24) ^
                              page ^ 0x5EEDULL;
        while (bytes.size() < end) {
            const std::uint64_t draw = SplitMix(state);
            bytes += kWords[draw % std::size(kWords)];
            if ((draw >> 32) % 7 == 0) bytes += std::to_string((draw >> 40) % 1000) + " ";
        }
        bytes.resize(end);
    }
    return bytes;
}

std::string DescribeVersions(const Bytes& bytes) {
    if (bytes.empty()) return "empty";
    const std::optional<PageTag> first = ReadTag(bytes, 0);
    if (first && first->page == 0 && bytes == VersionBytes(first->file, first->version, bytes.size())) {
        return "file " + std::to_string(first->file) + " version " + std::to_string(first->version) + ", whole (" +
               std::to_string(bytes.size()) + " bytes)";
    }
    std::ostringstream text;
    text << bytes.size() << " bytes, not one whole version: ";
    std::optional<PageTag> run;
    size_t shown = 0;
    for (size_t offset = 0; offset < bytes.size() && shown < 12; offset += kPage) {
        const std::optional<PageTag> tag = ReadTag(bytes, offset);
        const bool continues = run && tag && tag->file == run->file && tag->version == run->version;
        if (continues) continue;
        run = tag;
        ++shown;
        text << "[at " << offset << ": ";
        if (tag) {
            text << "file " << tag->file << " version " << tag->version << " page " << tag->page;
        } else {
            text << "no page tag";
        }
        text << "] ";
    }
    return text.str();
}

std::optional<Bytes> ReadHostFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.good()) return std::nullopt;
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

Bytes PlainOf(const Bytes& stored, bool* damaged, bool* compressed) {
    *damaged = false;
    *compressed = stored.size() >= kCodecSignatureSize &&
                  CodecIsSignature(reinterpret_cast<const BYTE*>(stored.data()), kCodecSignatureSize) != FALSE;
    if (!*compressed) return stored;
    std::pair<const Bytes*, size_t> from{&stored, kCodecSignatureSize};
    Bytes plain;
    const CodecSource source{&from, ReadMemory};
    const CodecSink sink{&plain, AppendMemory};
    *damaged = CodecDecode(&source, &sink) != kCodecCompleted;
    return plain;
}

std::vector<std::string> ListFolder(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool IsMountedAt(const std::string& mount_point) { return quillane::mount::IsMountPoint(mount_point); }

bool UnmountFolder(const std::string& mount_point) {
    if (!IsMountedAt(mount_point)) return true;
    if (BoundedShell("fusermount3 -u " + ShellQuote(mount_point) + " 2>/dev/null", 30) != 0 ||
        IsMountedAt(mount_point)) {
        BoundedShell("fusermount3 -u -z " + ShellQuote(mount_point) + " 2>/dev/null", 30);
    }
    return !IsMountedAt(mount_point);
}

std::string QuillaneProgram() { return QUILLANE_PROGRAM; }

RunResult RunQuillane(const std::vector<std::string>& arguments, std::chrono::seconds timeout) {
    RunResult result;
    char out_template[] = "/tmp/quillane-run-out-XXXXXX";
    char err_template[] = "/tmp/quillane-run-err-XXXXXX";
    const int out_fd = ::mkstemp(out_template);
    const int err_fd = ::mkstemp(err_template);
    if (out_fd < 0 || err_fd < 0) return result;
    std::vector<std::string> texts{QuillaneProgram()};
    texts.insert(texts.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err_fd, STDERR_FILENO);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == 0) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        for (;;) {
            const pid_t ended = ::waitpid(child, &status, WNOHANG);
            if (ended == child) break;
            if (ended < 0 && errno != EINTR) break;
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                break;
            }
            std::this_thread::sleep_for(kPollStep);
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    ::close(out_fd);
    ::close(err_fd);
    result.out = ReadHostFile(out_template).value_or("");
    result.err = ReadHostFile(err_template).value_or("");
    ::unlink(out_template);
    ::unlink(err_template);
    return result;
}

MountDaemon::MountDaemon(std::string card, std::string mount_point, std::string log_path)
    : card_(std::move(card)), mount_point_(std::move(mount_point)), log_path_(std::move(log_path)) {}

MountDaemon::~MountDaemon() { Stop(); }

bool MountDaemon::Start(std::string* why, bool* not_permitted) {
    *not_permitted = false;
    const std::string program = QuillaneProgram();
    const int log = ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log < 0) {
        *why = "cannot open " + log_path_;
        return false;
    }
    std::vector<std::string> texts{program, "mount", "-f", card_, mount_point_};
    std::vector<char*> argv;
    for (std::string& text : texts) argv.push_back(text.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, log, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, log, STDERR_FILENO);
    pid_t child = -1;
    const int spawned = ::posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(log);
    if (spawned != 0) {
        *why = "cannot start " + program + ": " + std::strerror(spawned);
        return false;
    }
    {
        std::lock_guard guard(pid_lock_);
        pid_ = child;
    }
    const auto deadline = std::chrono::steady_clock::now() + kMountWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (IsMountedAt(mount_point_)) return true;
        int status = 0;
        std::unique_lock guard(pid_lock_);
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            guard.unlock();
            *why = "the mount ended before mounting: " + Log();
            *not_permitted = MountingNotPermitted(Log());
            return false;
        }
        guard.unlock();
        std::this_thread::sleep_for(kPollStep);
    }
    *why = "the mount did not appear within " + std::to_string(kMountWait.count()) + " s: " + Log();
    Kill();
    return false;
}

bool MountDaemon::Kill() {
    {
        std::lock_guard guard(pid_lock_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status = 0;
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
    }
    return UnmountFolder(mount_point_);
}

void MountDaemon::Abort() {
    std::lock_guard guard(pid_lock_);
    if (pid_ > 0) ::kill(pid_, SIGKILL);
}

int MountDaemon::Stop() {
    UnmountFolder(mount_point_);
    return Reap(kExitWait);
}

int MountDaemon::Reap(std::chrono::seconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard guard(pid_lock_);
            if (pid_ <= 0) return -1;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
        }
        std::this_thread::sleep_for(kPollStep);
    }
    Kill();
    return -1;
}

std::string MountDaemon::Log() const { return ReadHostFile(log_path_).value_or(""); }

Watchdog::Watchdog(std::chrono::seconds limit, std::function<void()> on_expiry) {
    thread_ = std::thread([this, limit, on_expiry = std::move(on_expiry)] {
        std::unique_lock guard(lock_);
        if (done_.wait_for(guard, limit, [this] { return finished_; })) return;
        expired_ = true;
        guard.unlock();
        on_expiry();
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard guard(lock_);
        finished_ = true;
    }
    done_.notify_all();
    thread_.join();
}

int WriteWholeFile(const std::string& path, const Bytes& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            return error;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 ? 0 : errno;
}

std::uint64_t SeedFromEnvironment(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == 0) return fallback;
    return std::strtoull(text, nullptr, 0);
}

unsigned long CountFromEnvironment(const char* name, unsigned long fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == 0) return fallback;
    const unsigned long value = std::strtoul(text, nullptr, 0);
    return value == 0 ? fallback : value;
}

}  // namespace quillane::reliability
