#include "kv/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/send_run.h"
#include "common/services_file.h"
#include "kv/errors.h"
#include "resolver_errors.h"
#include "wait_internal.h"

namespace kvp {

const int kErrMsgSize = EMSGSIZE;
const int kErrHostNotFound = internal::kErrHostNotFoundValue;

namespace {

std::atomic<int> g_startups{0};

// Records a failure as the socket layer's last error; errno keeps the same number.
int Fail(int err) {
    SetLastSocketError(err);
    errno = err;
    return -1;
}

bool ValidFd(socket_t s) {
    return s >= 0 && s <= INT_MAX;
}

sockaddr_in ToSockaddr(const SockAddr4& a) {
    sockaddr_in sin{};
    sin.sin_family = a.family == kAfInet ? AF_INET : static_cast<sa_family_t>(a.family);
    sin.sin_port = a.port;
    sin.sin_addr.s_addr = a.addr;
    return sin;
}

SockAddr4 FromSockaddr(const sockaddr_in& sin) {
    SockAddr4 a;
    a.family = sin.sin_family == AF_INET ? kAfInet : static_cast<uint16_t>(sin.sin_family);
    a.port = sin.sin_port;
    a.addr = sin.sin_addr.s_addr;
    return a;
}

using Clock = std::chrono::steady_clock;

// A wait in microseconds; very long waits are capped at about 68 years rather than
// overflowing.
int64_t Micros(long sec, long usec) {
    const int64_t max_sec = INT_MAX;
    const int64_t secs = sec > max_sec ? max_sec : sec;
    return secs * 1000000 + usec;
}

int WaitFor(socket_t s, short events, long sec, long usec) {
    if (!ValidFd(s)) return Fail(EBADF);
    if (sec < 0 || usec < 0) return Fail(EINVAL);
    int r = internal::ControlledWait(static_cast<int>(s), events, Micros(sec, usec));
    if (r < 0) return Fail(errno);
    return r;
}

// The receive time-out (SO_RCVTIMEO) each socket has, in microseconds plus one, or 0 for
// none (a fresh socket's), so that a timed receive sets it only when it changes. Indexed
// by descriptor: every socket of this layer comes from UdpSocket and goes through
// CloseSocket, which both clear its entry, so an entry never outlives its socket. A
// socket beyond the table sets its time-out on every timed receive.
constexpr int kTimeoutSlots = 16384;
std::atomic<int64_t> g_recvTimeouts[kTimeoutSlots];

std::atomic<int64_t>* TimeoutSlot(socket_t s) {
    return s >= 0 && s < kTimeoutSlots ? &g_recvTimeouts[s] : nullptr;
}

void ForgetRecvTimeout(socket_t s) {
    if (std::atomic<int64_t>* slot = TimeoutSlot(s)) slot->store(0, std::memory_order_relaxed);
}

// A precise wait of a transfer's socket until the deadline: 1 ready, 0 time-out, -1 error
// (errno set). Like the blocking receive it needs no wake descriptor: terminate shuts the
// socket down, which ends the poll, and a suspend holds the thread when the poll returns,
// after which it looks again (at least once without waiting) before it reports.
int PollUntil(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        if (internal::BeginBlockingCall(fd) < 0) {
            errno = ECANCELED;
            return -1;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        timespec ts{};
        if (left.count() > 0) {
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
        }
        pollfd pfd{fd, events, 0};
        const int r = ::ppoll(&pfd, 1, &ts, nullptr);
        const int err = errno;
        const int held = internal::EndBlockingCall();
        if (held < 0) {
            errno = ECANCELED;
            return -1;
        }
        if (r < 0 && err != EINTR) {
            errno = err;
            return -1;
        }
        if (r > 0 && (pfd.revents & POLLNVAL)) {
            errno = EBADF;
            return -1;
        }
        if (held > 0) continue;
        if (r > 0) return 1;
        if (r == 0 && Clock::now() >= deadline) return 0;
    }
}

// What a receive's wait leaves to a precise timer beyond an eighth of it (see
// RecvWithin): a little more than a system tick (10 ms at 100 Hz).
constexpr int64_t kCoarseTimerMarginUs = 20 * 1000;

// A reply from a peer on the same machine comes within tens of microseconds, and waking a
// thread that sleeps for it costs about as much again. A receive therefore first looks
// for its datagram for a short while without sleeping, but only while few receives wait
// at all (a transfer or two, beside the listener): many transfers at once need the
// processors for their peers, and then every receive sleeps at once. Only one thread per
// spare processor looks at a time.
constexpr int64_t kSpinUs = 40;
std::atomic<int> g_spinners{0};
std::atomic<int> g_receivers{0};

int Processors() {
    static const int n = [] {
        const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
        return online > 0 ? static_cast<int>(online) : 1;
    }();
    return n;
}

// Counts the receives that wait, for the choice above.
struct ReceiverCount {
    ReceiverCount() { g_receivers.fetch_add(1, std::memory_order_relaxed); }
    ~ReceiverCount() { g_receivers.fetch_sub(1, std::memory_order_relaxed); }
    ReceiverCount(const ReceiverCount&) = delete;
    ReceiverCount& operator=(const ReceiverCount&) = delete;
};

// Whether more threads are ready to run than there are processors, from the running
// count of /proc/loadavg, read at most every 100 ms: looking then takes processor time
// that the peer or other programs need.
constexpr int64_t kLoadSampleUs = 100 * 1000;
std::atomic<int64_t> g_nextLoadSample{0};
std::atomic<bool> g_processorsBusy{false};

bool ProcessorsBusy(Clock::time_point now) {
    const int64_t us =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    int64_t due = g_nextLoadSample.load(std::memory_order_relaxed);
    if (us >= due && g_nextLoadSample.compare_exchange_strong(due, us + kLoadSampleUs)) {
        char text[128] = {};
        const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
        const ssize_t n = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
        if (fd >= 0) ::close(fd);
        int running = 0;
        // "0.50 0.40 0.30 RUNNING/TOTAL LASTPID"
        if (n > 0 && std::sscanf(text, "%*f %*f %*f %d/", &running) == 1)
            g_processorsBusy.store(running > Processors(), std::memory_order_relaxed);
    }
    return g_processorsBusy.load(std::memory_order_relaxed);
}

// A thread whose looking found nothing (its peer is slow, or the processors are busy
// with others) skips it for its next receives, twice as many after each miss up to 64.
constexpr unsigned kMaxSpinSkip = 64;
thread_local unsigned t_spinSkip = 0;
thread_local unsigned t_spinPenalty = 0;

// The datagram if one comes within the spin (or before the deadline, when sooner), else
// -1 with EAGAIN; also -1 with EAGAIN at once when looking does not pay (see above). now
// is the receive's start, read once for the load sample and the spin.
ssize_t SpinReceive(int fd, void* buf, size_t len, sockaddr_in* from, socklen_t* flen,
                    Clock::time_point now, Clock::time_point deadline) {
    if (t_spinSkip > 0) {
        --t_spinSkip;
        errno = EAGAIN;
        return -1;
    }
    if (g_receivers.load(std::memory_order_relaxed) > Processors() + 1 || ProcessorsBusy(now)) {
        errno = EAGAIN;
        return -1;
    }
    int busy = g_spinners.load(std::memory_order_relaxed);
    if (busy >= Processors() - 1 ||
        !g_spinners.compare_exchange_strong(busy, busy + 1, std::memory_order_acquire)) {
        errno = EAGAIN;
        return -1;
    }
    const Clock::time_point until = std::min(now + std::chrono::microseconds(kSpinUs), deadline);
    ssize_t n;
    do {
        n = ::recvfrom(fd, buf, len, MSG_TRUNC | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(from),
                       from ? flen : nullptr);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) break;
    } while (Clock::now() < until);
    const int err = errno;
    g_spinners.fetch_sub(1, std::memory_order_release);
    if (n >= 0) {
        t_spinPenalty = 0;
    } else if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR) {
        // Only a look that found nothing is a miss; a socket error ends the receive.
        t_spinPenalty = std::min(kMaxSpinSkip, std::max(1u, t_spinPenalty * 2));
        t_spinSkip = t_spinPenalty;
    }
    errno = err;
    return n;
}

// Gives the socket a receive time-out of us microseconds (0: none) unless it has it.
bool SetRecvTimeout(socket_t s, int64_t us) {
    const int64_t mark = us > 0 ? us + 1 : 0;
    std::atomic<int64_t>* slot = TimeoutSlot(s);
    if (slot && slot->load(std::memory_order_relaxed) == mark) return true;
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(us / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
    if (::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0)
        return false;
    if (slot) slot->store(mark, std::memory_order_relaxed);
    return true;
}

// Receives one datagram whole or not at all: MSG_TRUNC makes the system report the
// datagram's real length, so one larger than the room is consumed and refused.
int ReceiveOne(socket_t s, void* buf, int room, sockaddr_in* from) {
    if (!ValidFd(s)) return Fail(EBADF);
    if (room < 0 || (room > 0 && !buf)) return Fail(EINVAL);
    // A plain receive waits as long as it takes, whatever a timed one left behind.
    if (!SetRecvTimeout(s, 0)) return Fail(errno);
    for (;;) {
        socklen_t flen = sizeof(sockaddr_in);
        ssize_t n = ::recvfrom(static_cast<int>(s), buf, static_cast<size_t>(room), MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(from), from ? &flen : nullptr);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        if (n > room) return Fail(EMSGSIZE);
        return static_cast<int>(n);
    }
}

int SendOne(socket_t s, const void* buf, int len, const sockaddr_in* to) {
    if (!ValidFd(s)) return Fail(EBADF);
    if (len < 0 || (len > 0 && !buf)) return Fail(EINVAL);
    for (;;) {
        ssize_t n = ::sendto(static_cast<int>(s), buf, static_cast<size_t>(len), MSG_NOSIGNAL,
                             reinterpret_cast<const sockaddr*>(to), to ? sizeof(sockaddr_in) : 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(errno);
        }
        return static_cast<int>(n);
    }
}

int ResolverError(int gai) {
    switch (gai) {
        case EAI_NONAME:
#ifdef EAI_NODATA
        case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
#endif
            return internal::kErrHostNotFoundValue;
        case EAI_AGAIN:
            return internal::kErrTryAgainValue;
        case EAI_SYSTEM:
            return errno ? errno : internal::kErrNoRecoveryValue;
        case EAI_MEMORY:
            return ENOMEM;
        default:
            return internal::kErrNoRecoveryValue;
    }
}

int HostError(int herr) {
    switch (herr) {
        case HOST_NOT_FOUND:
            return internal::kErrHostNotFoundValue;
        case TRY_AGAIN:
            return internal::kErrTryAgainValue;
        case NO_DATA:
            return internal::kErrNoDataValue;
        default:
            return internal::kErrNoRecoveryValue;
    }
}

}  // namespace

uint16_t HostToNet16(uint16_t v) {
    return htons(v);
}
uint16_t NetToHost16(uint16_t v) {
    return ntohs(v);
}
uint32_t HostToNet32(uint32_t v) {
    return htonl(v);
}
uint32_t NetToHost32(uint32_t v) {
    return ntohl(v);
}

int NetStartup(uint16_t* granted) {
    if (granted) *granted = 0x0101;
    g_startups.fetch_add(1);
    return 0;
}

void NetCleanup() {
    int n = g_startups.load();
    while (n > 0 && !g_startups.compare_exchange_weak(n, n - 1)) {
    }
}

socket_t UdpSocket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Fail(errno);
        return kInvalidSocket;
    }
    ForgetRecvTimeout(fd);
    return fd;
}

int CloseSocket(socket_t s) {
    if (!ValidFd(s)) return Fail(EBADF);
    ForgetRecvTimeout(s);
    // A close interrupted by a signal has still released the descriptor on Linux.
    if (::close(static_cast<int>(s)) < 0 && errno != EINTR) return Fail(errno);
    return 0;
}

int Bind(socket_t s, const SockAddr4& addr) {
    if (!ValidFd(s)) return Fail(EBADF);
    sockaddr_in sin = ToSockaddr(addr);
    if (::bind(static_cast<int>(s), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) < 0)
        return Fail(errno);
    return 0;
}

int Connect(socket_t s, const SockAddr4& addr) {
    if (!ValidFd(s)) return Fail(EBADF);
    sockaddr_in sin = ToSockaddr(addr);
    int r;
    do {
        r = ::connect(static_cast<int>(s), reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return Fail(errno);
    return 0;
}

int GetSockName(socket_t s, SockAddr4* addr) {
    if (!ValidFd(s)) return Fail(EBADF);
    if (!addr) return Fail(EFAULT);
    sockaddr_in sin{};
    socklen_t len = sizeof sin;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sin), &len) < 0)
        return Fail(errno);
    *addr = FromSockaddr(sin);
    return 0;
}

int ShutdownSocket(socket_t s) {
    if (!ValidFd(s)) return Fail(EBADF);
    // A receive blocked on the socket returns at once (with 0 bytes).
    if (::shutdown(static_cast<int>(s), SHUT_RDWR) < 0) return Fail(errno);
    return 0;
}

int GetReceiveBufferSize(socket_t s) {
    if (!ValidFd(s)) return Fail(EBADF);
    int v = 0;
    socklen_t len = sizeof v;
    if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &v, &len) != 0) return Fail(errno);
    return v;
}

int SetSocketBufferSizes(socket_t s, int bytes) {
    if (!ValidFd(s)) return Fail(EBADF);
    // The system caps both at its own maximum; what it granted is read back.
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    return GetReceiveBufferSize(s);
}

int WaitReadable(socket_t s, long sec, long usec) {
    return WaitFor(s, POLLIN, sec, usec);
}
int WaitWritable(socket_t s, long sec, long usec) {
    return WaitFor(s, POLLOUT, sec, usec);
}

int Send(socket_t s, const void* buf, int len) {
    return SendOne(s, buf, len, nullptr);
}

int SendTo(socket_t s, const void* buf, int len, const SockAddr4& to) {
    sockaddr_in sin = ToSockaddr(to);
    return SendOne(s, buf, len, &sin);
}

int Recv(socket_t s, void* buf, int room) {
    return ReceiveOne(s, buf, room, nullptr);
}

int RecvFrom(socket_t s, void* buf, int room, SockAddr4* from) {
    sockaddr_in sin{};
    int n = ReceiveOne(s, buf, room, &sin);
    // The sender is known even when its datagram was refused as too large.
    if (from && (n >= 0 || errno == EMSGSIZE)) *from = FromSockaddr(sin);
    return n;
}

namespace {

// A send on a socket with room goes at once; a full one waits for room until the deadline.
// `send` is one non-blocking attempt: bytes sent, or -1 with errno. `argsValid` is the
// caller's judgement of its own buffer arguments.
template <typename SendOnce>
int SendWhenRoom(socket_t s, bool argsValid, long sec, long usec, SendOnce send) {
    if (!ValidFd(s)) return Fail(EBADF);
    if (sec < 0 || usec < 0 || !argsValid) return Fail(EINVAL);
    const int fd = static_cast<int>(s);
    // A suspended thread holds before it sends, as it would at a wait for room.
    if (internal::ApplyPendingControls() < 0) return Fail(ECANCELED);
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(Micros(sec, usec));
    for (;;) {
        const ssize_t n = send();
        if (n >= 0) return static_cast<int>(n);
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return Fail(errno);
        const int r = PollUntil(fd, POLLOUT, deadline);
        if (r < 0) {
            Fail(errno);
            return kWaitFailed;
        }
        if (r == 0) return kTimedOut;
    }
}

}  // namespace

int SendWithin(socket_t s, const void* buf, int len, long sec, long usec) {
    const int fd = static_cast<int>(s);
    return SendWhenRoom(s, len >= 0 && (len == 0 || buf), sec, usec, [&] {
        return ::send(fd, buf, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
    });
}

namespace internal {

int SendSegmentedWithin(socket_t s, const void* buf, int len, int segment, long sec, long usec) {
#ifdef UDP_SEGMENT
    // A kernel without the option says so once; a route or device that cannot segment
    // (a path MTU below the segment, no checksum offload) says so per send.
    static std::atomic<bool> unsupported{false};
    if (unsupported.load(std::memory_order_relaxed)) return kSegmentationUnsupported;
    const int fd = static_cast<int>(s);
    const bool argsValid = len > 0 && buf && segment > 0 && segment <= 0xFFFF;
    const int r = SendWhenRoom(s, argsValid, sec, usec, [&] {
        iovec iov{const_cast<void*>(buf), static_cast<size_t>(len)};
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(uint16_t))] = {};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = SOL_UDP;
        c->cmsg_type = UDP_SEGMENT;
        c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
        const uint16_t size = static_cast<uint16_t>(segment);
        std::memcpy(CMSG_DATA(c), &size, sizeof size);
        return ::sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
    });
    if (r == -1 && (errno == ENOPROTOOPT || errno == EOPNOTSUPP)) {
        unsupported.store(true, std::memory_order_relaxed);
        return kSegmentationUnsupported;
    }
    if (r == -1 && (errno == EINVAL || errno == EIO || errno == EMSGSIZE)) {
        return kSegmentationUnsupported;
    }
    return r;
#else
    (void)s, (void)buf, (void)len, (void)segment, (void)sec, (void)usec;
    return kSegmentationUnsupported;
#endif
}

}  // namespace internal

namespace {

int ReceiveWithin(socket_t s, void* buf, int room, long sec, long usec, sockaddr_in* from) {
    if (!ValidFd(s)) return Fail(EBADF);
    if (sec < 0 || usec < 0 || room < 0 || (room > 0 && !buf)) return Fail(EINVAL);
    const int fd = static_cast<int>(s);
    const size_t len = static_cast<size_t>(room);
    socklen_t flen = sizeof(sockaddr_in);
    const int64_t total = Micros(sec, usec);
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::microseconds(total);
    // One call in the common case: a receive that waits by the socket's own time-out,
    // which is set again only when it changes. That time-out is counted by a coarse
    // system timer (in ticks, and late by up to an eighth of a long wait), so it covers
    // a little less than the whole wait, and a precise wait takes the rest when it runs
    // out: a time-out never ends early, nor much late. Waits too short for the coarse
    // timer are precise throughout. Terminate ends the receive by shutting the socket
    // down; a suspend holds the thread when it returns, before it acts.
    const int64_t coarse = total - total / 8 - kCoarseTimerMarginUs;
    const ReceiverCount counted;
    if (total > 0) {
        // A suspended thread holds before it looks, as it would at the wait.
        if (internal::ApplyPendingControls() < 0) return Fail(ECANCELED);
        const ssize_t n = SpinReceive(fd, buf, len, from, &flen, start, deadline);
        if (n >= 0) return n > room ? Fail(EMSGSIZE) : static_cast<int>(n);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Fail(errno);
    }
    if (coarse > 0) {
        if (internal::BeginBlockingCall(fd) < 0) return Fail(ECANCELED);
        const bool armed = SetRecvTimeout(s, coarse);
        const ssize_t n =
            armed ? ::recvfrom(fd, buf, len, MSG_TRUNC, reinterpret_cast<sockaddr*>(from),
                               from ? &flen : nullptr)
                  : -1;
        const int err = errno;
        if (internal::EndBlockingCall() < 0) return Fail(ECANCELED);
        if (!armed) {
            Fail(err);
            return kWaitFailed;
        }
        if (n >= 0) return n > room ? Fail(EMSGSIZE) : static_cast<int>(n);
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) return Fail(err);
    }
    for (;;) {
        const int r = PollUntil(fd, POLLIN, deadline);
        if (r < 0) {
            Fail(errno);
            return kWaitFailed;
        }
        if (r == 0) return kTimedOut;
        const ssize_t n = ::recvfrom(fd, buf, len, MSG_TRUNC | MSG_DONTWAIT,
                                     reinterpret_cast<sockaddr*>(from), from ? &flen : nullptr);
        if (n >= 0) return n > room ? Fail(EMSGSIZE) : static_cast<int>(n);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return Fail(errno);
    }
}

}  // namespace

int RecvWithin(socket_t s, void* buf, int room, long sec, long usec) {
    return ReceiveWithin(s, buf, room, sec, usec, nullptr);
}

int RecvFromWithin(socket_t s, void* buf, int room, SockAddr4* from, long sec, long usec) {
    sockaddr_in sin{};
    const int n = ReceiveWithin(s, buf, room, sec, usec, &sin);
    // The sender is known even when its datagram was refused as too large.
    if (from && (n >= 0 || (n == -1 && errno == EMSGSIZE))) *from = FromSockaddr(sin);
    return n;
}

bool GetServicePort(const char* name, const char* proto, uint16_t* port_net) {
    if (!name || !*name || !port_net) {
        Fail(EINVAL);
        return false;
    }
    const char* file = std::getenv("KVTFTP_SERVICES");
    if (file && *file) {
        uint16_t port = 0;
        std::FILE* f = std::fopen(file, "re");
        const bool found = f && internal::FindServicePort(f, name, proto, &port);
        if (f) std::fclose(f);
        if (found) {
            *port_net = htons(port);
            return true;
        }
        Fail(internal::kErrNoDataValue);
        return false;
    }
    servent se{};
    servent* result = nullptr;
    char buf[4096];
    if (::getservbyname_r(name, proto, &se, buf, sizeof buf, &result) == 0 && result) {
        *port_net = static_cast<uint16_t>(result->s_port);
        return true;
    }
    Fail(internal::kErrNoDataValue);
    return false;
}

bool ForwardLookup(const char* name, std::vector<uint32_t>* addrs_net) {
    if (!name || !*name) {
        Fail(internal::kErrHostNotFoundValue);
        return false;
    }
    if (!addrs_net) {
        Fail(EINVAL);
        return false;
    }
    addrs_net->clear();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    errno = 0;
    int rc = ::getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0) {
        Fail(ResolverError(rc));
        return false;
    }
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin;
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            addrs_net->push_back(sin.sin_addr.s_addr);
        }
    }
    ::freeaddrinfo(res);
    if (addrs_net->empty()) {
        Fail(internal::kErrHostNotFoundValue);
        return false;
    }
    return true;
}

bool ResolveHost(const char* name, uint32_t* addr_net) {
    if (!addr_net) {
        Fail(EINVAL);
        return false;
    }
    std::vector<uint32_t> addrs;
    if (!ForwardLookup(name, &addrs)) return false;
    *addr_net = addrs.front();
    return true;
}

bool ReverseLookup(uint32_t addr_net, std::vector<std::string>* names) {
    if (!names) {
        Fail(EINVAL);
        return false;
    }
    names->clear();
    in_addr ia{};
    ia.s_addr = addr_net;
    hostent he{};
    hostent* result = nullptr;
    int herr = 0;
    std::vector<char> buf(2048);
    for (;;) {
        int rc =
            ::gethostbyaddr_r(&ia, sizeof ia, AF_INET, &he, buf.data(), buf.size(), &result, &herr);
        if (rc == ERANGE && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 2);
            continue;
        }
        if (rc != 0 || !result) {
            Fail(rc != 0 && rc != ENOENT ? rc : HostError(herr));
            return false;
        }
        break;
    }
    if (result->h_name && *result->h_name) names->emplace_back(result->h_name);
    for (char** a = result->h_aliases; a && *a; ++a) {
        if (**a) names->emplace_back(*a);
    }
    if (names->empty()) {
        Fail(internal::kErrHostNotFoundValue);
        return false;
    }
    return true;
}

}  // namespace kvp
