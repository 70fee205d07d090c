// Real programs through a real mount: tar round trips of a source tree,
// SQLite in rollback-journal mode, and the mount command's own refusals.
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "mount/mount_fixture.h"
#include "mount/mount_points.h"
#include "platform/core/types.h"
#include "platform/registry/registry.h"
#include "platform/storage/storage_manager.h"

namespace quillane::mount_test {
namespace {

using ProgramsTest = MountTest;

bool HaveProgram(const std::string& name) { return Shell("command -v " + name + " >/dev/null") == 0; }

TEST_F(ProgramsTest, TarRoundTripOfASourceTree) {
    if (!HaveProgram("tar") || !HaveProgram("sha256sum")) GTEST_SKIP() << "tar or sha256sum is not installed";
    const std::string source = QUILLANE_SOURCE_DIR;
    // Into the mount, out of it again, and the checksums compared.
    ASSERT_EQ(Shell("tar -C " + source + " -cf - filter | tar -C " + mount_point() + " -xf -"), 0);
    ASSERT_EQ(Shell("tar -C " + mount_point() + " -cf " + scratch() + "/out.tar filter"), 0);
    ASSERT_EQ(Shell("mkdir -p " + scratch() + "/out && tar -C " + scratch() + "/out -xf " + scratch() + "/out.tar"),
              0);
    std::string original, round_trip;
    ASSERT_EQ(Shell("cd " + source + " && find filter -type f | LC_ALL=C sort | xargs sha256sum", &original), 0);
    ASSERT_EQ(Shell("cd " + scratch() + "/out && find filter -type f | LC_ALL=C sort | xargs sha256sum",
                    &round_trip),
              0);
    EXPECT_FALSE(original.empty());
    EXPECT_EQ(round_trip, original);
    // The tree on the card is compressed and keeps its modification times.
    EXPECT_TRUE(IsCompressedOnCard("filter/records.h"));
    std::string times_source, times_card;
    ASSERT_EQ(Shell("stat -c %Y " + source + "/filter/records.h", &times_source), 0);
    ASSERT_EQ(Shell("stat -c %Y " + Mounted("filter/records.h"), &times_card), 0);
    EXPECT_EQ(times_card, times_source);
    // Archiving the tree again, tar finds nothing that changed while it read
    // (it compares sizes and change times before and after each file).
    std::string warnings;
    EXPECT_EQ(Shell("{ tar -C " + mount_point() + " -cf - filter | wc -c >/dev/null; } 2>&1", &warnings), 0);
    EXPECT_EQ(warnings, "");
}

TEST_F(ProgramsTest, SqliteInRollbackJournalModePassesItsIntegrityCheck) {
    if (!HaveProgram("sqlite3")) GTEST_SKIP() << "sqlite3 is not installed";
    const std::string database = Mounted("records.db");
    ASSERT_EQ(Shell("sqlite3 " + database +
                    " 'PRAGMA journal_mode=DELETE; CREATE TABLE t(id INTEGER PRIMARY KEY, text TEXT);' >/dev/null"),
              0);
    // 3000 rows in 30 transactions, each with its journal and its syncs.
    ASSERT_EQ(Shell("for i in $(seq 1 30); do echo 'BEGIN;'; for j in $(seq 1 100); do "
                    "echo \"INSERT INTO t(text) VALUES('row $i $j of the table, some text to fill it');\"; done; "
                    "echo 'COMMIT;'; done | sqlite3 " +
                        database),
              0);
    std::string answer;
    ASSERT_EQ(Shell("sqlite3 " + database + " 'PRAGMA integrity_check; SELECT count(*) FROM t;'", &answer), 0);
    EXPECT_EQ(answer, "ok\n3000\n");
    EXPECT_TRUE(IsCompressedOnCard("records.db"));
    // No journal and nothing else left behind.
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{"records.db"});
}

TEST_F(ProgramsTest, CopiesWithCpKeepContentAndTimes) {
    const Bytes content = CompressibleBytes(300000, 5);
    ASSERT_EQ(WriteFile(scratch() + "/source.txt", content), 0);
    ASSERT_EQ(Shell("touch -d '2001-02-03 04:05:06' " + scratch() + "/source.txt"), 0);
    ASSERT_EQ(Shell("cp -p " + scratch() + "/source.txt " + Mounted("copy.txt")), 0);
    std::string copied, original;
    ASSERT_EQ(Shell("stat -c %Y " + Mounted("copy.txt"), &copied), 0);
    ASSERT_EQ(Shell("stat -c %Y " + scratch() + "/source.txt", &original), 0);
    EXPECT_EQ(copied, original);
    EXPECT_EQ(ReadFile(Mounted("copy.txt")), content);
    EXPECT_EQ(CardContent("copy.txt"), content);
}

int RunDriver(const std::string& arguments, std::string* output);

// One server per card: whoever comes second is refused and told who serves
// the card, before it touches a file.
TEST_F(ProgramsTest, ASecondMountOfTheCardIsRefusedNamingTheFirst) {
    ASSERT_EQ(WriteFile(Mounted("kept.txt"), CompressibleBytes(5000, 3)), 0);
    const std::string second = scratch() + "/second";
    ASSERT_EQ(Shell("mkdir " + second), 0);
    std::string output;
    EXPECT_EQ(RunDriver("-f " + card() + " " + second, &output), 1);
    EXPECT_NE(output.find("is already served by `quillane-mount-test-driver -f " + card()), std::string::npos)
        << output;
    EXPECT_FALSE(quillane::mount::IsMountPoint(second));
    EXPECT_EQ(ReadFile(Mounted("kept.txt")), CompressibleBytes(5000, 3));
}

TEST_F(ProgramsTest, TheSettingsProgramsMountOfAServedCardIsRefused) {
    // The settings program mounts the cards it finds in its own storage
    // manager, as this does.
    std::string message;
    EXPECT_EQ(platform::StorageManager::Instance().MountCard(u"Storage Card", card(), &message),
              static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_NE(message.find("is already served by `quillane-mount-test-driver"), std::string::npos) << message;
    EXPECT_TRUE(platform::StorageManager::Instance().CardNames().empty());
}

TEST_F(ProgramsTest, AMountPointThatIsAlreadyMountedIsRefused) {
    const std::string other_card = scratch() + "/other-card";
    ASSERT_EQ(Shell("mkdir " + other_card), 0);
    std::string output;
    EXPECT_EQ(RunDriver("-f " + other_card + " " + mount_point(), &output), 1);
    EXPECT_NE(output.find("is already a mount point"), std::string::npos) << output;
}

// The command itself, without a FUSE session: what it refuses and says.
class MountCommandTest : public ::testing::Test {};

int RunDriver(const std::string& arguments, std::string* output) {
    return Shell(std::string(QUILLANE_MOUNT_DRIVER) + " " + arguments + " 2>&1", output, 30);
}

TEST_F(MountCommandTest, RefusesAMissingCardFolder) {
    std::string output;
    EXPECT_EQ(RunDriver("-f /nonexistent/card /tmp", &output), 1);
    EXPECT_NE(output.find("/nonexistent/card"), std::string::npos) << output;
}

TEST_F(MountCommandTest, NeverServesACardWhoseFilterCannotBeLoaded) {
    char folder[] = "/tmp/quillane-mount-command-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string root = folder;
    ::setenv("QUILLANE_REGISTRY", (root + "/registry").c_str(), 1);
    ASSERT_EQ(Shell("mkdir " + root + "/card " + root + "/mnt"), 0);
    HKEY key = nullptr;
    ASSERT_EQ(platform::RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"System\\StorageManager\\FATFS\\Filters\\Quillane", 0,
                                        nullptr, 0, 0, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const std::u16string missing = u"/nonexistent/Quillane.so";
    ASSERT_EQ(platform::RegSetValueExW(key, u"Dll", 0, REG_SZ, reinterpret_cast<const BYTE*>(missing.c_str()),
                                       static_cast<DWORD>((missing.size() + 1) * sizeof(char16_t))),
              ERROR_SUCCESS);
    platform::RegCloseKey(key);
    std::string output;
    EXPECT_EQ(RunDriver("-f " + root + "/card " + root + "/mnt", &output), 1);
    EXPECT_NE(output.find("/nonexistent/Quillane.so"), std::string::npos) << output;
    EXPECT_EQ(Shell("grep -q " + root + "/mnt /proc/self/mountinfo"), 1);
    Shell("rm -rf " + root);
}

TEST_F(MountCommandTest, RunsInTheBackgroundUntilUnmounted) {
    if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse is missing or not usable here";
    char folder[] = "/tmp/quillane-mount-background-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string root = folder;
    ::setenv("QUILLANE_REGISTRY", (root + "/registry").c_str(), 1);
    ASSERT_EQ(Shell("mkdir " + root + "/card " + root + "/mnt"), 0);
    std::string output;
    // Returns once the daemon serves the mount.
    const int status = RunDriver(root + "/card " + root + "/mnt", &output);
    if (status != 0 && output.find("permitted") != std::string::npos) {
        Shell("rm -rf " + root);
        GTEST_SKIP() << "mounting is not permitted here: " << output;
    }
    ASSERT_EQ(status, 0) << output;
    EXPECT_EQ(Shell("grep -q ' " + root + "/mnt ' /proc/self/mountinfo"), 0);
    EXPECT_EQ(WriteFile(root + "/mnt/note.txt", CompressibleBytes(10000, 1)), 0);
    EXPECT_EQ(Shell("fusermount3 -u " + root + "/mnt"), 0);
    // The daemon ends by itself; a bounded wait for it.
    EXPECT_EQ(Shell("for i in $(seq 1 500); do pgrep -f '[q]uillane-mount-test-driver " + root + "/card' >/dev/null || exit 0; sleep 0.02; done; exit 1"),
              0);
    const std::optional<Bytes> stored = ReadFile(root + "/card/note.txt");
    ASSERT_TRUE(stored.has_value());
    EXPECT_TRUE(Decode(*stored) == CompressibleBytes(10000, 1));
    Shell("rm -rf " + root);
}

TEST_F(MountCommandTest, RefusesAMountPointThatIsNoEmptyFolderOutsideTheCard) {
    char folder[] = "/tmp/quillane-mount-points-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string root = folder;
    ::setenv("QUILLANE_REGISTRY", (root + "/registry").c_str(), 1);
    ASSERT_EQ(Shell("cd " + root + " && mkdir -p card/inside full && touch card/file.txt full/x plain.txt"), 0);
    const struct {
        std::string mount_point;
        std::string said;
    } cases[] = {
        {root + "/missing", "/missing: No such file or directory"},
        {root + "/plain.txt", "is not a folder"},
        {root + "/full", "is not empty"},
        {root + "/card", "is the card folder or inside it"},
        {root + "/card/inside", "is the card folder or inside it"},
    };
    for (const auto& c : cases) {
        std::string output;
        EXPECT_EQ(RunDriver("-f " + root + "/card " + c.mount_point, &output), 1) << c.mount_point;
        EXPECT_NE(output.find(c.said), std::string::npos) << output;
        // One line, never FUSE's whole usage.
        EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
    }
    Shell("rm -rf " + root);
}

TEST_F(MountCommandTest, RefusesAWrongCommandLine) {
    std::string output;
    EXPECT_EQ(RunDriver("--no-such-option /tmp /tmp", &output), 2);
    EXPECT_EQ(RunDriver("", &output), 2);
    EXPECT_NE(output.find("usage: quillane mount"), std::string::npos) << output;
    EXPECT_EQ(RunDriver("/tmp", &output), 2);
    EXPECT_EQ(RunDriver("--help", &output), 0);
    EXPECT_NE(output.find("usage: quillane mount"), std::string::npos) << output;
}

}  // namespace
}  // namespace quillane::mount_test
