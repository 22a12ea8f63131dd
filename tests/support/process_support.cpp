#include "process_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "kv/net.h"
#include "kv/time.h"
#include "test_support.h"

namespace kvtest {

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
    r.output = ReadFile(out_path);
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
    return ReadFile(log_path_);
}

namespace {

// The inodes of the UDP sockets bound to the port (any address), from /proc/net/udp;
// false when the table cannot be read.
bool UdpSocketInodes(uint16_t port, std::set<std::string>* inodes) {
    std::ifstream table("/proc/net/udp");
    if (!table) return false;
    std::string line;
    std::getline(table, line);  // the heading
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >>
              timeout >> inode))
            continue;
        const size_t colon = local.find(':');
        if (colon == std::string::npos) continue;
        if (std::stoul(local.substr(colon + 1), nullptr, 16) == port) inodes->insert(inode);
    }
    return true;
}

// The process and its descendants, from the parent ids in /proc/<pid>/stat.
std::set<long> ProcessTree(long root) {
    std::map<long, std::vector<long>> children;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string name = entry.path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        // A process may end while it is read: getline then fails quietly (reading the
        // buffer directly would throw for its "No such process").
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        const size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream rest(text.substr(close + 1));
        std::string state;
        long ppid = 0;
        if (rest >> state >> ppid) children[ppid].push_back(std::stol(name));
    }
    std::set<long> tree{root};
    std::vector<long> todo{root};
    while (!todo.empty()) {
        const long pid = todo.back();
        todo.pop_back();
        for (long child : children[pid]) {
            if (tree.insert(child).second) todo.push_back(child);
        }
    }
    return tree;
}

// The socket inodes among the open descriptors of the processes.
std::set<std::string> SocketsOf(const std::set<long>& pids) {
    std::set<std::string> inodes;
    for (long pid : pids) {
        std::error_code ec;
        const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
        for (const auto& fd : std::filesystem::directory_iterator(dir, ec)) {
            const std::string target = std::filesystem::read_symlink(fd.path(), ec).string();
            if (!ec && target.rfind("socket:[", 0) == 0)
                inodes.insert(target.substr(8, target.size() - 9));
        }
    }
    return inodes;
}

}  // namespace

::testing::AssertionResult WaitForOwnTftpServer(const Daemon& daemon, uint16_t port,
                                                unsigned limit_ms) {
    if (!WaitForTftpServer(port, limit_ms))
        return ::testing::AssertionFailure() << "no TFTP server answered on 127.0.0.1:" << port;
    std::set<std::string> bound;
    if (!UdpSocketInodes(port, &bound)) return ::testing::AssertionSuccess();
    const std::set<std::string> own = SocketsOf(ProcessTree(static_cast<long>(daemon.pid())));
    for (const std::string& inode : bound) {
        if (!own.count(inode))
            return ::testing::AssertionFailure()
                   << "UDP port " << port
                   << " is held by another program than the one this test started; its "
                      "answers would be taken for the test's own server";
    }
    return ::testing::AssertionSuccess();
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

std::vector<long> ProcessesOf(const std::string& program) {
    std::vector<long> pids;
    const std::string marker = "KVTFTP_STATE_DIR=" + kvp::GetEnv("KVTFTP_STATE_DIR");
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream cmd(entry.path() / "cmdline", std::ios::binary);
        std::string argv0;
        std::getline(cmd, argv0, '\0');
        if (std::filesystem::path(argv0).filename() != program) continue;
        std::ifstream env(entry.path() / "environ", std::ios::binary);
        for (std::string var; std::getline(env, var, '\0');) {
            if (var == marker) {
                pids.push_back(std::stol(name));
                break;
            }
        }
    }
    return pids;
}

}  // namespace kvtest
