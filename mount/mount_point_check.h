// What `quillane mount` asks of a mount point before it serves a card
// there: an existing empty folder that is not already a mount point and is
// neither the card folder nor inside it. A mount on a file gives every stat
// an error and cannot be unmounted; a second mount stacked on the first, or
// the card served over itself, hides the card from its own server.
#pragma once

#include <string>

namespace quillane::mount {

// An empty string when `mount_point` may serve the card folder `card_dir`
// (both absolute, without symbolic links), else a one-line reason that names
// the mount point.
std::string CheckMountPoint(const std::string& mount_point, const std::string& card_dir);

}  // namespace quillane::mount
