// The mount.fuse.quillane calling form: what mount(8) passes is turned into
// the arguments of `quillane mount`, with the options that belong to mount,
// fstab and systemd left out; and the program answers to that name.
#include "cli/mount_helper.h"

#include <unistd.h>

#include "cli/tests/cli_test_support.h"

namespace quillane::cli::test {
namespace {

TEST(MountHelperTest, MountsCommandLineBecomesTheMountCommands) {
    const struct {
        std::vector<std::string_view> given;
        std::vector<std::string> expected;  // empty: refused
        bool fake;
    } cases[] = {
        {{"/card", "/mp"}, {"/card", "/mp"}, false},
        {{"/card", "/mp", "-o", "rw"}, {"/card", "/mp", "-o", "rw"}, false},
        {{"/card", "/mp", "-o", "defaults,nofail"}, {"/card", "/mp"}, false},
        {{"/card", "/mp", "-o", "ro,noauto,allow_other,x-systemd.automount,x-systemd.idle-timeout=30,_netdev"},
         {"/card", "/mp", "-o", "ro,allow_other"},
         false},
        {{"/card", "/mp", "-oro,user,users,nouser,auto,comment=systemd.x,owner,group"}, {"/card", "/mp", "-o", "ro"}, false},
        {{"/card", "/mp", "-n", "-s", "-v", "-t", "fuse.quillane", "-o", "nodev"},
         {"/card", "/mp", "-o", "nodev"},
         false},
        {{"-snv", "/card", "/mp", "-tfuse.quillane"}, {"/card", "/mp"}, false},
        {{"/card", "/mp", "-f", "-o", "ro"}, {"/card", "/mp", "-o", "ro"}, true},
        // An fstab line with the owner and mask options of a vfat mount.
        {{"/card", "/mp", "-o", "noauto,allow_other,uid=1000,gid=1000,fmask=0133,dmask=0022"},
         {"/card", "/mp", "-o", "allow_other,uid=1000,gid=1000,fmask=0133,dmask=0022"},
         false},
        {{"/card", "/mp", "-o", "fsname=a\\,b,ro"}, {"/card", "/mp", "-o", "fsname=a\\,b,ro"}, false},
        {{"/card"}, {}, false},
        {{"/card", "/mp", "/extra"}, {}, false},
        {{"/card", "/mp", "-o"}, {}, false},
        {{"/card", "/mp", "-x"}, {}, false},
        {{"/card", "/mp", "-N", "/proc/1/ns/mnt"}, {}, false},
    };
    for (const auto& c : cases) {
        HelperMount mount;
        std::string message;
        const bool accepted = TranslateHelperArguments(c.given, &mount, &message);
        std::string shown;
        for (const std::string_view word : c.given) shown += std::string(word) + " ";
        if (c.expected.empty()) {
            EXPECT_FALSE(accepted) << shown;
            EXPECT_FALSE(message.empty()) << shown;
            continue;
        }
        ASSERT_TRUE(accepted) << shown << message;
        EXPECT_EQ(mount.mount_arguments, c.expected) << shown;
        EXPECT_EQ(mount.fake, c.fake) << shown;
    }
}

class MountHelperProgramTest : public CliTest {};

TEST_F(MountHelperProgramTest, TheProgramCalledByTheHelpersNameIsTheHelper) {
    const std::string helper = Path("mount.fuse.quillane");
    ASSERT_EQ(::symlink(QUILLANE_CLI, helper.c_str()), 0);
    WriteFile("card/a.txt", "a");
    // -f: mount(8)'s "do everything but the mount".
    const RunResult fake = RunProgram(helper, {Path("card"), Path("mp"), "-f", "-o", "defaults"});
    EXPECT_EQ(fake.status, 0) << fake.err;
    const RunResult wrong = RunProgram(helper, {Path("card")});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_TRUE(Holds(wrong.err, "mount.fuse.quillane: needs CARD and MOUNTPOINT")) << wrong.err;
}

TEST_F(MountHelperProgramTest, VersionComesFromTheBuild) {
    for (const char* flag : {"--version", "-V"}) {
        const RunResult version = Run({flag});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, std::string("quillane ") + QUILLANE_VERSION + "\n");
    }
    const RunResult mount_version = Run({"mount", "-V"});
    EXPECT_EQ(mount_version.status, 0);
    EXPECT_TRUE(Holds(mount_version.out, std::string("quillane ") + QUILLANE_VERSION + "\nFUSE library version"))
        << mount_version.out;
}

}  // namespace
}  // namespace quillane::cli::test
