// UDP/IPv4 over Windows Sockets 1.1 (wsock32): start-up asks for version 1.1, a datagram
// larger than the room offered fails the receive with WSAEMSGSIZE as Winsock does, and
// every failure is kept as the socket layer's last error.
#include "kv/net.h"

#include <cstdio>
#include <cstring>

#include "common/send_run.h"
#include "common/services_file.h"
#include "kv/errors.h"
#include "thread_internal.h"

namespace kvp {

const int kErrMsgSize = WSAEMSGSIZE;
const int kErrHostNotFound = WSAHOST_NOT_FOUND;

namespace {

constexpr WORD kVersion11 = MAKEWORD(1, 1);

// Records the socket layer's failure as its last error and returns -1.
int Fail() {
    SetLastSocketError(::WSAGetLastError());
    return -1;
}

int FailWith(int err) {
    ::WSASetLastError(err);
    SetLastSocketError(err);
    return -1;
}

SOCKET Sock(socket_t s) {
    return static_cast<SOCKET>(s);
}

sockaddr_in ToSockaddr(const SockAddr4& a) {
    sockaddr_in sin{};
    sin.sin_family = static_cast<short>(a.family);
    sin.sin_port = a.port;
    sin.sin_addr.s_addr = a.addr;
    return sin;
}

SockAddr4 FromSockaddr(const sockaddr_in& sin) {
    SockAddr4 a;
    a.family = static_cast<uint16_t>(sin.sin_family);
    a.port = sin.sin_port;
    a.addr = sin.sin_addr.s_addr;
    return a;
}

int WaitFor(socket_t s, bool write, long sec, long usec) {
    if (sec < 0 || usec < 0) return FailWith(WSAEINVAL);
    const int r = internal::ControlledSelect(Sock(s), write, sec, usec);
    return r < 0 ? Fail() : r;
}

// A timed send or receive's wait: 1 ready, or what the call returns. A socket that is
// none fails the call itself, not the wait.
int WaitWithin(socket_t s, bool write, long sec, long usec) {
    const int r = WaitFor(s, write, sec, usec);
    if (r < 0) return LastSocketError() == WSAENOTSOCK ? -1 : kWaitFailed;
    return r == 0 ? kTimedOut : 1;
}

int ReceiveOne(socket_t s, void* buf, int room, sockaddr_in* from) {
    if (room < 0 || (room > 0 && !buf)) return FailWith(WSAEINVAL);
    int flen = sizeof(sockaddr_in);
    const int n = ::recvfrom(Sock(s), static_cast<char*>(buf), room, 0,
                             reinterpret_cast<sockaddr*>(from), from ? &flen : nullptr);
    return n == SOCKET_ERROR ? Fail() : n;
}

int SendOne(socket_t s, const void* buf, int len, const sockaddr_in* to) {
    if (len < 0 || (len > 0 && !buf)) return FailWith(WSAEINVAL);
    const int n = ::sendto(Sock(s), static_cast<const char*>(buf), len, 0,
                           reinterpret_cast<const sockaddr*>(to), to ? sizeof(sockaddr_in) : 0);
    return n == SOCKET_ERROR ? Fail() : n;
}

}  // namespace

uint16_t HostToNet16(uint16_t v) {
    return ::htons(v);
}
uint16_t NetToHost16(uint16_t v) {
    return ::ntohs(v);
}
uint32_t HostToNet32(uint32_t v) {
    return ::htonl(v);
}
uint32_t NetToHost32(uint32_t v) {
    return ::ntohl(v);
}

int NetStartup(uint16_t* granted) {
    // Winsock counts start-ups and clean-ups itself.
    WSADATA data{};
    const int err = ::WSAStartup(kVersion11, &data);
    if (err != 0) {
        SetLastSocketError(err);
        return err;
    }
    if (granted) *granted = data.wVersion;
    return 0;
}

void NetCleanup() {
    ::WSACleanup();
}

socket_t UdpSocket() {
    const SOCKET s = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        Fail();
        return kInvalidSocket;
    }
    // Not inherited by the programs this process starts.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return static_cast<socket_t>(s);
}

int CloseSocket(socket_t s) {
    return ::closesocket(Sock(s)) == SOCKET_ERROR ? Fail() : 0;
}

int Bind(socket_t s, const SockAddr4& addr) {
    sockaddr_in sin = ToSockaddr(addr);
    return ::bind(Sock(s), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == SOCKET_ERROR
               ? Fail()
               : 0;
}

int Connect(socket_t s, const SockAddr4& addr) {
    sockaddr_in sin = ToSockaddr(addr);
    return ::connect(Sock(s), reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == SOCKET_ERROR
               ? Fail()
               : 0;
}

int GetSockName(socket_t s, SockAddr4* addr) {
    if (!addr) return FailWith(WSAEFAULT);
    sockaddr_in sin{};
    int len = sizeof sin;
    if (::getsockname(Sock(s), reinterpret_cast<sockaddr*>(&sin), &len) == SOCKET_ERROR)
        return Fail();
    *addr = FromSockaddr(sin);
    return 0;
}

int ShutdownSocket(socket_t s) {
    // SD_BOTH; a select already waiting may not notice, so waiters also look at a flag.
    if (::shutdown(Sock(s), 2) == SOCKET_ERROR) return Fail();
    return 0;
}

int GetReceiveBufferSize(socket_t s) {
    int v = 0;
    int len = sizeof v;
    if (::getsockopt(Sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&v), &len) ==
        SOCKET_ERROR)
        return Fail();
    return v;
}

int SetSocketBufferSizes(socket_t s, int bytes) {
    ::setsockopt(Sock(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes),
                 sizeof bytes);
    ::setsockopt(Sock(s), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
                 sizeof bytes);
    return GetReceiveBufferSize(s);
}

int WaitReadable(socket_t s, long sec, long usec) {
    return WaitFor(s, false, sec, usec);
}
int WaitWritable(socket_t s, long sec, long usec) {
    return WaitFor(s, true, sec, usec);
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
    const int n = ReceiveOne(s, buf, room, &sin);
    // The sender is known even when its datagram was refused as too large.
    if (from && (n >= 0 || LastSocketError() == WSAEMSGSIZE)) *from = FromSockaddr(sin);
    return n;
}

// Winsock 1.1 as the interface describes: select, then send or recv. The select is the
// layer's controlled wait, so suspend and terminate reach a thread waiting here.
int SendWithin(socket_t s, const void* buf, int len, long sec, long usec) {
    if (len < 0 || (len > 0 && !buf)) return FailWith(WSAEINVAL);
    const int r = WaitWithin(s, true, sec, usec);
    return r == 1 ? SendOne(s, buf, len, nullptr) : r;
}

namespace internal {

// Winsock 1.1 has no segmentation offload: every datagram is its own send.
int SendSegmentedWithin(socket_t, const void*, int, int, long, long) {
    return kSegmentationUnsupported;
}

}  // namespace internal

int RecvWithin(socket_t s, void* buf, int room, long sec, long usec) {
    if (room < 0 || (room > 0 && !buf)) return FailWith(WSAEINVAL);
    const int r = WaitWithin(s, false, sec, usec);
    return r == 1 ? ReceiveOne(s, buf, room, nullptr) : r;
}

int RecvFromWithin(socket_t s, void* buf, int room, SockAddr4* from, long sec, long usec) {
    if (room < 0 || (room > 0 && !buf)) return FailWith(WSAEINVAL);
    const int r = WaitWithin(s, false, sec, usec);
    return r == 1 ? RecvFrom(s, buf, room, from) : r;
}

bool GetServicePort(const char* name, const char* proto, uint16_t* port_net) {
    if (!name || !*name || !port_net) {
        FailWith(WSAEINVAL);
        return false;
    }
    const std::string file = internal::EnvVar("KVTFTP_SERVICES");
    if (!file.empty()) {
        uint16_t port = 0;
        std::FILE* f = std::fopen(file.c_str(), "r");
        const bool found = f && internal::FindServicePort(f, name, proto, &port);
        if (f) std::fclose(f);
        if (found) {
            *port_net = ::htons(port);
            return true;
        }
        FailWith(WSANO_DATA);
        return false;
    }
    const servent* se = ::getservbyname(name, proto);
    if (!se) {
        Fail();
        return false;
    }
    *port_net = static_cast<uint16_t>(se->s_port);
    return true;
}

bool ForwardLookup(const char* name, std::vector<uint32_t>* addrs_net) {
    if (!name || !*name) {
        FailWith(WSAHOST_NOT_FOUND);
        return false;
    }
    if (!addrs_net) {
        FailWith(WSAEFAULT);
        return false;
    }
    addrs_net->clear();
    // Winsock keeps the result per thread.
    const hostent* he = ::gethostbyname(name);
    if (!he) {
        Fail();
        return false;
    }
    if (he->h_addrtype == AF_INET && he->h_length == 4 && he->h_addr_list) {
        for (char** a = he->h_addr_list; *a; ++a) {
            uint32_t addr = 0;
            std::memcpy(&addr, *a, 4);
            addrs_net->push_back(addr);
        }
    }
    if (addrs_net->empty()) {
        FailWith(WSAHOST_NOT_FOUND);
        return false;
    }
    return true;
}

bool ResolveHost(const char* name, uint32_t* addr_net) {
    if (!addr_net) {
        FailWith(WSAEFAULT);
        return false;
    }
    std::vector<uint32_t> addrs;
    if (!ForwardLookup(name, &addrs)) return false;
    *addr_net = addrs.front();
    return true;
}

bool ReverseLookup(uint32_t addr_net, std::vector<std::string>* names) {
    if (!names) {
        FailWith(WSAEFAULT);
        return false;
    }
    names->clear();
    const hostent* he = ::gethostbyaddr(reinterpret_cast<const char*>(&addr_net), 4, AF_INET);
    if (!he) {
        Fail();
        return false;
    }
    if (he->h_name && *he->h_name) names->emplace_back(he->h_name);
    for (char** a = he->h_aliases; a && *a; ++a) {
        if (**a) names->emplace_back(*a);
    }
    if (names->empty()) {
        FailWith(WSAHOST_NOT_FOUND);
        return false;
    }
    return true;
}

}  // namespace kvp
