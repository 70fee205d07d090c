// pack, unpack and cat on ordinary files: round trips of every shape, and
// every way they refuse, each leaving IN as it was and no OUT, not even a
// half one or a temporary file.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>

#include "cli/tests/cli_test_support.h"

namespace quillane::cli::test {
namespace {

class PackTest : public CliTest {
protected:
    // The folder holds exactly `names` besides the registry store: no
    // temporary file is left over.
    void ExpectOnly(std::vector<std::string> names) {
        std::vector<std::string> present = List(".");
        std::erase(present, "registry");
        std::sort(names.begin(), names.end());
        EXPECT_EQ(present, names);
    }
};

const std::string kSignature("\xBE\xEF\x85\xA1", 4);

TEST_F(PackTest, PackThenUnpackGivesBackEveryShapeOfData) {
    const struct {
        const char* name;
        std::string data;
    } cases[] = {
        {"empty", ""},
        {"three bytes", "abc"},
        {"text", TextOfSize(50000)},
        {"one block exactly", TextOfSize(131072)},
        {"several blocks", TextOfSize(3 * 131072 + 17)},
        {"random", RandomOfSize(200000)},
        {"looks like a signature after the start", "x" + kSignature},
    };
    for (const auto& c : cases) {
        WriteFile("in", c.data);
        ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0) << c.name;
        const std::string packed = ReadFile("packed");
        EXPECT_EQ(packed.substr(0, 4), kSignature) << c.name;
        const RunResult unpack = Run({"unpack", Path("packed"), Path("out")});
        ASSERT_EQ(unpack.status, 0) << c.name << unpack.err;
        EXPECT_EQ(ReadFile("out"), c.data) << c.name;
        EXPECT_EQ(ReadFile("in"), c.data) << c.name;
        const RunResult cat = Run({"cat", Path("packed")});
        EXPECT_EQ(cat.status, 0);
        EXPECT_EQ(cat.out, c.data) << c.name;
    }
}

TEST_F(PackTest, ThreeBytesPackIntoOneRawBlockAsTheFormatFixes) {
    WriteFile("in", "abc");
    ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0);
    EXPECT_EQ(ReadFile("packed"), kSignature + std::string("\x03\0\0\0\x03\0\0\0abc", 11));
}

TEST_F(PackTest, TextShrinks) {
    WriteFile("in", TextOfSize(300000));
    ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0);
    EXPECT_LT(ReadFile("packed").size(), 300000u / 10);
}

TEST_F(PackTest, DashMeansStandardInputAndOutput) {
    const std::string data = TextOfSize(400000);
    const RunResult pack = Run({"pack", "-", "-"}, data);
    ASSERT_EQ(pack.status, 0) << pack.err;
    EXPECT_EQ(pack.out.substr(0, 4), kSignature);
    const RunResult unpack = Run({"unpack", "-", "-"}, pack.out);
    ASSERT_EQ(unpack.status, 0) << unpack.err;
    EXPECT_EQ(unpack.out, data);
}

TEST_F(PackTest, OutputReplacesAnExistingFileWhole) {
    WriteFile("in", "new data");
    WriteFile("packed", TextOfSize(100000));
    ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0);
    ASSERT_EQ(Run({"unpack", Path("packed"), Path("out")}).status, 0);
    EXPECT_EQ(ReadFile("out"), "new data");
    ExpectOnly({"in", "packed", "out"});
}

TEST_F(PackTest, AMissingInputFailsAndWritesNothing) {
    for (const char* command : {"pack", "unpack"}) {
        const RunResult result = Run({command, Path("nothing"), Path("out")});
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_TRUE(Holds(result.err, "nothing: No such file or directory")) << result.err;
        EXPECT_FALSE(Exists("out"));
    }
    const RunResult cat = Run({"cat", Path("nothing")});
    EXPECT_EQ(cat.status, 1);
    EXPECT_TRUE(Holds(cat.err, "No such file or directory"));
    ExpectOnly({});
}

TEST_F(PackTest, AFolderIsNoInputAndNoOutput) {
    std::filesystem::create_directories(Path("folder"));
    WriteFile("in", "data");
    const RunResult as_input = Run({"pack", Path("folder"), Path("out")});
    EXPECT_EQ(as_input.status, 1);
    EXPECT_TRUE(Holds(as_input.err, "is a folder"));
    const RunResult as_output = Run({"pack", Path("in"), Path("folder")});
    EXPECT_EQ(as_output.status, 1);
    EXPECT_TRUE(Holds(as_output.err, "is a folder"));
    EXPECT_TRUE(std::filesystem::is_empty(Path("folder")));
    ExpectOnly({"folder", "in"});
}

TEST_F(PackTest, UnpackRefusesAPlainFile) {
    WriteFile("plain.txt", "just some text");
    const RunResult result = Run({"unpack", Path("plain.txt"), Path("out")});
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(Holds(result.err, "is not compressed")) << result.err;
    EXPECT_EQ(ReadFile("plain.txt"), "just some text");
    ExpectOnly({"plain.txt"});
    // A file too short to hold a signature is plain whatever its bytes.
    WriteFile("short", "\xBE\xEF\x85");
    EXPECT_EQ(Run({"unpack", Path("short"), Path("out")}).status, 1);
    EXPECT_EQ(Run({"unpack", "-", "-"}, "").status, 1);
}

TEST_F(PackTest, PackRefusesAFileAlreadyCompressed) {
    WriteFile("in", TextOfSize(1000));
    ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0);
    const RunResult again = Run({"pack", Path("packed"), Path("twice")});
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(Holds(again.err, "already compressed"));
    ExpectOnly({"in", "packed"});
}

TEST_F(PackTest, TheInputIsNeverOverwritten) {
    const std::string data = TextOfSize(5000);
    WriteFile("in", data);
    for (const char* command : {"pack", "unpack"}) {
        const RunResult result = Run({command, Path("in"), Path("in")});
        EXPECT_EQ(result.status, 1) << command;
        EXPECT_TRUE(Holds(result.err, "is the input file itself")) << result.err;
        EXPECT_EQ(ReadFile("in"), data);
    }
    // The same file under another name, and as standard input.
    std::filesystem::create_hard_link(Path("in"), Path("link"));
    EXPECT_EQ(Run({"pack", Path("in"), Path("link")}).status, 1);
    EXPECT_EQ(Run({"pack", Path("in"), Dir() + "/./in"}).status, 1);
    const std::string from_stdin =
        std::string(QUILLANE_CLI) + " pack - " + Path("in") + " <" + Path("in") + " 2>/dev/null";
    EXPECT_EQ(WEXITSTATUS(std::system(from_stdin.c_str())), 1);
    EXPECT_EQ(ReadFile("in"), data);
    ExpectOnly({"in", "link"});
}

TEST_F(PackTest, AnOutputFolderThatCannotBeWrittenLeavesNothing) {
    WriteFile("in", "data");
    const RunResult missing_folder = Run({"pack", Path("in"), Path("no/such/folder/out")});
    EXPECT_EQ(missing_folder.status, 1);
    EXPECT_TRUE(Holds(missing_folder.err, "cannot create a file in")) << missing_folder.err;
    ExpectOnly({"in"});
}

TEST_F(PackTest, AFullDiskFailsTheOutputAndLeavesNoHalfFile) {
    // /dev/full takes no byte: the writing of standard output fails.
    if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    WriteFile("in", TextOfSize(10000));
    ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0);
    const std::string command = std::string(QUILLANE_CLI) + " unpack " + Path("packed") + " - >/dev/full 2>" +
                                Path("err");
    EXPECT_EQ(WEXITSTATUS(std::system(command.c_str())), 1);
    EXPECT_TRUE(Holds(ReadFile("err"), "cannot write standard output")) << ReadFile("err");
}

TEST_F(PackTest, ADamagedFileIsNotUnpackedButCatShowsWhatItCan) {
    WriteFile("in", TextOfSize(2 * 131072));
    ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0);
    std::string packed = ReadFile("packed");
    packed[20] = static_cast<char>(packed[20] ^ 0x55);  // inside the first block's zlib stream
    WriteFile("packed", packed);
    const RunResult unpack = Run({"unpack", Path("packed"), Path("out")});
    EXPECT_EQ(unpack.status, 1);
    EXPECT_TRUE(Holds(unpack.err, "is damaged")) << unpack.err;
    EXPECT_FALSE(Exists("out"));
    const RunResult cat = Run({"cat", Path("packed")});
    EXPECT_EQ(cat.status, 1);
    EXPECT_TRUE(Holds(cat.err, "is damaged"));
    EXPECT_EQ(cat.out.size(), 2u * 131072);  // the damaged block keeps its length, so later data its place
    EXPECT_EQ(cat.out.substr(131072), TextOfSize(2 * 131072).substr(131072));
    ExpectOnly({"in", "packed"});
}

TEST_F(PackTest, CatShowsPlainAndCompressedFilesAndGoesOnPastAMissingOne) {
    WriteFile("plain.txt", "plain\n");
    WriteFile("in", "compressed\n");
    ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0);
    const RunResult cat = Run({"cat", Path("plain.txt"), Path("missing"), Path("packed"), "-"}, "from stdin\n");
    EXPECT_EQ(cat.status, 1);
    EXPECT_EQ(cat.out, "plain\ncompressed\nfrom stdin\n");
    EXPECT_TRUE(Holds(cat.err, "missing"));
}

TEST_F(PackTest, TheOutputGetsTheUsualModeNotTheTemporaryFilesOwnerOnlyMode) {
    WriteFile("in", "data");
    ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0);
    struct stat status {};
    ASSERT_EQ(::stat(Path("packed").c_str(), &status), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(status.st_mode & 0777, 0666 & ~mask);
}

// What kind of node a path is, without following a symbolic link.
std::string KindOf(const std::string& path) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) return "missing";
    if (S_ISLNK(status.st_mode)) return "symbolic link";
    if (S_ISCHR(status.st_mode)) return "character device";
    if (S_ISFIFO(status.st_mode)) return "fifo";
    if (S_ISREG(status.st_mode)) return "regular file";
    return "other";
}

TEST_F(PackTest, OutputsThatAreNotRegularFilesAreWrittenThroughNeverReplaced) {
    const std::string plain = TextOfSize(3000);  // packed or not, it fits in a pipe's buffer
    WriteFile("in", plain);
    ASSERT_EQ(Run({"pack", Path("in"), Path("packed")}).status, 0);
    const std::string packed = ReadFile("packed");
    struct Case {
        const char* what;
        std::function<bool(const std::string& out)> make;  // false: this machine cannot make it
        int status;
        const char* kind_after;
        const char* message;  // on standard error, when it fails
    };
    const Case cases[] = {
        {"a character device that takes everything",
         [](const std::string& out) { return ::mknod(out.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0; }, 0,
         "character device", ""},
        {"a character device that is always full",
         [](const std::string& out) { return ::mknod(out.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0; }, 1,
         "character device", "cannot write"},
        {"a fifo", [](const std::string& out) { return ::mkfifo(out.c_str(), 0666) == 0; }, 0, "fifo", ""},
        {"a symbolic link to a regular file",
         [this](const std::string& out) {
             WriteFile("target", "old");
             return ::symlink(Path("target").c_str(), out.c_str()) == 0;
         },
         0, "symbolic link", ""},
        {"a symbolic link to nothing",
         [this](const std::string& out) { return ::symlink(Path("nowhere").c_str(), out.c_str()) == 0; }, 1,
         "symbolic link", "is a symbolic link to a file that does not exist"},
    };
    for (const auto& c : cases) {
        for (const bool unpack : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (unpack ? ", unpack" : ", pack"));
            const std::string out = Path("out");
            std::filesystem::remove(out);
            std::filesystem::remove(Path("target"));
            if (!c.make(out)) {
                ADD_FAILURE() << "cannot make the node: " << std::strerror(errno);
                continue;
            }
            // The test holds the fifo open for reading and writing, so the
            // command's open does not wait for a reader.
            const int fifo = c.kind_after == std::string("fifo") ? ::open(out.c_str(), O_RDWR | O_NONBLOCK) : -1;
            const RunResult result =
                Run(unpack ? std::vector<std::string>{"unpack", Path("packed"), out}
                           : std::vector<std::string>{"pack", Path("in"), out});
            EXPECT_EQ(result.status, c.status) << result.err;
            if (c.status != 0) {
                EXPECT_TRUE(Holds(result.err, c.message)) << result.err;
            }
            EXPECT_EQ(KindOf(out), c.kind_after) << "the output node was replaced";
            const std::string& expected = unpack ? plain : packed;
            if (fifo >= 0) {
                std::string got(expected.size() + 1, '\0');
                const ssize_t n = ::read(fifo, got.data(), got.size());
                got.resize(n > 0 ? static_cast<size_t>(n) : 0);
                EXPECT_EQ(got, expected);
                ::close(fifo);
            }
            if (c.kind_after == std::string("symbolic link")) {
                if (c.status == 0) {
                    EXPECT_EQ(ReadFile("target"), expected) << "written through the link";
                } else {
                    EXPECT_FALSE(Exists("nowhere"));
                }
            }
            std::filesystem::remove(out);
            std::filesystem::remove(Path("target"));
            ExpectOnly({"in", "packed"});
        }
    }
}

}  // namespace
}  // namespace quillane::cli::test
