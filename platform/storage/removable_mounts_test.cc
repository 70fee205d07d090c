// Tests of the discovery of the host's removable FAT mounts from the text of
// /proc/self/mounts.
#include "platform/storage/removable_mounts.h"

#include <gtest/gtest.h>

namespace platform::storage {
namespace {

TEST(RemovableMountsTest, FindsFatMountsUnderTheMediaFolders) {
    struct Case {
        std::string line;
        std::u16string name;  // empty: not a card
        std::string path;
    } cases[] = {
        {"/dev/sdb1 /media/alice/CARD vfat rw,nosuid 0 0", u"CARD", "/media/alice/CARD"},
        {"/dev/sdc1 /run/media/bob/SD exfat rw 0 0", u"SD", "/run/media/bob/SD"},
        {"/dev/sdd1 /media/Storage\\040Card msdos rw 0 0", u"Storage Card", "/media/Storage Card"},
        {"/dev/sde1 /media/caf\xc3\xa9/K\xc3\xa4rtchen vfat rw 0 0", u"K\u00e4rtchen", "/media/caf\xc3\xa9/K\xc3\xa4rtchen"},
        {"/dev/sdf1 /media/usb/ ext4 rw 0 0", u"", ""},
        {"/dev/sdg1 /mnt/card vfat rw 0 0", u"", ""},
        {"/dev/sdh1 /media vfat rw 0 0", u"", ""},
        {"/dev/sdi1 /mediastore/x vfat rw 0 0", u"", ""},
        {"proc /proc proc rw 0 0", u"", ""},
        {"garbage", u"", ""},
    };
    for (const Case& c : cases) {
        const auto found = ParseRemovableMounts(c.line + "\n");
        if (c.name.empty()) {
            EXPECT_TRUE(found.empty()) << c.line;
        } else {
            ASSERT_EQ(found.size(), 1u) << c.line;
            EXPECT_EQ(found[0].folder_name, c.name) << c.line;
            EXPECT_EQ(found[0].host_path, c.path) << c.line;
        }
    }
}

TEST(RemovableMountsTest, KeepsTheListedOrder) {
    const auto found = ParseRemovableMounts(
        "/dev/a /media/u/ZED vfat rw 0 0\n"
        "tmpfs /tmp tmpfs rw 0 0\n"
        "/dev/b /media/u/ALPHA vfat rw 0 0\n");
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].folder_name, u"ZED");
    EXPECT_EQ(found[1].folder_name, u"ALPHA");
}

}  // namespace
}  // namespace platform::storage
