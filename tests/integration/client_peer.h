// A scripted TFTP peer on 127.0.0.1 for the client and probe tests: it takes the
// request on the test's TFTP port and answers from a transfer port of its own, sending
// exactly the packets a case needs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kv/net.h"

namespace kvtest {

inline std::string Packet16(uint16_t op, uint16_t n) {
    std::string p(4, '\0');
    p[0] = static_cast<char>(op >> 8);
    p[1] = static_cast<char>(op & 0xFF);
    p[2] = static_cast<char>(n >> 8);
    p[3] = static_cast<char>(n & 0xFF);
    return p;
}
inline std::string DataPacket(uint16_t block, const std::string& payload) {
    return Packet16(3, block) + payload;
}
inline std::string AckPacket(uint16_t block) {
    return Packet16(4, block);
}
inline std::string ErrorPacket(uint16_t code, const std::string& text) {
    return Packet16(5, code) + text + std::string(1, '\0');
}
inline std::string RequestPacket(uint16_t op, const std::string& name, const std::string& mode) {
    std::string p(2, '\0');
    p[1] = static_cast<char>(op);
    return p + name + std::string(1, '\0') + mode + std::string(1, '\0');
}
inline uint16_t Field16(const std::string& p, size_t at) {
    if (p.size() < at + 2) return 0xFFFF;
    return static_cast<uint16_t>((static_cast<uint8_t>(p[at]) << 8) |
                                 static_cast<uint8_t>(p[at + 1]));
}

inline kvp::SockAddr4 Loopback(uint16_t port_host) {
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    a.port = kvp::HostToNet16(port_host);
    return a;
}

class ScriptedPeer {
  public:
    // Listens on 127.0.0.1:tftpPort; answers from a second socket on a free port.
    explicit ScriptedPeer(uint16_t tftpPort) {
        uint16_t granted = 0;
        started_ = kvp::NetStartup(&granted) == 0;
        listen_.reset(kvp::UdpSocket());
        EXPECT_EQ(kvp::Bind(listen_.get(), Loopback(tftpPort)), 0) << "TFTP port " << tftpPort;
        transfer_.reset(kvp::UdpSocket());
        EXPECT_EQ(kvp::Bind(transfer_.get(), Loopback(0)), 0);
        kvp::SockAddr4 bound;
        EXPECT_EQ(kvp::GetSockName(transfer_.get(), &bound), 0);
        transferPort_ = kvp::NetToHost16(bound.port);
    }
    ~ScriptedPeer() {
        listen_.reset();
        transfer_.reset();
        if (started_) kvp::NetCleanup();
    }
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    // The request on the TFTP port; remembers its sender as the client.
    bool WaitRequest(std::string* packet, int ms = 20000) {
        return RecvOn(listen_.get(), packet, ms, &client_);
    }
    // Whether another datagram is already waiting on the TFTP port.
    bool RequestPending() { return kvp::WaitReadable(listen_.get(), 0, 0) == 1; }
    // The next datagram on the transfer port (from the client).
    bool Recv(std::string* packet, int ms = 20000) {
        kvp::SockAddr4 from;
        return RecvOn(transfer_.get(), packet, ms, &from);
    }
    bool Pending() { return kvp::WaitReadable(transfer_.get(), 0, 0) == 1; }
    bool Send(const std::string& packet) {
        return kvp::SendTo(transfer_.get(), packet.data(), static_cast<int>(packet.size()),
                           client_) == static_cast<int>(packet.size());
    }
    // Sends from the TFTP port itself (a server that answers from its well-known port).
    bool SendFromListen(const std::string& packet) {
        return kvp::SendTo(listen_.get(), packet.data(), static_cast<int>(packet.size()),
                           client_) == static_cast<int>(packet.size());
    }

    uint16_t transferPort() const { return transferPort_; }
    uint16_t clientPort() const { return kvp::NetToHost16(client_.port); }

  private:
    static bool RecvOn(kvp::socket_t s, std::string* packet, int ms, kvp::SockAddr4* from) {
        if (kvp::WaitReadable(s, ms / 1000, (ms % 1000) * 1000L) != 1) return false;
        char buf[2048];
        const int n = kvp::RecvFrom(s, buf, sizeof buf, from);
        if (n < 0) return false;
        packet->assign(buf, static_cast<size_t>(n));
        return true;
    }

    bool started_ = false;
    kvp::Socket listen_;
    kvp::Socket transfer_;
    uint16_t transferPort_ = 0;
    kvp::SockAddr4 client_;
};

}  // namespace kvtest
