// UDP/IPv4 sockets and name look-up, in the shape of Windows Sockets 1.1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kvp {

using socket_t = std::intptr_t;
constexpr socket_t kInvalidSocket = -1;

constexpr uint16_t kAfInet = 2;
constexpr uint32_t kInaddrNone = 0xFFFFFFFFu;
constexpr uint32_t kInaddrAny = 0;

// Socket error numbers that callers test for. On POSIX they are errno values, on
// Windows the WSA values.
extern const int kErrMsgSize;       // datagram larger than the room offered
extern const int kErrHostNotFound;  // resolver: no such host (WSAHOST_NOT_FOUND)

// An IPv4 socket address laid out as sockaddr_in (16 bytes); port and address are in
// network byte order.
struct SockAddr4 {
    uint16_t family = kAfInet;
    uint16_t port = 0;
    uint32_t addr = 0;
    uint8_t zero[8] = {};
};
static_assert(sizeof(SockAddr4) == 16);

uint16_t HostToNet16(uint16_t v);
uint16_t NetToHost16(uint16_t v);
uint32_t HostToNet32(uint32_t v);
uint32_t NetToHost32(uint32_t v);

// Counted start-up and clean-up of the socket library. Start-up grants version 1.1
// (0x0101) through *granted and returns 0, or a socket error number.
int NetStartup(uint16_t* granted);
void NetCleanup();

// All of these set the socket layer's last error on failure.
socket_t UdpSocket();
int CloseSocket(socket_t s);
int Bind(socket_t s, const SockAddr4& addr);  // 0 or -1
int Connect(socket_t s, const SockAddr4& addr);
int GetSockName(socket_t s, SockAddr4* addr);
// Shuts both directions of the socket down (it stays open until closed). Where the
// system allows it, a receive waiting on the socket in another thread ends at once.
int ShutdownSocket(socket_t s);
// The receive buffer the system gives the socket, in bytes as it counts them; -1 on failure.
int GetReceiveBufferSize(socket_t s);
// Asks for send and receive buffers of the given bytes each; the receive buffer the
// system then reports (it may grant less), or -1 on failure.
int SetSocketBufferSizes(socket_t s, int bytes);

// Waits until the socket is readable or writable: 1 ready, 0 time-out, -1 error.
// Inside a platform thread the wait is one that suspend and terminate reach.
int WaitReadable(socket_t s, long sec, long usec);
int WaitWritable(socket_t s, long sec, long usec);

// Datagram I/O: bytes moved, or -1. A datagram larger than the room offered is
// consumed and fails the receive with kErrMsgSize (never silently cut).
int Send(socket_t s, const void* buf, int len);
int SendTo(socket_t s, const void* buf, int len, const SockAddr4& to);
int Recv(socket_t s, void* buf, int room);
int RecvFrom(socket_t s, void* buf, int room, SockAddr4* from);

// Timed datagram I/O on a connected socket, a wait and a transfer in one call (with
// Winsock 1.1: select, then send or recv): SendWithin sends at once when the socket has
// room and otherwise waits for room at most sec/usec; RecvWithin waits at most sec/usec
// for one datagram and receives it. They return the bytes moved (a receive may bring an
// empty datagram: 0), kTimedOut when the time ran out, kWaitFailed when the wait itself
// failed, or -1 when the send or receive failed; the last two set the socket layer's
// last error. A datagram larger than the room is consumed and fails with kErrMsgSize.
// Inside a platform thread both are waits that suspend and terminate reach.
constexpr int kTimedOut = -2;
constexpr int kWaitFailed = -3;
int SendWithin(socket_t s, const void* buf, int len, long sec, long usec);
int RecvWithin(socket_t s, void* buf, int room, long sec, long usec);
// Sends `count` datagrams laid out back to back from buf: each `stride` bytes, the last
// `lastLen` (1 to stride) bytes, as SendWithin sends one. Where the system can segment
// one buffer into datagrams (Linux's UDP segmentation offload) the run goes down in a
// few calls instead of one each, which costs the sender far less per datagram. Returns
// how many datagrams went out (a run cut short by a full socket or an error says so),
// or, when none did, what SendWithin would have returned.
int SendRunWithin(socket_t s, const void* buf, int stride, int count, int lastLen, long sec,
                  long usec);
// RecvWithin on any socket, with the sender's address (also of a datagram refused as
// too large). With no time at all it takes a datagram only when one is there.
int RecvFromWithin(socket_t s, void* buf, int room, SockAddr4* from, long sec, long usec);

// The port (network order) of a service in the services database: the file named by
// KVTFTP_SERVICES when set (on Windows too), else the system's. Returns false when there
// is no entry.
bool GetServicePort(const char* name, const char* proto, uint16_t* port_net);

// Dotted IPv4 text to an address in network order; kInaddrNone when it is not one
// (which is also the value of "255.255.255.255").
uint32_t InetAddr(const char* text);
// Address in network order to dotted text.
std::string InetNtoa(uint32_t addr_net);

// Forward look-up of a host name: its first IPv4 address (network order). On failure
// returns false and sets the socket layer's last error (kErrHostNotFound when there is
// no such host).
bool ResolveHost(const char* name, uint32_t* addr_net);

// Forward look-up of a host name: all of its IPv4 addresses (network order). On failure
// returns false and sets the socket layer's last error, as ResolveHost.
bool ForwardLookup(const char* name, std::vector<uint32_t>* addrs_net);

// Reverse look-up: the official name and aliases of an address. False when none.
bool ReverseLookup(uint32_t addr_net, std::vector<std::string>* names);

// Owns a socket and closes it on every path.
class Socket {
  public:
    Socket() = default;
    explicit Socket(socket_t s) : s_(s) {}
    ~Socket() { reset(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& o) noexcept : s_(std::exchange(o.s_, kInvalidSocket)) {}
    Socket& operator=(Socket&& o) noexcept {
        if (this != &o) {
            reset();
            s_ = std::exchange(o.s_, kInvalidSocket);
        }
        return *this;
    }
    socket_t get() const { return s_; }
    bool valid() const { return s_ != kInvalidSocket; }
    socket_t release() { return std::exchange(s_, kInvalidSocket); }
    void reset(socket_t s = kInvalidSocket) {
        if (s_ != kInvalidSocket) CloseSocket(s_);
        s_ = s;
    }

  private:
    socket_t s_ = kInvalidSocket;
};

}  // namespace kvp
