// Test support for the FAT layer's tests (see test_card.h).
#include "platform/fat/test_card.h"

#include <sys/xattr.h>

namespace platform::fat {

bool TestCard::HostHasExtendedAttributes() {
    const std::string probe = (dir_ / ".xattr-probe").string();
    std::ofstream(probe) << "";
    const bool supported = setxattr(probe.c_str(), "user.quillane.probe", "1", 1, 0) == 0;
    std::filesystem::remove(probe);
    return supported;
}

bool TestCard::HostKeepsModeBits() {
    const std::string probe = (dir_ / ".mode-probe").string();
    std::ofstream(probe) << "";
    struct stat status {};
    const bool kept = chmod(probe.c_str(), 0444) == 0 && stat(probe.c_str(), &status) == 0 &&
                      (status.st_mode & 0222) == 0;
    std::filesystem::remove(probe);
    return kept;
}

}  // namespace platform::fat
