#include "interop_support.h"

#include <gtest/gtest.h>

#include <sstream>

#include "kv/net.h"
#include "kv/paths.h"
#include "kv/time.h"
#include "test_support.h"

namespace kvinterop {

bool PeersConfigured() {
    return !kvp::GetEnv("KV_PEERS_DIR").empty();
}

std::string PeerProgram(const std::string& name) {
    std::string path = kvp::GetEnv("KV_PEERS_DIR") + "/bin/" + name;
    if (!kvp::PathExists(path.c_str())) {
        ADD_FAILURE() << "peer program " << path
                      << " is missing; run tests/interop/prepare-peers.sh $KV_PEERS_DIR";
        return "";
    }
    return path;
}

std::string ShellQuote(const std::string& arg) {
    std::string q = "'";
    for (char c : arg) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

namespace {

std::string JoinQuoted(const std::vector<std::string>& argv) {
    std::string cmd;
    for (const auto& a : argv) {
        if (!cmd.empty()) cmd += ' ';
        cmd += ShellQuote(a);
    }
    return cmd;
}

}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& out_path,
                         int limit_s) {
    // timeout(1) bounds a peer that hangs; -k makes sure it ends even if it ignores TERM.
    std::string cmd = "exec timeout -k 5 " + std::to_string(limit_s) + " " + JoinQuoted(argv) +
                      " </dev/null >" + ShellQuote(out_path) + " 2>&1";
    CommandResult r;
    kvp::pid_type pid = kvp::SpawnProcess({"/bin/sh", "-c", cmd});
    if (pid < 0) {
        ADD_FAILURE() << "cannot start " << cmd;
        return r;
    }
    r.status = kvp::WaitProcess(pid);
    r.output = kvtest::ReadFile(out_path);
    return r;
}

Daemon::Daemon(const std::vector<std::string>& argv, const std::string& log_path)
    : log_path_(log_path) {
    std::string cmd = "exec " + JoinQuoted(argv) + " </dev/null >" + ShellQuote(log_path) + " 2>&1";
    pid_ = kvp::SpawnProcess({"/bin/sh", "-c", cmd});
    if (pid_ < 0) ADD_FAILURE() << "cannot start " << cmd;
}

Daemon::~Daemon() {
    stop();
}

int Daemon::stop() {
    if (pid_ <= 0) return -1;
    // Servers that fork one process per transfer (tftpd-hpa) leave children behind;
    // end them by their parent's id, then the server itself.
    std::string pid = std::to_string(pid_);
    kvp::pid_type killer =
        kvp::SpawnProcess({"/bin/sh", "-c", "exec pkill -KILL -P " + pid + " >/dev/null 2>&1"});
    if (killer > 0) kvp::WaitProcess(killer);
    kvp::KillProcess(pid_);
    int status = kvp::WaitProcess(pid_);
    pid_ = -1;
    return status;
}

int Daemon::signalAndWait(const std::string& signal_name) {
    if (pid_ <= 0) return -1;
    kvp::pid_type killer = kvp::SpawnProcess(
        {"/bin/sh", "-c", "exec kill -" + signal_name + " " + std::to_string(pid_)});
    if (killer < 0 || kvp::WaitProcess(killer) != 0) return -1;
    int status = kvp::WaitProcess(pid_);
    pid_ = -1;
    return status;
}

std::string Daemon::log() const {
    return kvtest::ReadFile(log_path_);
}

bool WaitForTftpServer(uint16_t port, unsigned limit_ms) {
    uint16_t granted = 0;
    if (kvp::NetStartup(&granted) != 0) return false;
    bool answered = false;
    {
        kvp::Socket s(kvp::UdpSocket());
        kvp::SockAddr4 local;
        local.addr = kvp::HostToNet32(0x7F000001);
        if (s.valid() && kvp::Bind(s.get(), local) == 0) {
            kvp::SockAddr4 to;
            to.addr = kvp::HostToNet32(0x7F000001);
            to.port = kvp::HostToNet16(port);
            static const char kRequest[] = "\0\1kv-readiness-check.none\0octet";
            uint32_t start = kvp::GetTickCount();
            while (!answered && kvp::GetTickCount() - start < limit_ms) {
                kvp::SendTo(s.get(), kRequest, sizeof kRequest, to);
                if (kvp::WaitReadable(s.get(), 0, 200000) == 1) {
                    uint8_t buf[600];
                    kvp::SockAddr4 from;
                    answered = kvp::RecvFrom(s.get(), buf, sizeof buf, &from) >= 0;
                }
            }
        }
    }
    kvp::NetCleanup();
    return answered;
}

void WriteServices(const std::string& path, uint16_t tftp_port) {
    std::ostringstream s;
    s << "tftp\t\t" << tftp_port << "/udp\n"
      << "syslog\t\t" << kvtest::FreeUdpPort() << "/udp\n";
    kvtest::WriteFile(path, s.str());
}

std::string TextData(size_t size, uint32_t seed) {
    std::string s;
    s.reserve(size);
    uint32_t x = seed * 2654435761u + 7u;
    size_t line = 511;  // the first line puts its LF at the last byte of block 1
    while (s.size() < size) {
        for (size_t i = 0; i < line && s.size() < size; ++i) {
            x = x * 1103515245u + 12345u;
            s += static_cast<char>('!' + (x >> 16) % 94);
        }
        if (s.size() < size) s += '\n';
        x = x * 1103515245u + 12345u;
        line = (x >> 16) % 120;  // short lines, empty ones included
    }
    return s;
}

std::string ToNetascii(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

ClientLibrary& ClientLibrary::Get() {
    static ClientLibrary lib;
    return lib;
}

ClientLibrary::ClientLibrary() {
    std::string path = kvtest::BinDir() + "/kvtftpclidll.so";
    lib_ = kvp::LoadLibraryA(path.c_str());
    if (!lib_) return;
    transfer_ = reinterpret_cast<TransferFn>(kvp::GetProcAddress(lib_, "TFTPTransfer"));
    query_ = reinterpret_cast<QueryFn>(kvp::GetProcAddress(lib_, "TFTPQueryStatus"));
}

bool ClientLibrary::Transfer(const std::string& server, int action, int mode,
                             const std::string& local, const std::string& remote,
                             const std::string& log_path, int limit_s, bool* saw_running) {
    if (!loaded()) return false;
    if (transfer_(server.c_str(), action, mode, local.c_str(), remote.c_str(), 1,
                  log_path.c_str()) != 1)
        return false;
    bool running = false;
    uint32_t start = kvp::GetTickCount();
    while (query_() != 0) {
        running = true;
        if (kvp::GetTickCount() - start > static_cast<uint32_t>(limit_s) * 1000u) return false;
        kvp::Sleep(2);
    }
    if (saw_running) *saw_running = running;
    return true;
}

std::vector<std::string> TftpdHpaCommand(const std::string& program, uint16_t port,
                                         const std::string& root) {
    // -L: foreground; -s: serve below root; -c: uploads may create files.
    return {
        program, "-L", "-4", "-s", "-c", "-u", "root", "-a", "127.0.0.1:" + std::to_string(port),
        root};
}

}  // namespace kvinterop
