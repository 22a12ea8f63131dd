#include "server_harness.h"

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "kv/dynlib.h"
#include "kv/errors.h"
#include "kv/eventlog.h"

namespace srvtest {

namespace {

using Clock = std::chrono::steady_clock;

bool Expired(Clock::time_point start, int ms) {
    return Clock::now() - start > std::chrono::milliseconds(ms);
}

void SetValue(const char* name, uint32_t type, const uint8_t* data, uint32_t size) {
    kvp::RegKey key;
    uint32_t disposition = 0;
    ASSERT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kServerKeyPath, kvp::kKeyWrite,
                                   key.out(), &disposition),
              kvp::kErrorSuccess);
    ASSERT_EQ(kvp::RegSetValueExA(key.get(), name, type, data, size), kvp::kErrorSuccess);
}

}  // namespace

std::string Packet16(uint16_t op, uint16_t n) {
    std::string p(4, '\0');
    p[0] = static_cast<char>(op >> 8);
    p[1] = static_cast<char>(op & 0xFF);
    p[2] = static_cast<char>(n >> 8);
    p[3] = static_cast<char>(n & 0xFF);
    return p;
}

std::string DataPacket(uint16_t block, const std::string& payload) {
    return Packet16(3, block) + payload;
}

std::string AckPacket(uint16_t block) {
    return Packet16(4, block);
}

std::string ErrorPacket(uint16_t code, const std::string& text) {
    return Packet16(5, code) + text + std::string(1, '\0');
}

std::string RequestPacket(uint16_t op, const std::string& name, const std::string& mode) {
    std::string p(2, '\0');
    p[1] = static_cast<char>(op);
    return p + name + std::string(1, '\0') + mode + std::string(1, '\0');
}

uint16_t Opcode(const std::string& p) {
    if (p.size() < 2) return 0xFFFF;
    return static_cast<uint16_t>((static_cast<uint8_t>(p[0]) << 8) | static_cast<uint8_t>(p[1]));
}

uint16_t Block(const std::string& p) {
    if (p.size() < 4) return 0xFFFF;
    return static_cast<uint16_t>((static_cast<uint8_t>(p[2]) << 8) | static_cast<uint8_t>(p[3]));
}

std::string ErrorText(const std::string& p) {
    if (p.size() <= 4) return "";
    const size_t end = p.find('\0', 4);
    return p.substr(4, end == std::string::npos ? std::string::npos : end - 4);
}

kvp::SockAddr4 Loopback(uint16_t portHost) {
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    a.port = kvp::HostToNet16(portHost);
    return a;
}

// ---- engine ----

Engine::Engine() {
    const std::string path = kvtest::BinDir() + "/KVTFTPTSV.DLL";
    kvp::HLibrary lib = kvp::LoadLibraryA(path.c_str());
    lib_ = lib;
    if (lib == nullptr) {
        ADD_FAILURE() << "cannot load " << path;
        return;
    }
    start_ = reinterpret_cast<TFTPServerControlProc>(kvp::GetProcAddress(lib, "StartTFTPServer"));
    pause_ = reinterpret_cast<TFTPServerControlProc>(kvp::GetProcAddress(lib, "PauseTFTPServer"));
    resume_ = reinterpret_cast<TFTPServerControlProc>(kvp::GetProcAddress(lib, "ResumeTFTPServer"));
    stop_ = reinterpret_cast<TFTPServerControlProc>(kvp::GetProcAddress(lib, "StopTFTPServer"));
    EXPECT_TRUE(loaded()) << "an export is missing";
}

Engine::~Engine() {
    // The library is never unmapped (transfers that outlive a stop still run its code);
    // the handle is released all the same.
    if (lib_ != nullptr) kvp::FreeLibrary(static_cast<kvp::HLibrary>(lib_));
}

// ---- registry ----

void SetStringValue(const char* name, const std::string& value) {
    SetValue(name, kvp::kRegSz, reinterpret_cast<const uint8_t*>(value.c_str()),
             static_cast<uint32_t>(value.size() + 1));
}

namespace {
// Whether the listener will log its start probe (read by StartServer).
bool g_eventLogsOn = true;
}  // namespace

void SetFlagValue(const char* name, uint8_t value) {
    SetValue(name, kvp::kRegBinary, &value, 1);
    if (std::string(name) == "LogEventLogs") g_eventLogsOn = value != 0;
}

void SetDwordValue(const char* name, uint32_t value) {
    uint8_t b[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                    static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
    SetValue(name, kvp::kRegDword, b, 4);
}

// ---- event log ----

std::vector<std::string> EventLines() {
    std::vector<kvp::EventRecord> records;
    std::vector<std::string> lines;
    if (!kvp::ReadEventLog(&records)) return lines;
    for (const kvp::EventRecord& r : records) {
        if (r.source == "KVTFTP" && !r.strings.empty()) lines.push_back(r.strings[0]);
    }
    return lines;
}

bool WaitForLine(const std::string& text, size_t from, int ms) {
    const auto start = Clock::now();
    for (;;) {
        const std::vector<std::string> lines = EventLines();
        for (size_t i = from; i < lines.size(); ++i) {
            if (lines[i] == text) return true;
        }
        if (Expired(start, ms)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string WaitForLineStarting(const std::string& prefix, size_t from, int ms) {
    const auto start = Clock::now();
    for (;;) {
        const std::vector<std::string> lines = EventLines();
        for (size_t i = from; i < lines.size(); ++i) {
            if (lines[i].compare(0, prefix.size(), prefix) == 0) return lines[i];
        }
        if (Expired(start, ms)) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

size_t CountLines(const std::string& text, size_t from) {
    const std::vector<std::string> lines = EventLines();
    size_t n = 0;
    for (size_t i = from; i < lines.size(); ++i) n += lines[i] == text ? 1 : 0;
    return n;
}

// ---- peer ----

Peer::Peer() {
    uint16_t granted = 0;
    started_ = kvp::NetStartup(&granted) == 0;
    sock_.reset(kvp::UdpSocket());
    EXPECT_EQ(kvp::Bind(sock_.get(), Loopback(0)), 0);
    kvp::SockAddr4 bound;
    EXPECT_EQ(kvp::GetSockName(sock_.get(), &bound), 0);
    port_ = kvp::NetToHost16(bound.port);
}

Peer::~Peer() {
    sock_.reset();
    if (started_) kvp::NetCleanup();
}

bool Peer::SendTo(uint16_t portHost, const std::string& packet) {
    const int n = static_cast<int>(packet.size());
    return kvp::SendTo(sock_.get(), packet.data(), n, Loopback(portHost)) == n;
}

bool Peer::Reply(const std::string& packet) {
    const int n = static_cast<int>(packet.size());
    return kvp::SendTo(sock_.get(), packet.data(), n, from_) == n;
}

bool Peer::Receive(std::string* packet, int ms) {
    if (kvp::WaitReadable(sock_.get(), ms / 1000, (ms % 1000) * 1000L) != 1) return false;
    char buf[2048];
    const int n = kvp::RecvFrom(sock_.get(), buf, sizeof buf, &from_);
    if (n < 0) return false;
    packet->assign(buf, static_cast<size_t>(n));
    return true;
}

bool Peer::Silent(int ms) {
    std::string ignored;
    return !Receive(&ignored, ms);
}

// ---- lock-step transfers ----

TransferResult Download(Peer& peer, uint16_t serverPort, const std::string& name,
                        const std::string& mode, int firstReplyMs) {
    TransferResult r;
    if (!peer.SendTo(serverPort, RequestPacket(1, name, mode))) return r;
    uint16_t expected = 1;
    std::string p;
    while (peer.Receive(&p, expected == 1 ? firstReplyMs : kPromptMs)) {
        if (Opcode(p) == 5) {
            r.gotError = true;
            r.errorCode = Block(p);
            r.errorText = ErrorText(p);
            return r;
        }
        if (Opcode(p) != 3) continue;
        r.conversationPort = peer.lastFromPort();
        const uint16_t block = Block(p);
        if (block == expected) {
            ++r.dataPackets;
            r.data.append(p, 4, std::string::npos);
            peer.Reply(AckPacket(block));
            ++expected;
            if (p.size() < 516) {
                r.ok = true;
                return r;
            }
        } else if (block == static_cast<uint16_t>(expected - 1)) {
            peer.Reply(AckPacket(block));  // our ACK was lost or late
        }
    }
    return r;
}

TransferResult Upload(Peer& peer, uint16_t serverPort, const std::string& name,
                      const std::string& data, const std::string& mode) {
    TransferResult r;
    if (!peer.SendTo(serverPort, RequestPacket(2, name, mode))) return r;
    std::string p;
    // ACK 0 comes from the conversation port.
    for (;;) {
        if (!peer.Receive(&p)) return r;
        if (Opcode(p) == 5) {
            r.gotError = true;
            r.errorCode = Block(p);
            r.errorText = ErrorText(p);
            return r;
        }
        if (Opcode(p) == 4 && Block(p) == 0) break;
    }
    r.conversationPort = peer.lastFromPort();
    size_t offset = 0;
    uint16_t block = 0;
    for (;;) {
        ++block;
        const size_t n = std::min<size_t>(512, data.size() - offset);
        const std::string packet = DataPacket(block, data.substr(offset, n));
        int sends = 0;
        for (;;) {
            if (sends++ > 5) return r;
            peer.Reply(packet);
            bool acked = false;
            while (peer.Receive(&p, 2000)) {
                if (Opcode(p) == 5) {
                    r.gotError = true;
                    r.errorCode = Block(p);
                    r.errorText = ErrorText(p);
                    return r;
                }
                if (Opcode(p) == 4 && Block(p) == block) {
                    acked = true;
                    break;
                }
            }
            if (acked) break;
        }
        offset += n;
        if (n < 512) {
            r.ok = true;
            return r;
        }
    }
}

// ---- fixture ----

void ServerTest::SetUp() {
    ASSERT_TRUE(engine_.loaded());
    root_ = env_.dir() + "/root";
    std::filesystem::create_directories(root_);
    WriteDefaultSettings();
}

void ServerTest::TearDown() {
    if (started_) StopServer();
}

void ServerTest::WriteDefaultSettings() {
    SetStringValue("TFTPHome", root_);
    SetFlagValue("LogEventLogs", 1);
    SetDwordValue("Rexttimeout", 1000);
}

void ServerTest::StartServer() {
    const size_t before = EventLines().size();
    ASSERT_EQ(engine_.Start(), 1u);
    started_ = true;
    ASSERT_TRUE(WaitListening());
    // The probe that found the port open is logged by a request thread of its own; a
    // case that counts log lines from here on must not see that line arrive late, however
    // slow the machine. (With event logging off there is no line to wait for.)
    if (g_eventLogsOn) WaitForLine("Short TFTP packet received. Ignoring it.", before);
}

void ServerTest::StopServer() {
    EXPECT_EQ(engine_.Stop(), 1u);
    started_ = false;
}

bool ServerTest::WaitListening(int ms) {
    // A connected socket learns of a closed port from the ICMP answer; once the port is
    // open, the empty datagram is taken (and ignored) by the listener instead.
    kvp::Socket probe(kvp::UdpSocket());
    if (!probe.valid() || kvp::Connect(probe.get(), Loopback(env_.tftpPort())) != 0) return false;
    const auto start = Clock::now();
    for (;;) {
        char c = 0;
        kvp::Send(probe.get(), &c, 0);
        bool refused = false;
        if (kvp::WaitReadable(probe.get(), 0, 50 * 1000) == 1) {
            refused = kvp::Recv(probe.get(), &c, 1) < 0;
        }
        if (!refused) return true;
        if (Expired(start, ms)) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace srvtest
