// What the server engine tests share: the engine loaded by file name and driven through
// its four exports, its registry key, the event log it writes, and a scripted client on
// 127.0.0.1 that sends exactly the packets a case needs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kv/net.h"
#include "kv/registry.h"
#include "kvtftptsv.h"
#include "test_support.h"

namespace srvtest {

constexpr const char* kServerKeyPath = "SOFTWARE\\Korvane\\TFTP Server";
// Generous bound for anything the server should do promptly; only a hang reaches it.
constexpr int kPromptMs = 10000;

std::string Packet16(uint16_t op, uint16_t n);
std::string DataPacket(uint16_t block, const std::string& payload);
std::string AckPacket(uint16_t block);
std::string ErrorPacket(uint16_t code, const std::string& text);
std::string RequestPacket(uint16_t op, const std::string& name, const std::string& mode);
uint16_t Opcode(const std::string& p);
uint16_t Block(const std::string& p);
// The text of an ERROR packet (from offset 4 to its 0 byte).
std::string ErrorText(const std::string& p);

kvp::SockAddr4 Loopback(uint16_t portHost);

// The engine library, loaded with the platform's loader and bound by the four names.
class Engine {
  public:
    Engine();
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
    uint32_t Start() { return start_(); }
    uint32_t Pause() { return pause_(); }
    uint32_t Resume() { return resume_(); }
    uint32_t Stop() { return stop_(); }
    bool loaded() const { return start_ && pause_ && resume_ && stop_; }

  private:
    void* lib_ = nullptr;
    TFTPServerControlProc start_ = nullptr;
    TFTPServerControlProc pause_ = nullptr;
    TFTPServerControlProc resume_ = nullptr;
    TFTPServerControlProc stop_ = nullptr;
};

// The server key under the test's own state directory.
void SetStringValue(const char* name, const std::string& value);
void SetFlagValue(const char* name, uint8_t value);
void SetDwordValue(const char* name, uint32_t value);

// The event log lines the engine wrote (the insertion string of each "KVTFTP" record).
std::vector<std::string> EventLines();
// Waits until a line equal to text is among the lines from index `from` on.
bool WaitForLine(const std::string& text, size_t from = 0, int ms = kPromptMs);
// Waits until some line from `from` on starts with prefix; returns it, or "".
std::string WaitForLineStarting(const std::string& prefix, size_t from = 0, int ms = kPromptMs);
size_t CountLines(const std::string& text, size_t from = 0);

// A TFTP client made of one socket on 127.0.0.1.
class Peer {
  public:
    Peer();
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    uint16_t port() const { return port_; }
    // Sends to the given port on 127.0.0.1.
    bool SendTo(uint16_t portHost, const std::string& packet);
    // Sends to where the last datagram came from (the server's conversation port).
    bool Reply(const std::string& packet);
    // The next datagram within ms; false on time-out.
    bool Receive(std::string* packet, int ms = kPromptMs);
    // True when nothing arrives within ms.
    bool Silent(int ms);
    uint16_t lastFromPort() const { return kvp::NetToHost16(from_.port); }

  private:
    bool started_ = false;
    kvp::Socket sock_;
    uint16_t port_ = 0;
    kvp::SockAddr4 from_;
};

struct TransferResult {
    bool ok = false;
    std::string data;        // bytes received (downloads)
    int dataPackets = 0;     // DATA packets taken (downloads)
    uint16_t errorCode = 0;  // when an ERROR packet ended it
    std::string errorText;
    bool gotError = false;
    uint16_t conversationPort = 0;
};

// A lock-step client: every block answered at once, duplicates acknowledged again.
// firstReplyMs bounds the wait for the first answer, every later wait is kPromptMs.
TransferResult Download(Peer& peer, uint16_t serverPort, const std::string& name,
                        const std::string& mode = "octet", int firstReplyMs = kPromptMs);
TransferResult Upload(Peer& peer, uint16_t serverPort, const std::string& name,
                      const std::string& data, const std::string& mode = "octet");

// Each test: its own state directory and ports, a root directory, the key with the
// settings the test asks for, and the engine.
class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Writes the key with the test defaults: the root, event logging on, and a short
    // initial time-out so that time-outs do not slow the tests.
    void WriteDefaultSettings();
    // Starts the engine and waits until it listens.
    void StartServer();
    void StopServer();
    // Waits until the listener has its port (probing with a datagram it ignores).
    bool WaitListening(int ms = kPromptMs);

    std::string RootPath(const std::string& name) const { return root_ + "/" + name; }

    kvtest::TestEnv env_;
    // For the sockets a case opens itself (syslog listeners, port probes).
    kvtest::NetSession net_;
    std::string root_;
    Engine engine_;
    bool started_ = false;
};

}  // namespace srvtest
