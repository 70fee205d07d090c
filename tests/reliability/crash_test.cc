// Crash safety of the mount: writer threads rewrite several files of a few
// MiB through a real `quillane mount -f` (ordinary open, pwrite, ftruncate,
// close) while the test SIGKILLs the mount daemon at a random moment: during
// an open's expansion, the writes, a close's encoding or its replace. After
// each kill the dead mount is unmounted and the card checked behind the
// mount's back: every file must be there and hold, whole, either its last
// version whose close(2) returned or the version being written then, never a
// mix nor a cut compressed stream. Whatever else is left at the root must be
// a leftover that `quillane recover` tells apart, and recover --apply must
// keep every leftover's data that no file holds. Then the mount starts again
// on the same card.
//
// A seeded loop of QUILLANE_CRASH_KILLS kills (50 by default, a few seconds
// each at most); QUILLANE_CRASH_SEED picks the moments and the sizes, and a
// failure names the seed so the run can be repeated. Skipped where
// /dev/fuse is missing or mounting is not permitted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "tests/fat_host/fat_host.h"
#include "tests/reliability/reliability_support.h"

namespace quillane::reliability {
namespace {

constexpr unsigned kFiles = 4;
constexpr size_t kSmallest = 3 << 19;  // 1.5 MiB
constexpr size_t kLargest = 3 << 20;
constexpr size_t kWriteChunk = 256 << 10;
constexpr size_t kCodecBlock = 131072;  // what one block of the card's format holds
constexpr unsigned long kDefaultKills = 50;
constexpr std::uint64_t kDefaultSeed = 0x5EED2024;
// The kill comes within this long after the mount is there: long enough for
// every stage of a rewrite of one file to be met now and then. The encoding
// at a close takes most of that time; a share of the kills come early, to
// meet the opens (expansion) and the writes as often.
constexpr int kLatestKillMs = 2000;
constexpr int kEarlyKillMs = 40;
constexpr unsigned kEarlyKillPercent = 30;
constexpr auto kWritersEndWithin = std::chrono::seconds(60);
constexpr auto kRoundLimit = std::chrono::seconds(90);

std::string FileName(unsigned file) { return "file" + std::to_string(file) + ".bin"; }

bool IsLeftoverName(const std::string& name) {
    if (name.size() != 9 || std::string("vVyY").find(name[0]) == std::string::npos) return false;
    for (size_t i = 1; i < 5; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    const std::string extension = name.substr(5);
    return extension == ".TMP" || extension == ".tmp";
}

// What the card must hold for one file: the version whose close returned
// last, and the one being written when the daemon died, if any.
struct FileModel {
    Bytes committed;
    std::optional<Bytes> pending;
    unsigned next_version = 1;
};

struct Counts {
    unsigned long closes = 0;          // close(2) that returned 0 with a new version
    unsigned long interrupted = 0;     // rewrites the kill cut short
    unsigned long found_old = 0;       // files holding their last closed version after a kill
    unsigned long found_new = 0;       // ... the version being written
    unsigned long found_plain = 0;     // ... stored plain (a close's fallback)
    unsigned long expansions = 0;      // leftovers seen
    unsigned long stagings = 0;
    unsigned long removed = 0;         // by recover --apply
    unsigned long kept = 0;
};

// The state writer threads share with the test; owned jointly, so that a
// writer that never ends (a test failure) cannot outlive what it uses.
struct Shared {
    std::mutex lock;
    std::condition_variable ended;
    unsigned running = 0;
    std::atomic<bool> stop{false};
    FileModel files[kFiles];
    Counts counts;
};

// Rewrites one file through the mount until told to stop or the mount dies.
void RewriteUntilStopped(std::shared_ptr<Shared> shared, std::string path, unsigned file, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    while (!shared->stop.load()) {
        Bytes content;
        {
            std::lock_guard guard(shared->lock);
            FileModel& model = shared->files[file];
            const size_t length = kSmallest + random() % (kLargest - kSmallest + 1);
            content = VersionBytes(file, model.next_version++, length);
            model.pending = content;
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) break;
        bool written = true;
        for (size_t done = 0; done < content.size() && written;) {
            const size_t n = std::min(kWriteChunk, content.size() - done);
            const ssize_t put = ::pwrite(fd, content.data() + done, n, static_cast<off_t>(done));
            if (put <= 0) {
                written = put < 0 && errno == EINTR;
                continue;
            }
            done += static_cast<size_t>(put);
        }
        if (written && ::ftruncate(fd, static_cast<off_t>(content.size())) != 0) written = false;
        // close(2) of the only open puts the file in place before it returns.
        if (::close(fd) != 0 || !written) break;
        std::lock_guard guard(shared->lock);
        shared->files[file].committed = std::move(content);
        shared->files[file].pending.reset();
        ++shared->counts.closes;
    }
    std::lock_guard guard(shared->lock);
    --shared->running;
    shared->ended.notify_all();
}

class CrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            GTEST_SKIP() << "/dev/fuse is missing or not usable here: the mount cannot be crash-tested";
        }
        card_ = scratch_.Path("card");
        mount_point_ = scratch_.Path("mnt");
        std::filesystem::create_directories(card_);
        std::filesystem::create_directories(mount_point_);
        std::string host_error;
        if (const std::optional<quillane::test::FatKind> kind = quillane::test::CardHostFromEnvironment(&host_error)) {
            bool unavailable = false;
            fat_host_ = quillane::test::FatHost::Serve(*kind, scratch_.Path("card.img"), card_, &host_error,
                                                      &unavailable);
            if (fat_host_ == nullptr && unavailable) GTEST_SKIP() << host_error;
            ASSERT_NE(fat_host_, nullptr) << host_error;
        }
        ASSERT_TRUE(host_error.empty()) << host_error;
        daemon_ = std::make_unique<MountDaemon>(card_, mount_point_, scratch_.Path("mount.log"));
    }
    void TearDown() override {
        daemon_.reset();
        if (!mount_point_.empty() && IsMountedAt(mount_point_)) {
            ADD_FAILURE() << "the mount at " << mount_point_ << " would not go";
            scratch_.KeepOnDisk();
            return;
        }
        // However often the mount was killed, the card's FAT file system
        // itself stays clean.
        if (fat_host_ != nullptr) {
            EXPECT_EQ(fat_host_->TakeDownAndCheck(), "");
        }
    }

    // Starts the mount; false after skipping or failing the test.
    bool StartMount() {
        std::string why;
        bool not_permitted = false;
        if (daemon_->Start(&why, &not_permitted)) return true;
        if (not_permitted) {
            skipped_ = true;
            return false;
        }
        ADD_FAILURE() << why;
        return false;
    }

    // The root's names other than the files under test and recovered/.
    std::vector<std::string> Leftovers() const {
        std::vector<std::string> names;
        for (const std::string& name : ListFolder(card_)) {
            if (name == "recovered" || name.starts_with("file")) continue;
            names.push_back(name);
        }
        return names;
    }

    Scratch scratch_{"crash"};
    std::unique_ptr<quillane::test::FatHost> fat_host_;  // with QUILLANE_TEST_CARD_HOST
    std::string card_;
    std::string mount_point_;
    std::unique_ptr<MountDaemon> daemon_;
    bool skipped_ = false;
};

TEST_F(CrashTest, EveryFileHoldsItsOldOrItsNewVersionWholeAfterTheMountIsKilled) {
    const std::uint64_t seed = SeedFromEnvironment("QUILLANE_CRASH_SEED", kDefaultSeed);
    const unsigned long kills = CountFromEnvironment("QUILLANE_CRASH_KILLS", kDefaultKills);
    std::printf("crash test: %lu kills, seed %llu (QUILLANE_CRASH_KILLS, QUILLANE_CRASH_SEED)\n", kills,
                static_cast<unsigned long long>(seed));
    const bool verbose = CountFromEnvironment("QUILLANE_CRASH_VERBOSE", 0) != 0;  // show what recover did
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    auto shared = std::make_shared<Shared>();

    // First versions, written and closed through a mount that stays whole.
    if (!StartMount()) {
        if (skipped_) GTEST_SKIP() << "mounting a FUSE file system is not permitted here: " << daemon_->Log();
        return;
    }
    for (unsigned file = 0; file < kFiles; ++file) {
        shared->files[file].committed = VersionBytes(file, 0, kSmallest + file * 100000);
        ASSERT_EQ(WriteWholeFile(mount_point_ + "/" + FileName(file), shared->files[file].committed), 0);
    }
    ASSERT_EQ(daemon_->Stop(), 0) << daemon_->Log();

    for (unsigned long kill = 0; kill < kills; ++kill) {
        SCOPED_TRACE("kill " + std::to_string(kill + 1));
        // A mount that hangs is killed, and the round fails.
        const Watchdog watchdog(kRoundLimit, [this] { daemon_->Abort(); });
        ASSERT_TRUE(StartMount());
        std::vector<std::thread> writers;
        shared->stop = false;
        shared->running = kFiles;
        for (unsigned file = 0; file < kFiles; ++file) {
            writers.emplace_back(RewriteUntilStopped, shared, mount_point_ + "/" + FileName(file), file, random());
        }
        const bool early = random() % 100 < kEarlyKillPercent;
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % ((early ? kEarlyKillMs : kLatestKillMs) + 1)));
        shared->stop = true;
        ASSERT_TRUE(daemon_->Kill()) << "the dead mount at " << mount_point_ << " could not be unmounted";
        {
            // Every call on a dead mount fails at once; a writer that does
            // not end is a failure, not a hang.
            std::unique_lock guard(shared->lock);
            if (!shared->ended.wait_for(guard, kWritersEndWithin, [&] { return shared->running == 0; })) {
                guard.unlock();
                for (std::thread& writer : writers) writer.detach();
                FAIL() << "writers still running " << kWritersEndWithin.count() << " s after the kill";
            }
        }
        for (std::thread& writer : writers) writer.join();
        ASSERT_FALSE(watchdog.Expired()) << "the mount hung for " << kRoundLimit.count() << " s";

        // Each file: there, whole, its old version or its new one.
        std::set<Bytes> held;
        for (unsigned file = 0; file < kFiles; ++file) {
            FileModel& model = shared->files[file];
            const std::optional<Bytes> stored = ReadHostFile(card_ + "/" + FileName(file));
            ASSERT_TRUE(stored.has_value()) << FileName(file) << " is missing from the card";
            bool damaged = false, compressed = false;
            const Bytes plain = PlainOf(*stored, &damaged, &compressed);
            ASSERT_FALSE(damaged) << FileName(file) << " holds a damaged or cut compressed stream: "
                                  << DescribeVersions(plain);
            const bool is_old = plain == model.committed;
            const bool is_new = model.pending && plain == *model.pending;
            ASSERT_TRUE(is_old || is_new) << FileName(file) << " holds " << DescribeVersions(plain)
                                          << "; expected " << DescribeVersions(model.committed)
                                          << (model.pending ? " or " + DescribeVersions(*model.pending) : "");
            if (model.pending) ++shared->counts.interrupted;
            ++(is_old && !is_new ? shared->counts.found_old : shared->counts.found_new);
            if (!compressed) ++shared->counts.found_plain;
            model.committed = plain;
            model.pending.reset();
            held.insert(plain);
        }

        // Leftovers: only the filter's, and recover tells each.
        const std::vector<std::string> leftovers = Leftovers();
        if (leftovers.empty()) continue;
        std::vector<Bytes> only_copies;  // leftover data that no file holds
        std::vector<Bytes> expansions, stagings;
        for (const std::string& name : leftovers) {
            ASSERT_TRUE(IsLeftoverName(name)) << name << " was left at the card root";
            const bool staging = name[0] == 'y' || name[0] == 'Y';
            ++(staging ? shared->counts.stagings : shared->counts.expansions);
            const Bytes stored = ReadHostFile(card_ + "/" + name).value_or("");
            bool damaged = false, compressed = false;
            const Bytes plain = staging ? PlainOf(stored, &damaged, &compressed) : stored;
            // A staging file cut short is a close's unfinished work: the file
            // it was for holds its content already.
            if (staging && (damaged || !compressed)) continue;
            (staging ? stagings : expansions).push_back(plain);
        }
        // So is one that ends after whole blocks of what a file or an
        // expansion file holds.
        const auto first_blocks_of_another = [&](const Bytes& data) {
            if (data.size() % kCodecBlock != 0) return false;
            for (const Bytes& other : held) {
                if (other.size() > data.size() && other.compare(0, data.size(), data) == 0) return true;
            }
            for (const Bytes& other : expansions) {
                if (other.size() > data.size() && other.compare(0, data.size(), data) == 0) return true;
            }
            return false;
        };
        for (const Bytes& data : expansions) {
            if (!data.empty() && held.count(data) == 0) only_copies.push_back(data);
        }
        for (const Bytes& data : stagings) {
            if (data.empty() || held.count(data) != 0 || first_blocks_of_another(data)) continue;
            if (std::find(expansions.begin(), expansions.end(), data) == expansions.end()) only_copies.push_back(data);
        }
        const RunResult report = RunQuillane({"recover", card_});
        ASSERT_EQ(report.status, 0) << report.out << report.err;
        for (const std::string& name : leftovers) {
            EXPECT_NE(report.out.find("\n" + name + "  "), std::string::npos) << name << " not told:\n" << report.out;
        }
        const RunResult applied = RunQuillane({"recover", "--apply", card_});
        ASSERT_EQ(applied.status, 0) << applied.out << applied.err;
        ASSERT_TRUE(Leftovers().empty()) << "left at the root after recover --apply:\n" << applied.out;
        if (verbose) std::printf("after kill %lu:\n%s", kill + 1, applied.out.c_str());
        for (size_t at = 0; (at = applied.out.find("-> removed", at)) != std::string::npos; ++at) {
            ++shared->counts.removed;
        }
        std::set<Bytes> recovered;
        for (const std::string& name : ListFolder(card_ + "/recovered")) {
            ++shared->counts.kept;
            const Bytes stored = ReadHostFile(card_ + "/recovered/" + name).value_or("");
            bool damaged = false, compressed = false;
            recovered.insert(stored);
            recovered.insert(PlainOf(stored, &damaged, &compressed));
        }
        for (const Bytes& data : only_copies) {
            EXPECT_EQ(recovered.count(data), 1u)
                << "recover --apply lost leftover data that no file held: " << DescribeVersions(data) << "\n"
                << applied.out;
        }
        // The kept copies have been looked at; they would only fill the disk.
        std::error_code ignored;
        std::filesystem::remove_all(card_ + "/recovered", ignored);
        if (HasFatalFailure()) return;
    }

    // The card still works: a clean mount, every file read back as modelled.
    const Watchdog watchdog(kRoundLimit, [this] { daemon_->Abort(); });
    ASSERT_TRUE(StartMount());
    for (unsigned file = 0; file < kFiles; ++file) {
        const std::optional<Bytes> seen = ReadHostFile(mount_point_ + "/" + FileName(file));
        ASSERT_TRUE(seen.has_value());
        EXPECT_TRUE(*seen == shared->files[file].committed) << FileName(file) << ": " << DescribeVersions(*seen);
    }
    EXPECT_EQ(daemon_->Stop(), 0) << daemon_->Log();
    EXPECT_FALSE(watchdog.Expired()) << "the mount hung for " << kRoundLimit.count() << " s";
    EXPECT_TRUE(Leftovers().empty());

    const Counts& c = shared->counts;
    std::printf(
        "crash test: %lu kills survived; %lu rewrites closed, %lu cut short by a kill; files found after a kill: "
        "%lu old, %lu new (%lu stored plain); leftovers: %lu expansion, %lu staging files, recover removed %lu "
        "and kept %lu\n",
        kills, c.closes, c.interrupted, c.found_old, c.found_new, c.found_plain, c.expansions, c.stagings, c.removed,
        c.kept);
}

}  // namespace
}  // namespace quillane::reliability
