// Whether a folder is a mount point right now, from /proc/self/mountinfo.
// For the mount's tests, the reliability tests and the mount bench, which
// wait for a mount to come and go; the mount itself does not use it.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

namespace quillane::mount {

inline bool IsMountPoint(const std::string& folder) {
    std::ifstream mounts("/proc/self/mountinfo");
    std::string line;
    while (std::getline(mounts, line)) {
        std::istringstream fields(line);
        std::string id, parent, device, root, point;
        fields >> id >> parent >> device >> root >> point;
        if (point == folder) return true;
    }
    return false;
}

}  // namespace quillane::mount
