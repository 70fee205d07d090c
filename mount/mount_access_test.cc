// Who may do what through a mount that others may enter (allow_other): a
// second user (nobody, through setpriv) works on files of the mounting user
// (root) under the owner and mask options, and the modes shown are what the
// kernel holds everyone to. Skipped where the test does not run as root, or
// the second user or setpriv is missing.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "mount/mount_fixture.h"

namespace quillane::mount_test {
namespace {

constexpr char kDenied[] = "Permission denied";       // EACCES
constexpr char kNotPermitted[] = "Operation not permitted";  // EPERM

class AccessTest : public MountTest {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "only root can run commands as a second user and mount for others";
        const passwd* nobody = ::getpwnam("nobody");
        if (nobody == nullptr) GTEST_SKIP() << "there is no user 'nobody' to act as a second user";
        other_uid_ = nobody->pw_uid;
        other_gid_ = nobody->pw_gid;
        if (Shell("command -v setpriv >/dev/null") != 0) GTEST_SKIP() << "setpriv (util-linux) is not installed";

        // The second user must be able to reach the mount point: where the
        // build tree is closed to others, the test folders go to the system's
        // temporary folder instead.
        const char* binary_dir = std::getenv("QUILLANE_TEST_BINARY_DIR");
        const std::string saved = binary_dir != nullptr ? binary_dir : "";
        const bool closed = !saved.empty() && AsOther("cd " + ShellQuote(saved)) != 0;
        if (closed) ::unsetenv("QUILLANE_TEST_BINARY_DIR");
        MountTest::SetUp();
        if (closed) ::setenv("QUILLANE_TEST_BINARY_DIR", saved.c_str(), 1);
        if (IsSkipped() || HasFatalFailure()) return;
        const std::string root = std::filesystem::path(mount_point()).parent_path();
        ASSERT_EQ(::chmod(root.c_str(), 0755), 0);
        if (AsOther("cd " + ShellQuote(root)) != 0) {
            GTEST_SKIP() << "the user nobody cannot reach " << root << ": a folder above it is closed to others";
        }
    }

    // Runs `command` with bash as the second user, from "/"; returns its
    // exit status, with what it wrote (standard error too) in `output`.
    int AsOther(const std::string& command, std::string* output = nullptr) const {
        return Shell("cd / && setpriv --reuid=" + std::to_string(other_uid_) + " --regid=" +
                         std::to_string(other_gid_) + " --clear-groups -- bash -c " + ShellQuote(command) +
                         " 2>&1",
                     output);
    }

    // The mount again, with these -o options.
    void Remount(const std::string& options) {
        ASSERT_EQ(Unmount(), 0);
        driver_options_ = {"-o", options};
        Mount();
    }

    // `stat -c FORMAT` of a path through the mount, without its newline.
    std::string Stat(const std::string& format, const std::string& name) const {
        std::string output;
        Shell("stat -c " + ShellQuote(format) + " " + ShellQuote(Mounted(name)), &output);
        while (!output.empty() && output.back() == '\n') output.pop_back();
        return output;
    }

    std::string Q(std::string_view name) const { return ShellQuote(Mounted(name)); }

    struct Attempt {
        std::string command;  // bash, as the second user
        bool succeeds;
        std::string output;  // what it writes, or a part of its error message
    };
    void Try(const Attempt& attempt) const {
        std::string output;
        const int status = AsOther(attempt.command, &output);
        EXPECT_EQ(status == 0, attempt.succeeds) << attempt.command << ": " << output;
        if (attempt.succeeds) {
            EXPECT_EQ(output, attempt.output) << attempt.command;
        } else {
            EXPECT_NE(output.find(attempt.output), std::string::npos) << attempt.command << ": " << output;
        }
    }

    uid_t other_uid_ = 0;
    gid_t other_gid_ = 0;
};

TEST_F(AccessTest, AnotherUserReadsAFileOfTheOwnerButCannotChangeIt) {
    ASSERT_NO_FATAL_FAILURE(Remount("allow_other,fmask=0133,dmask=0022"));
    ASSERT_EQ(WriteFile(Mounted("root.txt"), "the owner's words\n"), 0);
    ASSERT_EQ(Stat("%A %u %g", "root.txt"), "-rw-r--r-- 0 0");
    ASSERT_EQ(Stat("%A %u %g", ""), "drwxr-xr-x 0 0");
    const Attempt attempts[] = {
        {"cat " + Q("root.txt"), true, "the owner's words\n"},
        {"ls " + Q(""), true, "root.txt\n"},
        {"echo more >> " + Q("root.txt"), false, kDenied},
        {"echo other > " + Q("root.txt"), false, kDenied},
        {"truncate -s 0 " + Q("root.txt"), false, kDenied},
        {"touch " + Q("root.txt"), false, kDenied},
        {"rm -f " + Q("root.txt"), false, kDenied},
        {"mv " + Q("root.txt") + " " + Q("moved.txt"), false, kDenied},
        {"echo new > " + Q("new.txt"), false, kDenied},
        {"mkdir " + Q("folder"), false, kDenied},
        {"chmod a-w " + Q("root.txt"), false, kNotPermitted},
    };
    for (const Attempt& attempt : attempts) Try(attempt);
    // Nothing changed on the card.
    EXPECT_EQ(CardContent("root.txt"), "the owner's words\n");
    EXPECT_EQ(CardRootNames(), std::vector<std::string>{"root.txt"});
    EXPECT_EQ(Stat("%a", "root.txt"), "644");
}

TEST_F(AccessTest, TheOwnerAndMaskOptionsDecideWhatOthersMay) {
    ASSERT_EQ(::mkdir(Mounted("folder").c_str(), 0755), 0);
    ASSERT_EQ(WriteFile(Mounted("folder/file.txt"), "some text\n"), 0);
    const std::string other = std::to_string(other_uid_) + " " + std::to_string(other_gid_);
    const std::string other_group = std::to_string(other_gid_);
    struct {
        std::string options;
        std::string file, folder, owner;  // stat's %a, %a, "%u %g"
        bool reads, lists, writes;        // the second user
    } cases[] = {
        // The defaults: the mounting user, umask 022 (files too are executable, as on vfat).
        {"allow_other", "755", "755", "0 0", true, true, false},
        {"allow_other,umask=077", "700", "700", "0 0", false, false, false},
        {"allow_other,fmask=0133,dmask=0022", "644", "755", "0 0", true, true, false},
        {"allow_other,umask=0137,dmask=0027", "640", "750", "0 0", false, false, false},
        // Another owner, and another group with write access.
        {"allow_other,uid=" + std::to_string(other_uid_) + ",gid=" + other_group + ",fmask=0133", "644", "755",
         other, true, true, true},
        {"allow_other,gid=" + other_group + ",fmask=0113,dmask=0002", "664", "775", "0 " + other_group, true, true,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        ASSERT_NO_FATAL_FAILURE(Remount(c.options));
        EXPECT_EQ(Stat("%a", "folder/file.txt"), c.file);
        EXPECT_EQ(Stat("%a", "folder"), c.folder);
        EXPECT_EQ(Stat("%a", ""), c.folder);
        EXPECT_EQ(Stat("%u %g", "folder/file.txt"), c.owner);
        EXPECT_EQ(Stat("%u %g", "folder"), c.owner);
        std::string output;
        EXPECT_EQ(AsOther("head -c 4 " + Q("folder/file.txt"), &output) == 0, c.reads) << output;
        EXPECT_EQ(AsOther("ls " + Q("folder"), &output) == 0, c.lists) << output;
        EXPECT_EQ(AsOther("printf x >> " + Q("folder/file.txt"), &output) == 0, c.writes) << output;
        if (!c.reads || !c.lists || !c.writes) {
            EXPECT_NE(output.find(kDenied), std::string::npos) << output;
        }
    }
}

TEST_F(AccessTest, ChmodThroughTheMountIsTheReadOnlyAttributeOfTheCard) {
    const std::string options = "allow_other,uid=" + std::to_string(other_uid_) + ",fmask=0133";
    ASSERT_NO_FATAL_FAILURE(Remount(options));
    ASSERT_EQ(WriteFile(Mounted("notes.txt"), "notes\n"), 0);
    ASSERT_EQ(::mkdir(Mounted("folder").c_str(), 0755), 0);
    const auto host_write_bits = [&] {
        struct stat status {};
        return ::stat(OnCard("notes.txt").c_str(), &status) == 0 ? (status.st_mode & 0222) : 07777u;
    };
    std::string output;
    // The owner (the second user, by uid=) takes the write bits away.
    ASSERT_EQ(AsOther("chmod a-w " + Q("notes.txt"), &output), 0) << output;
    EXPECT_EQ(Stat("%a", "notes.txt"), "444");
    EXPECT_EQ(host_write_bits(), 0u) << "the card does not hold the file as read-only";
    EXPECT_NE(AsOther("echo more >> " + Q("notes.txt"), &output), 0);
    EXPECT_NE(output.find(kDenied), std::string::npos) << output;
    // The attribute is the card's: a new mount finds it.
    ASSERT_NO_FATAL_FAILURE(Remount(options));
    EXPECT_EQ(Stat("%a", "notes.txt"), "444");
    ASSERT_EQ(AsOther("chmod u+w " + Q("notes.txt"), &output), 0) << output;
    EXPECT_EQ(Stat("%a", "notes.txt"), "644");
    EXPECT_NE(host_write_bits(), 0u);
    EXPECT_EQ(AsOther("echo more >> " + Q("notes.txt"), &output), 0) << output;
    EXPECT_EQ(CardContent("notes.txt"), "notes\nmore\n");

    const Attempt attempts[] = {
        // Only the write bits count: read and execute bits change nothing.
        {"chmod 600 " + Q("notes.txt") + " && stat -c %a " + Q("notes.txt"), true, "644\n"},
        {"chmod 444 " + Q("notes.txt") + " && stat -c %a " + Q("notes.txt"), true, "444\n"},
        {"chmod 755 " + Q("notes.txt") + " && stat -c %a " + Q("notes.txt"), true, "644\n"},
        {"chmod a-w " + Q("folder") + " && stat -c %a " + Q("folder"), true, "755\n"},
        // Bits a card cannot hold at all, and owners, are refused.
        {"chmod u+s " + Q("notes.txt"), false, kNotPermitted},
        {"chown 0 " + Q("notes.txt"), false, kNotPermitted},
    };
    for (const Attempt& attempt : attempts) Try(attempt);
    // Not even root gives a file another owner than the one uid= names.
    EXPECT_NE(Shell("chown 0 " + Q("notes.txt") + " 2>&1", &output), 0);
    EXPECT_NE(output.find(kNotPermitted), std::string::npos) << output;
    EXPECT_EQ(Stat("%u", "notes.txt"), std::to_string(other_uid_));
}

TEST_F(AccessTest, TheExpansionFileOfAnOpenFileIsNotForOthers) {
    // The most open masks: still no one but the owner reaches the plain
    // data the filter keeps at the card root while a file is open.
    ASSERT_NO_FATAL_FAILURE(Remount("allow_other,umask=0"));
    const Bytes content = CompressibleBytes(300000, 11);
    ASSERT_EQ(WriteFile(Mounted("private.txt"), content), 0);
    ASSERT_TRUE(IsCompressedOnCard("private.txt"));
    // Reads are served from the card's bytes; an open for writing expands
    // the file.
    const int fd = ::open(Mounted("private.txt").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char first = 0;
    ASSERT_EQ(::read(fd, &first, 1), 1);
    std::string expansion;
    for (const std::string& name : CardRootNames()) {
        if (std::regex_match(name, std::regex("[vy][0-9A-Fa-f]{4}\\.TMP", std::regex::icase))) expansion = name;
    }
    EXPECT_FALSE(expansion.empty()) << "no expansion file at the card root while a compressed file is open";
    if (!expansion.empty()) {
        std::string output;
        EXPECT_NE(AsOther("head -c 10 " + Q(expansion), &output), 0) << output;
        EXPECT_NE(AsOther("echo x >> " + Q(expansion), &output), 0) << output;
        EXPECT_NE(AsOther("rm " + Q(expansion), &output), 0) << output;
        EXPECT_NE(AsOther("mv " + Q(expansion) + " " + Q("taken.txt"), &output), 0) << output;
        EXPECT_EQ(AsOther("! ls -a " + Q("") + " | grep -qixF " + ShellQuote(expansion), &output), 0)
            << "listed at the card root";
    }
    // The owner's open file is whole.
    std::string back(content.size(), '\0');
    EXPECT_EQ(::pread(fd, back.data(), back.size(), 0), static_cast<ssize_t>(back.size()));
    EXPECT_EQ(back, content);
    EXPECT_EQ(::close(fd), 0);
    EXPECT_EQ(CardContent("private.txt"), content);
    EXPECT_EQ(CardRootNamesOnceSettled({"private.txt"}), std::vector<std::string>{"private.txt"});
}

}  // namespace
}  // namespace quillane::mount_test
