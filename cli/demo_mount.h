// The demo's mount: `quillane mount -f CARD VIEW` run in the background, as
// a child of the demo, and taken down again with fusermount3. Says why when
// a mount is not possible here (no FUSE front end built, no /dev/fuse, the
// mount refused), so the demo can go on without it.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

namespace quillane::cli {

class DemoMount {
public:
    // Empty when a mount may work here; else why it cannot.
    static std::string UnavailableReason();

    // Mounts `card_dir` at `mount_point` and waits until the mount point
    // serves it. The mount's messages go to `log_path`. Gives null with the
    // reason in `why` when the mount does not come up.
    static std::unique_ptr<DemoMount> Start(const std::string& card_dir, const std::string& mount_point,
                                            const std::string& log_path, std::string* why);

    // Unmounts if Stop has not.
    ~DemoMount();
    DemoMount(const DemoMount&) = delete;
    DemoMount& operator=(const DemoMount&) = delete;

    // Unmounts and waits for the mount to end; false with `why` when it
    // had to be forced.
    bool Stop(std::string* why);

private:
    DemoMount(pid_t child, std::string mount_point, std::string log_path)
        : child_(child), mount_point_(std::move(mount_point)), log_path_(std::move(log_path)) {}
    pid_t child_;
    std::string mount_point_;
    std::string log_path_;
    bool stopped_ = false;
};

}  // namespace quillane::cli
