// An owned host file descriptor, closed when it goes out of scope. Used by
// the FAT layer for its root directory, the directories it walks and the
// files behind its handles; not a general I/O wrapper.
#pragma once

#include <unistd.h>

#include <utility>

namespace platform::fat {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            Reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }

    // Gives the descriptor up without closing it, to an owner such as a
    // directory stream.
    int Release() { return std::exchange(fd_, -1); }

    // Closes the descriptor now and returns close's errno (0 on success), for
    // the callers that must report a failed close.
    int Close() {
        if (fd_ < 0) return 0;
        const int result = ::close(std::exchange(fd_, -1));
        return result == 0 ? 0 : errno;
    }

private:
    void Reset() {
        if (fd_ >= 0) ::close(std::exchange(fd_, -1));
    }
    int fd_ = -1;
};

}  // namespace platform::fat
