// Tests of the owner and mask options: one option at a time, and taken out
// of a whole command line with FUSE's own options left in place.
#include "mount/mount_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillane::mount {
namespace {

TEST(OwnerOptionTest, ReadsOrRefusesOneOption) {
    struct {
        const char* option;
        OwnerOptionResult result;
        uid_t owner;
        gid_t group;
        mode_t file_mask;
        mode_t folder_mask;
    } cases[] = {
        {"uid=1000", OwnerOptionResult::kTaken, 1000, 50, 022, 022},
        {"gid=0", OwnerOptionResult::kTaken, 7, 0, 022, 022},
        {"uid=4294967294", OwnerOptionResult::kTaken, 4294967294u, 50, 022, 022},
        {"umask=077", OwnerOptionResult::kTaken, 7, 50, 077, 077},
        {"umask=0", OwnerOptionResult::kTaken, 7, 50, 0, 0},
        {"fmask=0133", OwnerOptionResult::kTaken, 7, 50, 0133, 022},
        {"dmask=0022", OwnerOptionResult::kTaken, 7, 50, 022, 022},
        {"dmask=777", OwnerOptionResult::kTaken, 7, 50, 022, 0777},
        // FUSE's own options, and names that only begin like ours.
        {"allow_other", OwnerOptionResult::kNotOwnerOption, 7, 50, 022, 022},
        {"ro", OwnerOptionResult::kNotOwnerOption, 7, 50, 022, 022},
        {"fsname=uid=5", OwnerOptionResult::kNotOwnerOption, 7, 50, 022, 022},
        {"uidx=5", OwnerOptionResult::kNotOwnerOption, 7, 50, 022, 022},
        // Bad values: nothing changes.
        {"uid=", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"uid=-1", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"uid=4294967295", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"uid=99999999999", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"uid=root", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"gid=12a", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"gid= 5", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"umask=", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"umask=8", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"fmask=1000", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"dmask=0x1f", OwnerOptionResult::kBad, 7, 50, 022, 022},
        {"dmask=-22", OwnerOptionResult::kBad, 7, 50, 022, 022},
    };
    for (const auto& c : cases) {
        OwnerOptions options = DefaultOwnerOptions(7, 50);
        std::string why;
        EXPECT_EQ(TakeOwnerOption(c.option, options, why), c.result) << c.option;
        EXPECT_EQ(options.owner, c.owner) << c.option;
        EXPECT_EQ(options.group, c.group) << c.option;
        EXPECT_EQ(options.file_mask, c.file_mask) << c.option;
        EXPECT_EQ(options.folder_mask, c.folder_mask) << c.option;
        EXPECT_EQ(why.empty(), c.result != OwnerOptionResult::kBad) << c.option << ": " << why;
    }
}

// The arguments left for FUSE, joined by spaces.
std::string Remaining(const fuse_args& args) {
    std::string joined;
    for (int i = 0; i < args.argc; ++i) joined += (i > 0 ? " " : "") + std::string(args.argv[i]);
    return joined;
}

TEST(OwnerOptionTest, TakesOwnerOptionsOutOfACommandLine) {
    struct {
        std::vector<std::string> words;
        bool ok;
        std::string remaining;
        OwnerOptions expected;
    } cases[] = {
        {{"quillane mount", "card", "mnt"}, true, "quillane mount card mnt", {7, 50, 022, 022}},
        {{"quillane mount", "-o", "allow_other,uid=5,fmask=0133", "card", "mnt"},
         true,
         "quillane mount -o allow_other card mnt",
         {5, 50, 0133, 022}},
        {{"quillane mount", "-ouid=5", "-o", "ro", "card", "mnt"}, true, "quillane mount -o ro card mnt",
         {5, 50, 022, 022}},
        {{"quillane mount", "-f", "-o", "umask=077,dmask=0022", "card", "mnt"},
         true,
         "quillane mount -f card mnt",
         {7, 50, 077, 022}},
        {{"quillane mount", "-o", "gid=6,gid=8", "card", "mnt"}, true, "quillane mount card mnt", {7, 8, 022, 022}},
        {{"quillane mount", "-o", "allow_other,umask=999", "card", "mnt"}, false, "", {}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> words = c.words;
        std::vector<char*> argv;
        for (std::string& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        fuse_args args = FUSE_ARGS_INIT(static_cast<int>(argv.size()) - 1, argv.data());
        OwnerOptions options = DefaultOwnerOptions(7, 50);
        EXPECT_EQ(TakeOwnerOptions(args, options), c.ok) << c.remaining;
        if (c.ok) {
            EXPECT_EQ(Remaining(args), c.remaining);
            EXPECT_EQ(options.owner, c.expected.owner) << c.remaining;
            EXPECT_EQ(options.group, c.expected.group) << c.remaining;
            EXPECT_EQ(options.file_mask, c.expected.file_mask) << c.remaining;
            EXPECT_EQ(options.folder_mask, c.expected.folder_mask) << c.remaining;
        }
        fuse_opt_free_args(&args);
    }
}

}  // namespace
}  // namespace quillane::mount
