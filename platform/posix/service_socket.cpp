// The control socket $KVTFTP_STATE_DIR/run/<name>.sock: one connection per control, a
// request of two 32-bit words (a magic number and the control code) and a reply of the
// result code and the seven status fields, in host byte order (both ends are on this
// machine).
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "kv/debug.h"
#include "posix_io.h"
#include "service_internal.h"
#include "wait_internal.h"

namespace kvp::internal {

namespace {

constexpr uint32_t kControlMagic = 0x4B565343;  // "KVSC"
// Windows waits this long for a handler to return.
constexpr int kControlReplyMs = 30000;
// A client sends its request at once; one that does not must not hold up the service.
constexpr int kControlRequestMs = 2000;

struct ControlReply {
    uint32_t result;
    ServiceStatus status;
};

bool SocketAddress(const std::string& name, sockaddr_un* addr) {
    const std::string path = RunFile(name, ".sock");
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

ssize_t ReadWithin(int fd, void* buf, size_t len, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < len) {
        const auto left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        const int w = ControlledWait(fd, POLLIN, left.count() > 0 ? left.count() : 0);
        if (w < 0) return -1;
        if (w == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        const ssize_t n = ::read(fd, p + got, len - got);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

long SendControl(const std::string& name, uint32_t control, ServiceStatus* status) {
    sockaddr_un addr;
    std::string dir;
    // A socket in a directory that another user can change may be anyone's.
    if (!StateSubdir("run", false, &dir)) {
        CurrentStatus(name, status);
        return kErrorServiceNotActive;
    }
    Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const uint32_t request[2] = {kControlMagic, control};
    ControlReply reply{};
    if (s.get() >= 0 && SocketAddress(name, &addr) &&
        ::connect(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::send(s.get(), request, sizeof request, MSG_NOSIGNAL) == sizeof request) {
        const ssize_t n = ReadWithin(s.get(), &reply, sizeof reply, kControlReplyMs);
        if (n == static_cast<ssize_t>(sizeof reply)) {
            *status = reply.status;
            return reply.result;
        }
        if (n < 0 && errno == ETIMEDOUT) {
            CurrentStatus(name, status);
            return kErrorServiceRequestTimeout;
        }
    }
    // No dispatcher listens, or it went away before it answered.
    CurrentStatus(name, status);
    return kErrorServiceNotActive;
}

int ListenControlSocket(const std::string& name) {
    sockaddr_un addr;
    std::string dir;
    if (!StateSubdir("run", true, &dir) || !SocketAddress(name, &addr)) return -1;
    Fd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (s.get() < 0) return -1;
    // Left by a dispatcher that died; the caller holds the host lock, so it is no one's.
    ::unlink(addr.sun_path);
    // Linux gives the socket file the mode of the socket (cut by the umask), so it is
    // owner-only from the moment it exists; set again on the file for certainty. Peers
    // are checked as well (PeerMayControl).
    if (::fchmod(s.get(), 0600) != 0 ||
        ::bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return -1;
    if (::chmod(addr.sun_path, 0600) != 0 || ::listen(s.get(), 16) != 0) {
        const int err = errno;
        ::unlink(addr.sun_path);
        errno = err;
        return -1;
    }
    return s.release();
}

bool PeerMayControl(int fd) {
    ucred peer{};
    socklen_t len = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) == 0 && len == sizeof peer &&
        (peer.uid == ::geteuid() || peer.uid == 0))
        return true;
    char line[128];
    std::snprintf(line, sizeof line, "kvtftp: control from uid %ld (pid %ld) refused\n",
                  len == sizeof peer ? static_cast<long>(peer.uid) : -1L,
                  len == sizeof peer ? static_cast<long>(peer.pid) : -1L);
    OutputDebugStringA(line);
    return false;
}

bool ReadControlRequest(int fd, uint32_t* control) {
    uint32_t request[2];
    if (ReadWithin(fd, request, sizeof request, kControlRequestMs) != sizeof request) return false;
    if (request[0] != kControlMagic) return false;
    *control = request[1];
    return true;
}

void WriteControlReply(int fd, long result, const ServiceStatus& status) {
    const ControlReply reply{static_cast<uint32_t>(result), status};
    ::send(fd, &reply, sizeof reply, MSG_NOSIGNAL);
}

}  // namespace kvp::internal
