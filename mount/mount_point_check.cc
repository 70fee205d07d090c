// What `quillane mount` asks of a mount point (see mount_point_check.h).
#include "mount/mount_point_check.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "mount/mount_points.h"

namespace quillane::mount {

std::string CheckMountPoint(const std::string& mount_point, const std::string& card_dir) {
    struct stat status {};
    if (::stat(mount_point.c_str(), &status) != 0) return mount_point + ": " + std::strerror(errno);
    if (!S_ISDIR(status.st_mode)) return mount_point + ": is not a folder; the mount point must be an empty folder";
    const std::filesystem::path point(mount_point), card(card_dir);
    const auto [card_end, point_at] = std::mismatch(card.begin(), card.end(), point.begin(), point.end());
    if (card_end == card.end()) {
        return mount_point + ": is the card folder or inside it; the mount point must lie outside the card";
    }
    struct stat parent {};
    const bool on_other_device = ::stat((mount_point + "/..").c_str(), &parent) == 0 && parent.st_dev != status.st_dev;
    if (on_other_device || IsMountPoint(mount_point)) {
        return mount_point + ": is already a mount point; unmount it first (fusermount3 -u " + mount_point + ")";
    }
    std::error_code error;
    if (!std::filesystem::is_empty(point, error) || error) {
        return mount_point + ": is not empty; the mount point must be an empty folder";
    }
    return {};
}

}  // namespace quillane::mount
