// A card folder whose host closes fail, for the tests of any layer: starts
// failing-close-host (failing_close_host.cc) over a backing folder and serves
// it at a mount point until the object goes. Files read and write as on any
// folder; close(2) and fsync of files whose name matches the glob answer EIO
// after their work is done.
//
// Where /dev/fuse is missing or mounting is refused, Start says why and the
// test skips. Teardown always unmounts (lazily if it must) and reaps the host.
#pragma once

#include <sys/types.h>

#include <string>

namespace quillane::test_hosts {

class FailingCloseHost {
public:
    FailingCloseHost() = default;
    ~FailingCloseHost();
    FailingCloseHost(const FailingCloseHost&) = delete;
    FailingCloseHost& operator=(const FailingCloseHost&) = delete;

    // Serves `backing` (an existing folder) at `mount_point` (made when
    // missing). False with the reason in `why` when it cannot.
    bool Start(const std::string& backing, const std::string& mount_point, std::string* why,
               const std::string& fail_glob = "*");
    // Unmounts and waits for the host to end; true when it unmounted cleanly.
    bool Stop();

private:
    pid_t child_ = -1;
    std::string mount_point_;
};

}  // namespace quillane::test_hosts
