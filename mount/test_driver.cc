// The mount as a program of its own for the mount's tests and bench:
// `quillane-mount-test-driver [-f] [-o OPTIONS] CARD_DIR MOUNTPOINT` runs
// exactly what `quillane mount` runs. Not installed, not for users.
#include <string_view>
#include <vector>

#include "mount/run_mount.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    return quillane::mount::RunMount(arguments);
}
