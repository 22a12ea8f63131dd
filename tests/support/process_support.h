// Running our programs and those of other projects as processes: to their end with
// their output collected, or in the background as servers.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kv/process.h"

namespace kvtest {

// One argument made safe for /bin/sh.
std::string ShellQuote(const std::string& arg);

struct CommandResult {
    int status = -1;     // exit status; 124 when the time limit ended it
    std::string output;  // standard output and standard error together
};

// Runs a program to its end with no input, at most limit_s seconds, collecting what it
// prints in the file out_path.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::string& out_path,
                         int limit_s = 120);

// A long-running program (a server) that is killed, with any children it forked, when
// the guard goes out of scope. Its output goes to log_path.
class Daemon {
  public:
    Daemon(const std::vector<std::string>& argv, const std::string& log_path);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    bool started() const { return pid_ > 0; }
    kvp::pid_type pid() const { return pid_; }
    std::string log() const;
    // Kills it now; returns its exit status (128 + signal when killed).
    int stop();
    // Sends it a signal by name ("TERM", "INT") and waits for its end; its exit status.
    int signalAndWait(const std::string& signal_name);

  private:
    kvp::pid_type pid_ = -1;
    std::string log_path_;
};

// Sends a read request for a file that does not exist to 127.0.0.1:port until any
// answer arrives; false when none came within limit_ms.
bool WaitForTftpServer(uint16_t port, unsigned limit_ms = 10000);
// As above, for a server the test started itself: it also fails when a UDP socket on the
// port belongs to a process other than the daemon or its children (another program's
// server would answer in its place), and says why. Where the system does not tell who
// holds a socket (no /proc), only the answer counts.
::testing::AssertionResult WaitForOwnTftpServer(const Daemon& daemon, uint16_t port,
                                                unsigned limit_ms = 10000);

// The processes that run the program (by file name) in this test's state directory.
std::vector<long> ProcessesOf(const std::string& program);

}  // namespace kvtest
