// Damaged compressed files through a real mount: every open for writing
// answers EIO, a reader meets EIO where the damage is, and the card file
// stays exactly as it was, so that nothing a program does through the mount
// can turn what still decodes into a shorter file that looks sound.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "mount/mount_fixture.h"
#include "tests/damaged_forms.h"

namespace quillane::mount_test {
namespace {

using DamagedTest = MountTest;

TEST_F(DamagedTest, EveryDamagedFormAnswersEioAndStaysAsItWas) {
    ASSERT_EQ(WriteFile(Mounted("sound.txt"), CompressibleBytes(3 * 131072 + 500, 3)), 0);
    const std::optional<Bytes> sound = ReadFile(OnCard("sound.txt"));
    ASSERT_TRUE(sound && HasSignature(*sound));
    const auto forms = test_forms::DamagedForms(*sound);
    for (size_t i = 0; i < forms.size(); ++i) {
        const std::string name = "damaged" + std::to_string(i) + ".txt";
        ASSERT_EQ(WriteFile(OnCard(name), forms[i].bytes), 0);
    }
    for (size_t i = 0; i < forms.size(); ++i) {
        SCOPED_TRACE(forms[i].what);
        const std::string name = "damaged" + std::to_string(i) + ".txt";
        // Opening it to write would re-encode what decodes over the file.
        for (const int flags : {O_RDWR, O_WRONLY}) {
            errno = 0;
            const int fd = ::open(Mounted(name).c_str(), flags);
            EXPECT_EQ(fd, -1) << "flags " << flags;
            EXPECT_EQ(errno, EIO) << "flags " << flags;
            if (fd >= 0) ::close(fd);
        }
        // Reading alone changes nothing, so it opens; the sound blocks read
        // as they are, and a program that reads to the end meets the damage.
        const int fd = ::open(Mounted(name).c_str(), O_RDONLY);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        char buffer[65536];
        ssize_t n;
        do {
            n = ::read(fd, buffer, sizeof buffer);
        } while (n > 0);
        EXPECT_EQ(n, -1) << "the whole file read without an error";
        EXPECT_EQ(errno, EIO);
        ::close(fd);
        EXPECT_EQ(ReadFile(OnCard(name)), forms[i].bytes) << "the card file changed";
    }
    std::vector<std::string> expected = {"sound.txt"};
    for (size_t i = 0; i < forms.size(); ++i) expected.push_back("damaged" + std::to_string(i) + ".txt");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(CardRootNamesOnceSettled(expected), expected) << "an expansion file stayed behind";
}

}  // namespace
}  // namespace quillane::mount_test
