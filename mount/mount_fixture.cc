// A real mount for the mount's tests (see mount_fixture.h).
#include "mount/mount_fixture.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

#include "filter/codec/codec_buffers.h"
#include "mount/mount_points.h"
#include "platform/core/types.h"
#include "platform/registry/registry.h"

namespace quillane::mount_test {
namespace {

constexpr auto kMountWait = std::chrono::seconds(20);
constexpr auto kExitWait = std::chrono::seconds(60);
constexpr auto kPollStep = std::chrono::milliseconds(10);

constexpr WCHAR kFilterKey[] = u"System\\StorageManager\\FATFS\\Filters\\Quillane";
constexpr DWORD kExceptionBytes = 4096;

// A message of the driver that says this machine does not allow the mount.
bool MountingNotPermitted(const std::string& log) {
    for (const char* sign : {"Operation not permitted", "Permission denied", "fuse: device not found",
                             "No such device", "fusermount3: mount failed"}) {
        if (log.find(sign) != std::string::npos) return true;
    }
    return false;
}

std::string TestRoot() {
    const char* binary_dir = std::getenv("QUILLANE_TEST_BINARY_DIR");
    const std::string base = binary_dir != nullptr && *binary_dir != 0 ? std::string(binary_dir) + "/test-mounts"
                                                                       : std::filesystem::temp_directory_path().string();
    std::filesystem::create_directories(base);
    std::string pattern = base + "/mount-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) return {};
    return pattern;
}

}  // namespace

std::string ShellQuote(const std::string& text) {
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

Bytes CompressibleBytes(size_t size, unsigned seed) {
    static const char* const kWords[] = {"card ", "block ", "filter ", "the ", "plain ", "data ", "of ", "a ",
                                         "compressed ", "file\n", "volume ", "expansion ", "12345 ", "name "};
    std::mt19937 random(seed);
    Bytes bytes;
    while (bytes.size() < size) bytes += kWords[random() % std::size(kWords)];
    bytes.resize(size);
    return bytes;
}

Bytes RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    Bytes bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random());
    return bytes;
}

std::optional<Bytes> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.good()) return std::nullopt;
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

int WriteFile(const std::string& path, const Bytes& bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return errno;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            const int error = errno;
            ::close(fd);
            return error;
        }
        done += static_cast<size_t>(n);
    }
    return ::close(fd) == 0 ? 0 : errno;
}

bool HasSignature(const Bytes& bytes) {
    return bytes.size() >= kCodecSignatureSize &&
           CodecIsSignature(reinterpret_cast<const BYTE*>(bytes.data()), kCodecSignatureSize) != FALSE;
}

std::optional<Bytes> Decode(const Bytes& compressed) {
    Bytes plain;
    if (CodecDecodeBuffer(compressed, plain) != kCodecCompleted) return std::nullopt;
    return plain;
}

int Shell(const std::string& command, std::string* output, int timeout_seconds) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    const std::string bounded = "timeout -k 5 " + std::to_string(timeout_seconds) + " bash -c " + ShellQuote(command);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(pipe_fds[1], STDOUT_FILENO);
        ::execl("/bin/sh", "sh", "-c", bounded.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipe_fds[1]);
    std::string collected;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
        if (n > 0) {
            collected.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (output != nullptr) *output = collected;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void MountTest::SetUp() {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "/dev/fuse is missing or not usable here (" << std::strerror(errno)
                     << "): the mount cannot be tested on this machine";
    }
    root_ = TestRoot();
    ASSERT_FALSE(root_.empty()) << "cannot make a test folder";
    card_ = root_ + "/card";
    mount_point_ = root_ + "/mnt";
    scratch_ = root_ + "/scratch";
    registry_ = root_ + "/registry";
    driver_log_ = root_ + "/driver.log";
    for (const std::string& folder : {card_, mount_point_, scratch_}) std::filesystem::create_directory(folder);
    std::string host_error;
    if (const std::optional<test::FatKind> kind = test::CardHostFromEnvironment(&host_error)) {
        bool unavailable = false;
        fat_host_ = test::FatHost::Serve(*kind, root_ + "/card.img", card_, &host_error, &unavailable);
        if (fat_host_ == nullptr && unavailable) GTEST_SKIP() << host_error;
        ASSERT_NE(fat_host_, nullptr) << host_error;
    }
    ASSERT_TRUE(host_error.empty()) << host_error;
    ::setenv("QUILLANE_REGISTRY", registry_.c_str(), 1);
    Mount();
}

void MountTest::TearDown() {
    // A sanitizer's report at the driver's exit (a leak) shows only in its
    // exit status.
    if (driver_ > 0) {
        EXPECT_EQ(Unmount(), 0) << "the mount driver did not end cleanly: " << ReadFile(driver_log_).value_or("");
    }
    if (root_.empty()) return;
    // A mount that would not go is left, rather than emptied through.
    if (IsMounted()) {
        ADD_FAILURE() << "the mount at " << mount_point_ << " would not go";
        return;
    }
    // The card's FAT file system itself must be clean after every test.
    if (fat_host_ != nullptr) {
        EXPECT_EQ(fat_host_->TakeDownAndCheck(), "");
    }
    fat_host_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
}

void MountTest::Mount() {
    driver_ = ::fork();
    if (driver_ == 0) {
        const int log = ::open(driver_log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        ::dup2(log, STDOUT_FILENO);
        ::dup2(log, STDERR_FILENO);
        std::vector<std::string> words{QUILLANE_MOUNT_DRIVER, "-f"};
        words.insert(words.end(), driver_options_.begin(), driver_options_.end());
        words.push_back(served_card_.empty() ? card_ : served_card_);
        words.push_back(mount_point_);
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        ::execv(QUILLANE_MOUNT_DRIVER, argv.data());
        ::_exit(127);
    }
    ASSERT_GT(driver_, 0) << "cannot start the mount driver";
    const auto deadline = std::chrono::steady_clock::now() + kMountWait;
    while (std::chrono::steady_clock::now() < deadline) {
        if (IsMounted()) return;
        int status = 0;
        if (::waitpid(driver_, &status, WNOHANG) == driver_) {
            driver_ = -1;
            const std::string log = ReadFile(driver_log_).value_or("");
            if (MountingNotPermitted(log)) {
                GTEST_SKIP() << "mounting a FUSE file system is not permitted here: " << log;
            }
            FAIL() << "the mount driver ended before mounting: " << log;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    FAIL() << "the mount did not appear within " << kMountWait.count() << " s";
}

std::string MountTest::DriverLog() const { return ReadFile(driver_log_).value_or(""); }

bool MountTest::IsMounted() const { return quillane::mount::IsMountPoint(mount_point_); }

int MountTest::WaitForDriver() {
    if (driver_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + kExitWait;
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        if (::waitpid(driver_, &status, WNOHANG) == driver_) {
            driver_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(kPollStep);
    }
    ADD_FAILURE() << "the mount driver did not end; killed";
    ::kill(driver_, SIGKILL);
    ::waitpid(driver_, &status, 0);
    driver_ = -1;
    return -1;
}

int MountTest::Unmount() {
    if (IsMounted() && Shell("fusermount3 -u " + ShellQuote(mount_point_) + " 2>/dev/null", nullptr, 30) != 0) {
        Shell("fusermount3 -u -z " + ShellQuote(mount_point_) + " 2>/dev/null", nullptr, 30);
    }
    return WaitForDriver();
}

int MountTest::StopWithSignal(int signal_number) {
    if (driver_ > 0) ::kill(driver_, signal_number);
    return WaitForDriver();
}

std::optional<Bytes> MountTest::CardContent(std::string_view name) const {
    const std::optional<Bytes> stored = ReadFile(OnCard(name));
    if (!stored || !HasSignature(*stored)) return stored;
    return Decode(*stored);
}

bool MountTest::IsCompressedOnCard(std::string_view name) const {
    const std::optional<Bytes> stored = ReadFile(OnCard(name));
    return stored && HasSignature(*stored);
}

std::vector<std::string> MountTest::CardRootNames() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(card_)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> MountTest::CardRootNamesOnceSettled(const std::vector<std::string>& expected) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::string> names = CardRootNames();
    while (names != expected && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPollStep);
        names = CardRootNames();
    }
    return names;
}

void MountTest::SetExceptions(std::u16string_view text) {
    HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kFilterKey, 0, nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    std::vector<BYTE> data(kExceptionBytes, 0);
    for (size_t i = 0; i < text.size() && 2 * i + 1 < data.size(); ++i) {
        data[2 * i] = static_cast<BYTE>(text[i] & 0xFF);
        data[2 * i + 1] = static_cast<BYTE>(text[i] >> 8);
    }
    EXPECT_EQ(platform::RegSetValueExW(key, u"Exception", 0, REG_SZ, data.data(), kExceptionBytes), ERROR_SUCCESS);
    platform::RegCloseKey(key);
}

}  // namespace quillane::mount_test
