// Tests of the modes the mount shows and of what chmod does, case by case
// as a vfat mount with the same masks has them.
#include "mount/file_modes.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace quillane::mount {
namespace {

OwnerOptions Masks(mode_t file_mask, mode_t folder_mask) {
    OwnerOptions options = DefaultOwnerOptions(0, 0);
    options.file_mask = file_mask;
    options.folder_mask = folder_mask;
    return options;
}

TEST(FileModesTest, ShowsWhatTheMasksLeave) {
    struct {
        mode_t file_mask, folder_mask;
        bool directory, read_only;
        mode_t shown;
    } cases[] = {
        {022, 022, false, false, 0755},  // the defaults: as on vfat, files too are executable
        {022, 022, true, false, 0755},
        {022, 022, false, true, 0555},
        {022, 022, true, true, 0755},  // a folder's read-only attribute is no write protection
        {0133, 022, false, false, 0644},
        {0133, 022, false, true, 0444},
        {0133, 022, true, false, 0755},
        {077, 077, false, false, 0700},
        {077, 077, true, false, 0700},
        {077, 077, false, true, 0500},
        {0, 0, false, false, 0777},
        {0777, 0777, false, false, 0},
        {0137, 027, false, false, 0640},
        {0137, 027, true, false, 0750},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ShownPermissions(Masks(c.file_mask, c.folder_mask), c.directory, c.read_only), c.shown)
            << std::oct << "fmask " << c.file_mask << " dmask " << c.folder_mask << " directory " << c.directory
            << " read-only " << c.read_only;
    }
}

TEST(FileModesTest, ChmodSetsOrClearsTheReadOnlyAttributeOrChangesNothing) {
    struct {
        bool directory;
        mode_t requested;
        int error;
        ModeChange change;
    } cases[] = {
        // chmod a-w, chmod 444, chmod 0: read-only.
        {false, 0555, 0, ModeChange::kSetReadOnly},
        {false, 0444, 0, ModeChange::kSetReadOnly},
        {false, 0, 0, ModeChange::kSetReadOnly},
        // chmod u+w, chmod 644, any write bit: writable.
        {false, 0755, 0, ModeChange::kClearReadOnly},
        {false, 0644, 0, ModeChange::kClearReadOnly},
        {false, 0600, 0, ModeChange::kClearReadOnly},
        {false, 0464, 0, ModeChange::kClearReadOnly},
        {false, 0002, 0, ModeChange::kClearReadOnly},
        // A folder's mode never changes.
        {true, 0555, 0, ModeChange::kNone},
        {true, 0700, 0, ModeChange::kNone},
        // Bits a card cannot hold at all.
        {false, 04755, EPERM, ModeChange::kNone},
        {false, 02644, EPERM, ModeChange::kNone},
        {true, 01777, EPERM, ModeChange::kNone},
    };
    for (const auto& c : cases) {
        ModeChange change = ModeChange::kClearReadOnly;
        EXPECT_EQ(ReadModeChange(c.directory, c.requested, change), c.error) << std::oct << c.requested;
        EXPECT_EQ(change, c.change) << std::oct << c.requested << " directory " << c.directory;
    }
}

}  // namespace
}  // namespace quillane::mount
