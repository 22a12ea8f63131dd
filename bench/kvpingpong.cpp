// kvpingpong: the lock-step limit of a TFTP transfer on this machine. Two processes on
// 127.0.0.1 play a bare UDP ping-pong with the packet sizes of a download: 516 bytes
// out, 4 bytes back, one round at a time, with nothing else per round but one send and
// one receive on each side. Prints the elapsed time of the rounds.
//
//   kvpingpong [ROUNDS]           (default 65535, the blocks of the largest TFTP file)
//   kvpingpong --echo PORT        (the answering half, started by the first)
//   kvpingpong --serve PORT SIZE  (a bare TFTP server for one download of SIZE bytes of
//                                  zeros, whatever the name: no file, no time-outs, one
//                                  send and one receive per block; the limit of any
//                                  server with a given client)
//   kvpingpong --serve PORT SIZE COUNT  (the same for COUNT downloads at once, a thread
//                                  each: the limit of a server with a thread per transfer)
//   kvpingpong --window BLKSIZE WINDOW SIZE  (the windowed limit: SIZE bytes in datagrams
//                                  of BLKSIZE + 4 bytes, WINDOW of them between answers,
//                                  each window handed to the system at once where it can
//                                  cut it into datagrams, as the server sends a window)
//   kvpingpong --serve-window PORT SIZE BLKSIZE WINDOW  (a bare server for one download
//                                  that answers the request with an OACK of the two
//                                  options, then sends windows of zeros)
//   kvpingpong --fetch PORT NAME BLKSIZE WINDOW  (a bare client for one download that
//                                  asks the two options and answers each window, keeping
//                                  nothing: a server's cost over the bare exchange)

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kv/net.h"
#include "kv/process.h"

namespace {

constexpr int kData = 516;
constexpr int kAck = 4;
constexpr int kMaxDatagram = 65468;

kvp::SockAddr4 Loopback(uint16_t port_net) {
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    a.port = port_net;
    return a;
}

// Answers every WINDOW-th datagram, and any shorter than FULL, with 4 bytes until a
// 1-byte datagram says stop.
int Echo(long parent_port, long window, long full) {
    kvp::Socket s(kvp::UdpSocket());
    if (!s.valid() || kvp::Bind(s.get(), Loopback(0)) != 0) return 1;
    const kvp::SockAddr4 parent = Loopback(kvp::HostToNet16(static_cast<uint16_t>(parent_port)));
    if (kvp::Connect(s.get(), parent) != 0) return 1;
    kvp::SetSocketBufferSizes(s.get(), 4 << 20);
    std::vector<uint8_t> buf(kMaxDatagram);
    if (kvp::Send(s.get(), buf.data(), kAck) != kAck) return 1;  // here I am
    for (long got = 1;; ++got) {
        const int n = kvp::Recv(s.get(), buf.data(), static_cast<int>(buf.size()));
        if (n < 0) return 1;
        if (n == 1) return 0;
        if (got % window != 0 && n >= full) continue;
        if (kvp::Send(s.get(), buf.data(), kAck) != kAck) return 1;
    }
}

// The two options as a request or an OACK carries them, at `at`: their length with the
// last 0 byte, or -1 when they do not fit `room`.
int PutOptions(char* at, size_t room, long blksize, long window) {
    const int n =
        std::snprintf(at, room, "blksize%c%ld%cwindowsize%c%ld", 0, blksize, 0, 0, window);
    return n < 0 || static_cast<size_t>(n) >= room ? -1 : n + 1;
}

// One download of SIZE bytes of zeros to CLIENT from a fresh port, as a TFTP server
// answers: BLKSIZE bytes a block, WINDOW blocks between the client's ACKs, first an
// OACK of the two options (and its ACK) when asked; no time-outs, no resends.
int SendZeros(kvp::SockAddr4 client, long size, long blksize, long window, bool oack) {
    kvp::Socket t(kvp::UdpSocket());
    if (!t.valid() || kvp::Bind(t.get(), Loopback(0)) != 0 || kvp::Connect(t.get(), client) != 0)
        return 1;
    uint8_t ack[kData];
    if (oack) {
        kvp::SetSocketBufferSizes(t.get(), 4 << 20);
        char packet[64] = {0, 6};
        const int len = 2 + PutOptions(packet + 2, sizeof packet - 2, blksize, window);
        if (len < 3 || kvp::Send(t.get(), packet, len) != len ||
            kvp::RecvWithin(t.get(), ack, sizeof ack, 5, 0) != kAck)
            return 1;
    }
    // A window of blocks goes down together where the system can, as the server sends it.
    const long full = blksize + 4;
    std::vector<uint8_t> data(static_cast<size_t>(full * window));
    for (long block = 1, left = size;;) {
        long k = 0;
        long lastLen = full;
        for (bool last = false; k < window && !last; ++k, ++block, left -= blksize) {
            uint8_t* d = data.data() + k * full;
            d[1] = 3;
            d[2] = static_cast<uint8_t>(block >> 8);
            d[3] = static_cast<uint8_t>(block);
            lastLen = 4 + (left < blksize ? left : blksize);
            last = lastLen < full;
        }
        if (kvp::SendRunWithin(t.get(), data.data(), static_cast<int>(full), static_cast<int>(k),
                               static_cast<int>(lastLen), 5, 0) != k ||
            kvp::RecvWithin(t.get(), ack, sizeof ack, 5, 0) != kAck)
            return 1;
        if (lastLen < full) return 0;
    }
}

// Answers the first COUNT read requests on 127.0.0.1:PORT with SIZE bytes each, a thread
// each; other datagrams are ignored.
int Serve(long port, long size, long count) {
    kvp::Socket s(kvp::UdpSocket());
    const kvp::SockAddr4 local = Loopback(kvp::HostToNet16(static_cast<uint16_t>(port)));
    if (!s.valid() || kvp::Bind(s.get(), local) != 0) return 1;
    std::vector<std::thread> threads;
    std::atomic<int> failed{0};
    while (static_cast<long>(threads.size()) < count) {
        uint8_t buf[kData] = {};
        kvp::SockAddr4 client;
        if (kvp::RecvFrom(s.get(), buf, sizeof buf, &client) < 2 || buf[1] != 1) continue;
        threads.emplace_back([client, size, &failed] {
            if (SendZeros(client, size, kData - 4, 1, false) != 0) ++failed;
        });
    }
    for (auto& t : threads) t.join();
    return failed == 0 ? 0 : 1;
}

// One download of SIZE bytes of zeros on 127.0.0.1:PORT to the first read request, its
// options answered with an OACK.
int ServeWindow(long port, long size, long blksize, long window) {
    kvp::Socket s(kvp::UdpSocket());
    if (!s.valid() ||
        kvp::Bind(s.get(), Loopback(kvp::HostToNet16(static_cast<uint16_t>(port)))) != 0)
        return 1;
    uint8_t req[kData] = {};
    kvp::SockAddr4 client;
    while (kvp::RecvFrom(s.get(), req, sizeof req, &client) < 2 || req[1] != 1) {
    }
    return SendZeros(client, size, blksize, window, true);
}

// Downloads NAME from 127.0.0.1:PORT asking BLKSIZE and WINDOW, answering every WINDOW-th
// block and the short last one, as a windowed client does on a link without loss; any
// block out of order fails the run. The data is counted, not kept.
int Fetch(long port, const char* name, long blksize, long window) {
    kvp::Socket s(kvp::UdpSocket());
    if (!s.valid() || kvp::Bind(s.get(), Loopback(0)) != 0) return 1;
    kvp::SetSocketBufferSizes(s.get(), 4 << 20);
    char req[kData] = {0, 1};
    const int head = std::snprintf(req + 2, sizeof req - 2, "%s%coctet", name, 0);
    if (head < 0 || head + 3 > static_cast<int>(sizeof req)) return 2;
    const int opts = PutOptions(req + 3 + head, sizeof req - 3 - head, blksize, window);
    if (opts < 0) return 2;
    const int reqLen = 3 + head + opts;
    const kvp::SockAddr4 server = Loopback(kvp::HostToNet16(static_cast<uint16_t>(port)));
    std::vector<uint8_t> buf(kMaxDatagram);
    kvp::SockAddr4 from;
    const int oack = kvp::SendTo(s.get(), req, reqLen, server) != reqLen
                         ? -1
                         : kvp::RecvFromWithin(s.get(), buf.data(),
                                               static_cast<int>(buf.size()) - 1, &from, 5, 0);
    if (oack < 2 || buf[1] != 6 || kvp::Connect(s.get(), from) != 0) {
        std::fprintf(stderr, "kvpingpong: no OACK\n");
        return 1;
    }
    // The server may grant a smaller window than the one asked for, and says so.
    for (size_t at = 2; at < static_cast<size_t>(oack);) {
        const std::string key(reinterpret_cast<const char*>(&buf[at]));
        at += key.size() + 1;
        if (at >= static_cast<size_t>(oack)) break;
        const std::string value(reinterpret_cast<const char*>(&buf[at]));
        at += value.size() + 1;
        if (key == "windowsize") window = std::atol(value.c_str());
    }
    if (window < 1) return 1;
    uint8_t ack[kAck] = {0, 4, 0, 0};
    long bytes = 0;
    for (uint16_t expected = 1;;) {
        if (kvp::Send(s.get(), ack, kAck) != kAck) return 1;
        for (long i = 0; i < window; ++i, ++expected) {
            const int got =
                kvp::RecvWithin(s.get(), buf.data(), static_cast<int>(buf.size()), 5, 0);
            if (got < 4 || buf[1] != 3 || ((buf[2] << 8) | buf[3]) != expected) {
                std::fprintf(stderr, "kvpingpong: block %u did not come\n", expected);
                return 1;
            }
            bytes += got - 4;
            ack[2] = buf[2];
            ack[3] = buf[3];
            if (got < blksize + 4) {
                kvp::Send(s.get(), ack, kAck);
                std::printf("kvpingpong: fetched %ld bytes\n", bytes);
                return 0;
            }
        }
    }
}

// SIZE bytes to an echo in datagrams of BLKSIZE + 4 bytes, WINDOW of them per answer;
// lock-step is a window of one 516-byte datagram.
int Run(const char* self, long blksize, long window, long size) {
    kvp::Socket s(kvp::UdpSocket());
    kvp::SockAddr4 local;
    if (!s.valid() || kvp::Bind(s.get(), Loopback(0)) != 0 ||
        kvp::GetSockName(s.get(), &local) != 0) {
        std::fprintf(stderr, "kvpingpong: no socket\n");
        return 1;
    }
    const long full = blksize + 4;
    const kvp::pid_type echo =
        kvp::SpawnProcess({self, "--echo", std::to_string(kvp::NetToHost16(local.port)),
                           std::to_string(window), std::to_string(full)});
    if (echo < 0) {
        std::fprintf(stderr, "kvpingpong: cannot start the echo\n");
        return 1;
    }
    kvp::SetSocketBufferSizes(s.get(), 4 << 20);
    std::vector<uint8_t> buf(static_cast<size_t>(full * window), 'p');
    kvp::SockAddr4 from;
    if (kvp::RecvFrom(s.get(), buf.data(), static_cast<int>(buf.size()), &from) != kAck ||
        kvp::Connect(s.get(), from) != 0) {
        kvp::KillProcess(echo);
        return 1;
    }
    // A size that fills its last datagram ends with an empty one, as a TFTP transfer does.
    // Each window goes down together where the system can, as the server sends it.
    const long datagrams = size / blksize + 1;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < datagrams; i += window) {
        const long k = std::min(window, datagrams - i);
        const bool last = i + k == datagrams;
        const long lastLen = last ? 4 + size % blksize : full;
        uint8_t ack[kAck];
        if (kvp::SendRunWithin(s.get(), buf.data(), static_cast<int>(full), static_cast<int>(k),
                               static_cast<int>(lastLen), 5, 0) != k ||
            kvp::RecvWithin(s.get(), ack, sizeof ack, 5, 0) != kAck) {
            std::fprintf(stderr, "kvpingpong: window at datagram %ld failed\n", i);
            kvp::KillProcess(echo);
            return 1;
        }
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kvp::Send(s.get(), buf.data(), 1);
    kvp::WaitProcess(echo);
    std::printf("kvpingpong: %ld datagrams of up to %ld bytes, %ld between answers, in %.3f s\n",
                datagrams, full, window, secs);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    uint16_t granted = 0;
    kvp::NetStartup(&granted);
    if (argc == 5 && std::strcmp(argv[1], "--echo") == 0)
        return Echo(std::atol(argv[2]), std::atol(argv[3]), std::atol(argv[4]));
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "--serve") == 0)
        return Serve(std::atol(argv[2]), std::atol(argv[3]), argc == 5 ? std::atol(argv[4]) : 1);
    if (argc == 6 && std::strcmp(argv[1], "--serve-window") == 0)
        return ServeWindow(std::atol(argv[2]), std::atol(argv[3]), std::atol(argv[4]),
                           std::atol(argv[5]));
    if (argc == 6 && std::strcmp(argv[1], "--fetch") == 0)
        return Fetch(std::atol(argv[2]), argv[3], std::atol(argv[4]), std::atol(argv[5]));
    if (argc == 5 && std::strcmp(argv[1], "--window") == 0) {
        const long blksize = std::atol(argv[2]), window = std::atol(argv[3]),
                   size = std::atol(argv[4]);
        if (blksize < 8 || blksize > kMaxDatagram - 4 || window < 1 || size < 0) {
            std::fprintf(stderr, "Usage: kvpingpong --window BLKSIZE WINDOW SIZE\n");
            return 2;
        }
        return Run(argv[0], blksize, window, size);
    }
    const long rounds = argc > 1 ? std::atol(argv[1]) : 65535;
    if (rounds <= 0) {
        std::fprintf(stderr, "Usage: kvpingpong [ROUNDS]\n");
        return 2;
    }
    // ROUNDS datagrams of 516 bytes (the last one a byte short), each answered.
    return Run(argv[0], kData - 4, 1, rounds * (kData - 4) - 1);
}
