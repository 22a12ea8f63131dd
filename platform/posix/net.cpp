#include "kv/net.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

int WaitFor(socket_t s, short events, long sec, long usec) {
    if (!ValidFd(s)) return Fail(EBADF);
    if (sec < 0 || usec < 0) return Fail(EINVAL);
    // Very long waits are capped at about 68 years rather than overflowing.
    const int64_t max_sec = INT_MAX;
    const int64_t secs = sec > max_sec ? max_sec : sec;
    const int64_t us = secs * 1000000 + usec;
    int r = internal::ControlledWait(static_cast<int>(s), events, us);
    if (r < 0) return Fail(errno);
    return r;
}

// Receives one datagram whole or not at all: MSG_TRUNC makes the system report the
// datagram's real length, so one larger than the room is consumed and refused.
int ReceiveOne(socket_t s, void* buf, int room, sockaddr_in* from) {
    if (!ValidFd(s)) return Fail(EBADF);
    if (room < 0 || (room > 0 && !buf)) return Fail(EINVAL);
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
    return fd;
}

int CloseSocket(socket_t s) {
    if (!ValidFd(s)) return Fail(EBADF);
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

bool ResolveHost(const char* name, uint32_t* addr_net) {
    if (!name || !*name) {
        Fail(internal::kErrHostNotFoundValue);
        return false;
    }
    if (!addr_net) {
        Fail(EINVAL);
        return false;
    }
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
    bool found = false;
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in sin;
            std::memcpy(&sin, ai->ai_addr, sizeof sin);
            *addr_net = sin.sin_addr.s_addr;
            found = true;
            break;
        }
    }
    ::freeaddrinfo(res);
    if (!found) Fail(internal::kErrHostNotFoundValue);
    return found;
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
