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
        mode_t mask;
        bool directory, read_only;
        mode_t requested;
        int error;
        ModeChange change;
    } cases[] = {
        // chmod a-w and chmod u+w on a file shown 0755 / 0555.
        {022, false, false, 0555, 0, ModeChange::kSetReadOnly},
        {022, false, true, 0755, 0, ModeChange::kClearReadOnly},
        // Group or other write bits are masked away before they count.
        {022, false, true, 0777, 0, ModeChange::kClearReadOnly},
        {022, false, false, 0575, 0, ModeChange::kSetReadOnly},
        // The same with the usual file modes.
        {0133, false, false, 0444, 0, ModeChange::kSetReadOnly},
        {0133, false, true, 0644, 0, ModeChange::kClearReadOnly},
        {0133, false, false, 0644, 0, ModeChange::kClearReadOnly},  // as it is
        {0133, false, false, 0755, 0, ModeChange::kClearReadOnly},  // x bits masked away
        // Read or execute bits the masks do not give: accepted, nothing done.
        {022, false, false, 0644, 0, ModeChange::kNone},
        {022, false, false, 0700, 0, ModeChange::kNone},
        {0133, false, false, 0600, 0, ModeChange::kNone},
        {0133, false, false, 0, 0, ModeChange::kNone},
        // Only some of the write bits the mask allows.
        {0, false, true, 0755, 0, ModeChange::kNone},
        {0, false, true, 0777, 0, ModeChange::kClearReadOnly},
        {0, false, false, 0555, 0, ModeChange::kSetReadOnly},
        // A folder's mode never changes.
        {022, true, false, 0555, 0, ModeChange::kNone},
        {022, true, false, 0700, 0, ModeChange::kNone},
        {022, true, false, 0755, 0, ModeChange::kNone},
        // Bits a card cannot hold at all.
        {022, false, false, 04755, EPERM, ModeChange::kNone},
        {022, false, false, 02755, EPERM, ModeChange::kNone},
        {022, true, false, 01755, EPERM, ModeChange::kNone},
    };
    for (const auto& c : cases) {
        ModeChange change = ModeChange::kClearReadOnly;
        EXPECT_EQ(ReadModeChange(Masks(c.mask, c.mask), c.directory, c.read_only, c.requested, change), c.error)
            << std::oct << "mask " << c.mask << " requested " << c.requested;
        EXPECT_EQ(change, c.change) << std::oct << "mask " << c.mask << " requested " << c.requested
                                    << " directory " << c.directory << " read-only " << c.read_only;
    }
}

}  // namespace
}  // namespace quillane::mount
