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

}  // namespace platform::fat
