// Discovery of the host's removable FAT mounts (see removable_mounts.h).
#include "platform/storage/removable_mounts.h"

#include <fstream>
#include <sstream>

#include "platform/core/utf.h"

namespace platform::storage {
namespace {

// The kernel writes space, tab, newline and backslash in mount fields as
// three octal digits after a backslash.
std::string DecodeField(std::string_view field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string_view digits = field.substr(i + 1, 3);
            if (digits.find_first_not_of("01234567") == std::string_view::npos) {
                out.push_back(static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        out.push_back(field[i]);
    }
    return out;
}

bool UnderRemovableMedia(const std::string& path) {
    for (std::string_view prefix : {"/media/", "/run/media/"}) {
        if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

}  // namespace

std::vector<RemovableMount> ParseRemovableMounts(std::string_view mounts) {
    std::vector<RemovableMount> found;
    std::istringstream lines{std::string(mounts)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string device, mount_point, type;
        if (!(fields >> device >> mount_point >> type)) continue;
        if (type != "vfat" && type != "exfat" && type != "msdos") continue;
        std::string path = DecodeField(mount_point);
        while (path.size() > 1 && path.back() == '/') path.pop_back();
        if (!UnderRemovableMedia(path)) continue;
        std::u16string name;
        if (!Utf8ToUtf16(path.substr(path.rfind('/') + 1), name) || name.empty()) continue;
        found.push_back(RemovableMount{std::move(name), std::move(path)});
    }
    return found;
}

std::vector<RemovableMount> HostRemovableMounts() {
    std::ifstream file("/proc/self/mounts");
    std::ostringstream text;
    text << file.rdbuf();
    return ParseRemovableMounts(text.str());
}

}  // namespace platform::storage
