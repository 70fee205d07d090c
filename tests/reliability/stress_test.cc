// Many threads at once on one card, with a model of what every file must
// hold at the end, two ways:
// - through the storage manager (the platform's file API, in this process,
//   with the real Quillane.so stacked on the card): every open of a
//   compressed file gets its own expansion file and the last close decides,
//   so threads rewrite shared files whole, each version through its own
//   handle, and any read through a fresh open must see one whole version;
// - through a real FUSE mount (`quillane mount -f`, POSIX calls): all opens
//   of a path share one filter handle, and POSIX makes no write of another
//   open atomic, so the shared file's writers and readers take flock, which
//   makes the order of versions known: a reader sees exactly the last
//   version written, and the file ends as the last one.
// Each thread also works on files of its own, whose every byte is modelled.
// Bounded: QUILLANE_STRESS_OPS operations per thread (default 300 and 250),
// seeded by QUILLANE_STRESS_SEED; the counts of each kind are printed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "platform/core/last_error.h"
#include "platform/storage/file_api.h"
#include "platform/storage/storage_manager.h"
#include "tests/reliability/reliability_support.h"

namespace quillane::reliability {
namespace {

constexpr unsigned kThreads = 8;
constexpr unsigned kSharedFiles = 2;
constexpr size_t kOwnLimit = 128 << 10;
constexpr size_t kSharedShortest = 16 << 10;
constexpr size_t kSharedLongest = 128 << 10;
constexpr std::uint64_t kDefaultSeed = 0xC0FFEE;
// Far more than a run takes, even under a sanitizer; well within ctest's limit.
constexpr auto kStressLimit = std::chrono::seconds(240);
// File numbers in the version tags: shared files first, then each thread's.
constexpr unsigned kSharedFileTag = 100;

enum Operation { kSharedWrite, kSharedRead, kOwnWrite, kOwnTruncate, kOwnRead, kOperations };
const char* const kOperationNames[kOperations] = {"shared whole writes", "shared reads", "own writes",
                                                  "own truncations", "own reads"};

Operation Draw(std::mt19937_64& random) {
    static const unsigned weights[kOperations] = {30, 20, 25, 10, 15};
    unsigned pick = static_cast<unsigned>(random() % 100);
    for (unsigned op = 0; op < kOperations; ++op) {
        if (pick < weights[op]) return static_cast<Operation>(op);
        pick -= weights[op];
    }
    return kOwnRead;
}

// What the threads did, and the first thing that went wrong.
struct Tally {
    std::atomic<unsigned long> done[kOperations] = {};
    std::mutex lock;
    std::string first_failure;
    std::atomic<bool> failed{false};

    void Fail(const std::string& what) {
        std::lock_guard guard(lock);
        if (first_failure.empty()) first_failure = what;
        failed = true;
    }
    void Print(const char* title) const {
        unsigned long total = 0;
        std::printf("%s:", title);
        for (unsigned op = 0; op < kOperations; ++op) {
            std::printf(" %lu %s,", done[op].load(), kOperationNames[op]);
            total += done[op].load();
        }
        std::printf(" %lu in all\n", total);
    }
};

// A thread's own file: content modelled byte for byte.
Bytes OwnWrite(Bytes model, size_t offset, const Bytes& data) {
    if (model.size() < offset + data.size()) model.resize(offset + data.size(), '\0');
    model.replace(offset, data.size(), data);
    return model;
}

Bytes RandomData(std::mt19937_64& random, size_t size) {
    Bytes data(size, '\0');
    for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>("abcdefghij \n"[random() % 12]);
    return data;
}

unsigned long OpsPerThread(unsigned long fallback) { return CountFromEnvironment("QUILLANE_STRESS_OPS", fallback); }

// ---- Through the storage manager ----------------------------------------------

std::u16string CardPath(const std::string& name) {
    return u"\\Storage Card\\" + std::u16string(name.begin(), name.end());
}

std::optional<Bytes> ReadAll(HANDLE file) {
    Bytes bytes;
    char buffer[65536];
    for (;;) {
        DWORD got = 0;
        if (!platform::ReadFile(file, buffer, sizeof buffer, &got, nullptr)) return std::nullopt;
        if (got == 0) return bytes;
        bytes.append(buffer, got);
    }
}

bool WriteAt(HANDLE file, size_t offset, const Bytes& data) {
    if (platform::SetFilePointer(file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) != offset) return false;
    DWORD written = 0;
    return platform::WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
           written == data.size();
}

class StorageManagerStress : public ::testing::Test {
protected:
    void SetUp() override {
        card_ = scratch_.Path("card");
        std::filesystem::create_directories(card_);
        ASSERT_EQ(platform::InstallFilter(), ERROR_SUCCESS);
        std::string message;
        ASSERT_EQ(platform::StorageManager::Instance().MountCard(u"Storage Card", card_, &message), ERROR_SUCCESS)
            << message;
    }
    void TearDown() override { platform::StorageManager::Instance().UnmountAll(); }

    Scratch scratch_{"stress-storage"};
    std::string card_;
};

// Version numbers say who wrote them: thread * 100000 + sequence.
struct WrittenVersions {
    std::mutex lock;
    std::set<std::pair<unsigned, unsigned>> started;  // (shared file, version)
};

void StorageManagerWorker(unsigned thread, std::uint64_t seed, unsigned long operations, Tally& tally,
                          WrittenVersions& versions, Bytes& own_model) {
    std::mt19937_64 random(seed);
    const std::string own_name = "own" + std::to_string(thread) + ".bin";
    unsigned sequence = 0;
    for (unsigned long i = 0; i < operations && !tally.failed; ++i) {
        const Operation op = Draw(random);
        const std::string where = "thread " + std::to_string(thread) + " op " + std::to_string(i) + " (" +
                                  kOperationNames[op] + "): ";
        if (op == kSharedWrite || op == kSharedRead) {
            const unsigned shared = static_cast<unsigned>(random() % kSharedFiles);
            const std::u16string path = CardPath("shared" + std::to_string(shared) + ".bin");
            const DWORD access = op == kSharedWrite ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
            HANDLE file = platform::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            if (file == INVALID_HANDLE_VALUE) {
                tally.Fail(where + "open failed, error " + std::to_string(platform::GetLastError()));
                break;
            }
            if (op == kSharedWrite) {
                const unsigned version = thread * 100000 + ++sequence;
                const size_t length = kSharedShortest + random() % (kSharedLongest - kSharedShortest + 1);
                {
                    std::lock_guard guard(versions.lock);
                    versions.started.insert({shared, version});
                }
                // Whole versions of varying length: a shorter one truncates.
                const Bytes content = VersionBytes(kSharedFileTag + shared, version, length);
                if (!WriteAt(file, 0, content) || !platform::SetEndOfFile(file)) {
                    tally.Fail(where + "write failed, error " + std::to_string(platform::GetLastError()));
                }
            } else {
                // A fresh open has its own expansion file: one whole version.
                const std::optional<Bytes> seen = ReadAll(file);
                const std::string described = seen ? DescribeVersions(*seen) : "nothing (read failed)";
                if (described.find(", whole") == std::string::npos ||
                    described.find("file " + std::to_string(kSharedFileTag + shared) + " ") != 0) {
                    tally.Fail(where + "shared" + std::to_string(shared) + ".bin read as " + described);
                }
            }
            if (!platform::CloseHandle(file)) {
                tally.Fail(where + "close failed, error " + std::to_string(platform::GetLastError()));
            }
            ++tally.done[op];
            continue;
        }

        HANDLE file = platform::CreateFileW(CardPath(own_name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            tally.Fail(where + "open failed, error " + std::to_string(platform::GetLastError()));
            break;
        }
        bool ok = true;
        if (op == kOwnWrite) {
            const size_t offset = random() % (own_model.size() + 1);
            const size_t size = 1 + random() % std::min<size_t>(32768, kOwnLimit - std::min(offset, kOwnLimit - 1));
            const Bytes data = RandomData(random, size);
            ok = WriteAt(file, offset, data);
            if (ok) own_model = OwnWrite(own_model, offset, data);
        } else if (op == kOwnTruncate) {
            const size_t length = random() % (own_model.size() + 1);
            ok = platform::SetFilePointer(file, static_cast<LONG>(length), nullptr, FILE_BEGIN) == length &&
                 platform::SetEndOfFile(file);
            if (ok) own_model.resize(length);
        } else {
            const std::optional<Bytes> seen = ReadAll(file);
            if (!seen || *seen != own_model) {
                tally.Fail(where + own_name + " reads " + std::to_string(seen ? seen->size() : 0) +
                           " bytes unlike its model of " + std::to_string(own_model.size()));
            }
        }
        if (!ok) tally.Fail(where + "call failed, error " + std::to_string(platform::GetLastError()));
        if (!platform::CloseHandle(file)) tally.Fail(where + "close failed");
        ++tally.done[op];
    }
}

TEST_F(StorageManagerStress, ThreadsOpeningWritingTruncatingAndClosingSharedAndOwnFiles) {
    const std::uint64_t seed = SeedFromEnvironment("QUILLANE_STRESS_SEED", kDefaultSeed);
    const unsigned long operations = OpsPerThread(300);
    SCOPED_TRACE("seed " + std::to_string(seed));
    WrittenVersions versions;
    for (unsigned shared = 0; shared < kSharedFiles; ++shared) {
        HANDLE file = platform::CreateFileW(CardPath("shared" + std::to_string(shared) + ".bin").c_str(),
                                            GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(WriteAt(file, 0, VersionBytes(kSharedFileTag + shared, 0, kSharedLongest)));
        ASSERT_TRUE(platform::CloseHandle(file));
        versions.started.insert({shared, 0});
    }

    // A deadlock in this process would hang the test: end it with a word.
    const Watchdog watchdog(kStressLimit, [] {
        std::fprintf(stderr, "the storage manager stress did not end within %lld s: deadlocked\n",
                     static_cast<long long>(kStressLimit.count()));
        std::abort();
    });
    Tally tally;
    std::vector<Bytes> own_models(kThreads);
    std::vector<std::thread> threads;
    std::mt19937_64 seeds(seed);
    for (unsigned thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back(StorageManagerWorker, thread, seeds(), operations, std::ref(tally), std::ref(versions),
                             std::ref(own_models[thread]));
    }
    for (std::thread& thread : threads) thread.join();
    tally.Print("through the storage manager");
    ASSERT_FALSE(tally.failed) << tally.first_failure;

    // Each shared file ends as one whole version that a thread wrote; each
    // own file as its model; nothing is left at the root.
    ASSERT_EQ(platform::StorageManager::Instance().UnmountCard(u"Storage Card"), ERROR_SUCCESS);
    for (unsigned shared = 0; shared < kSharedFiles; ++shared) {
        const std::string name = "shared" + std::to_string(shared) + ".bin";
        bool damaged = false, compressed = false;
        const Bytes plain = PlainOf(ReadHostFile(card_ + "/" + name).value_or(""), &damaged, &compressed);
        EXPECT_TRUE(compressed && !damaged) << name;
        const std::string described = DescribeVersions(plain);
        unsigned file_tag = 0, version = 0;
        ASSERT_EQ(std::sscanf(described.c_str(), "file %u version %u, whole", &file_tag, &version), 2)
            << name << ": " << described;
        EXPECT_EQ(file_tag, kSharedFileTag + shared);
        EXPECT_EQ(versions.started.count({shared, version}), 1u) << name << " ends as a version nobody wrote";
    }
    for (unsigned thread = 0; thread < kThreads; ++thread) {
        const std::string name = "own" + std::to_string(thread) + ".bin";
        bool damaged = false, compressed = false;
        const std::optional<Bytes> stored = ReadHostFile(card_ + "/" + name);
        if (!stored) {
            EXPECT_TRUE(own_models[thread].empty()) << name << " is missing";
            continue;
        }
        EXPECT_EQ(PlainOf(*stored, &damaged, &compressed), own_models[thread]) << name;
        EXPECT_FALSE(damaged) << name;
    }
    std::vector<std::string> expected;
    for (unsigned shared = 0; shared < kSharedFiles; ++shared) expected.push_back("shared" + std::to_string(shared) + ".bin");
    for (unsigned thread = 0; thread < kThreads; ++thread) {
        if (std::filesystem::exists(card_ + "/own" + std::to_string(thread) + ".bin")) {
            expected.push_back("own" + std::to_string(thread) + ".bin");
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListFolder(card_), expected) << "expansion or staging files left at the root";
}

// ---- Through the mount ---------------------------------------------------------

int PreadAll(int fd, Bytes& bytes) {
    bytes.clear();
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()));
        if (got < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (got == 0) return 0;
        bytes.append(buffer, static_cast<size_t>(got));
    }
}

int PwriteAll(int fd, size_t offset, const Bytes& data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t put = ::pwrite(fd, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (put < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<size_t>(put);
    }
    return 0;
}

// The shared file's versions in the order flock let them in.
struct LockedHistory {
    std::mutex lock;
    Bytes last;
    unsigned long writes = 0;
};

void MountWorker(const std::string& mount_point, unsigned thread, std::uint64_t seed, unsigned long operations,
                 Tally& tally, LockedHistory& history, Bytes& own_model) {
    std::mt19937_64 random(seed);
    const std::string own_path = mount_point + "/own" + std::to_string(thread) + ".bin";
    const std::string shared_path = mount_point + "/shared.bin";
    unsigned sequence = 0;
    const auto errno_text = [](int error) { return std::string(std::strerror(error)); };
    for (unsigned long i = 0; i < operations && !tally.failed; ++i) {
        const Operation op = Draw(random);
        const std::string where = "thread " + std::to_string(thread) + " op " + std::to_string(i) + " (" +
                                  kOperationNames[op] + "): ";
        if (op == kSharedWrite || op == kSharedRead) {
            const int fd = ::open(shared_path.c_str(), (op == kSharedWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC);
            if (fd < 0) {
                tally.Fail(where + "open: " + errno_text(errno));
                break;
            }
            if (::flock(fd, op == kSharedWrite ? LOCK_EX : LOCK_SH) != 0) {
                tally.Fail(where + "flock: " + errno_text(errno));
                ::close(fd);
                break;
            }
            if (op == kSharedWrite) {
                const size_t length = kSharedShortest + random() % (kSharedLongest - kSharedShortest + 1);
                const Bytes content = VersionBytes(kSharedFileTag, thread * 100000 + ++sequence, length);
                int error = PwriteAll(fd, 0, content);
                if (error == 0 && ::ftruncate(fd, static_cast<off_t>(length)) != 0) error = errno;
                if (error != 0) {
                    tally.Fail(where + "write: " + errno_text(error));
                } else {
                    std::lock_guard guard(history.lock);
                    history.last = content;
                    ++history.writes;
                }
            } else {
                Bytes seen;
                const int error = PreadAll(fd, seen);
                Bytes expected;
                {
                    std::lock_guard guard(history.lock);
                    expected = history.last;
                }
                if (error != 0) {
                    tally.Fail(where + "read: " + errno_text(error));
                } else if (seen != expected) {
                    tally.Fail(where + "shared.bin reads as " + DescribeVersions(seen) + "; the last version was " +
                               DescribeVersions(expected));
                }
            }
            ::flock(fd, LOCK_UN);
            if (::close(fd) != 0) tally.Fail(where + "close: " + errno_text(errno));
            ++tally.done[op];
            continue;
        }

        const int fd = ::open(own_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            tally.Fail(where + "open: " + errno_text(errno));
            break;
        }
        int error = 0;
        if (op == kOwnWrite) {
            const size_t offset = random() % (own_model.size() + 1);
            const size_t size = 1 + random() % std::min<size_t>(32768, kOwnLimit - std::min(offset, kOwnLimit - 1));
            const Bytes data = RandomData(random, size);
            error = PwriteAll(fd, offset, data);
            if (error == 0) own_model = OwnWrite(own_model, offset, data);
        } else if (op == kOwnTruncate) {
            const size_t length = random() % (own_model.size() + 1);
            error = ::ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : errno;
            if (error == 0) own_model.resize(length);
        } else {
            Bytes seen;
            error = PreadAll(fd, seen);
            if (error == 0 && seen != own_model) {
                tally.Fail(where + "own file reads " + std::to_string(seen.size()) + " bytes unlike its model of " +
                           std::to_string(own_model.size()));
            }
        }
        if (error != 0) tally.Fail(where + errno_text(error));
        if (::close(fd) != 0) tally.Fail(where + "close: " + errno_text(errno));
        ++tally.done[op];
    }
}

class MountStress : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            GTEST_SKIP() << "/dev/fuse is missing or not usable here: the mount cannot be tested";
        }
        card_ = scratch_.Path("card");
        mount_point_ = scratch_.Path("mnt");
        std::filesystem::create_directories(card_);
        std::filesystem::create_directories(mount_point_);
        daemon_ = std::make_unique<MountDaemon>(card_, mount_point_, scratch_.Path("mount.log"));
        std::string why;
        bool not_permitted = false;
        if (!daemon_->Start(&why, &not_permitted)) {
            if (not_permitted) GTEST_SKIP() << "mounting a FUSE file system is not permitted here: " << why;
            FAIL() << why;
        }
    }
    void TearDown() override {
        if (daemon_ == nullptr) return;
        daemon_.reset();
        if (IsMountedAt(mount_point_)) {
            ADD_FAILURE() << "the mount at " << mount_point_ << " would not go";
            scratch_.KeepOnDisk();
        }
    }

    Scratch scratch_{"stress-mount"};
    std::string card_;
    std::string mount_point_;
    std::unique_ptr<MountDaemon> daemon_;
};

TEST_F(MountStress, ThreadsThroughTheMountOnASharedFileUnderFlockAndOnFilesOfTheirOwn) {
    const std::uint64_t seed = SeedFromEnvironment("QUILLANE_STRESS_SEED", kDefaultSeed);
    const unsigned long operations = OpsPerThread(250);
    SCOPED_TRACE("seed " + std::to_string(seed));
    LockedHistory history;
    history.last = VersionBytes(kSharedFileTag, 0, kSharedLongest);
    ASSERT_EQ(WriteWholeFile(mount_point_ + "/shared.bin", history.last), 0);

    // A mount that hangs is killed: every call on it then fails at once.
    const Watchdog watchdog(kStressLimit, [this] { daemon_->Abort(); });
    Tally tally;
    std::vector<Bytes> own_models(kThreads);
    std::vector<std::thread> threads;
    std::mt19937_64 seeds(seed);
    for (unsigned thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back(MountWorker, mount_point_, thread, seeds(), operations, std::ref(tally),
                             std::ref(history), std::ref(own_models[thread]));
    }
    for (std::thread& thread : threads) thread.join();
    tally.Print("through the mount");
    ASSERT_FALSE(watchdog.Expired()) << "the mount hung for " << kStressLimit.count() << " s";
    ASSERT_FALSE(tally.failed) << tally.first_failure;

    // What programs see now, and what the card holds once the mount is gone.
    EXPECT_EQ(ReadHostFile(mount_point_ + "/shared.bin"), history.last);
    for (unsigned thread = 0; thread < kThreads; ++thread) {
        EXPECT_EQ(ReadHostFile(mount_point_ + "/own" + std::to_string(thread) + ".bin"), own_models[thread]);
    }
    const std::string log = daemon_->Log();
    ASSERT_EQ(daemon_->Stop(), 0) << log;
    EXPECT_EQ(log.find("Sanitizer"), std::string::npos) << "the mount daemon reported:\n" << log;
    bool damaged = false, compressed = false;
    EXPECT_EQ(PlainOf(ReadHostFile(card_ + "/shared.bin").value_or(""), &damaged, &compressed), history.last)
        << "after " << history.writes << " locked writes";
    EXPECT_FALSE(damaged);
    std::vector<std::string> expected{"shared.bin"};
    for (unsigned thread = 0; thread < kThreads; ++thread) {
        const std::string name = "own" + std::to_string(thread) + ".bin";
        expected.push_back(name);
        EXPECT_EQ(PlainOf(ReadHostFile(card_ + "/" + name).value_or(""), &damaged, &compressed), own_models[thread])
            << name;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ListFolder(card_), expected) << "expansion or staging files left at the root";
}

}  // namespace
}  // namespace quillane::reliability
