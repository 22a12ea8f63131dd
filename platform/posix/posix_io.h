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

// How long a lock that another process can hold is waited for. Far beyond what a holder
// needs (a registry change or an event log trim takes milliseconds), yet a fraction of
// the 30 s the manager gives a control: a stuck or hostile holder makes the call fail
// instead of hanging a stop or a settings change.
constexpr int kLockWaitMs = 10000;

// The bound in use: kLockWaitMs unless a test shortened it.
int LockWaitMs();
void SetLockWaitMsForTests(int ms);

// flock within timeout_ms (polling, since flock has no time-out of its own); false with
// errno, ETIMEDOUT when the lock stayed taken.
bool LockFdWithin(int fd, int op, int timeout_ms);

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

// The state directory (sub empty) or one of its subdirectories, after checking that it
// and the state directory are real directories (no link) owned by this user and not
// writable by group or others. With create, missing ones are made owner-only whatever
// the umask. False with errno: ENOENT when absent (and !create), EACCES when refused; a
// refusal is also reported once on standard error, naming the path and the reason.
bool StateSubdir(const char* sub, bool create, std::string* path);

// Creates a new file beside target under a unique name (target + ".XXXXXX"), exclusively
// and without following a link, with mode exactly (the umask does not apply): the
// descriptor, with *temp naming it; -1 with errno.
int CreateTempBeside(const std::string& target, unsigned mode, std::string* temp);

}  // namespace kvp::internal
