// Small helpers for raw descriptors.
#pragma once

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <string>
#include <utility>

namespace kvp::internal {

// Owns a descriptor and closes it on every path.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_;
};

// flock that waits through interruptions.
inline bool LockFd(int fd, int op) {
    while (::flock(fd, op) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

// Writes the bytes with as few write calls as the system allows: one, unless the system
// takes only part of them. Appends made this way by several processes do not interleave.
inline bool WriteAll(int fd, const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Creates the directory and its missing parents; false (errno set) when that fails or
// something other than a directory stands at the path.
bool MakeDirs(const std::string& path);

}  // namespace kvp::internal
