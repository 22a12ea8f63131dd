// Shared helpers of the test programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvtest {

// A fresh state directory and services file for this test process: sets
// KVTFTP_STATE_DIR, KVTFTP_SERVICES (tftp and syslog on free ports), KVTFTP_DEBUG_LOG
// and KVTFTP_MSGBOX_LOG, and removes the directory afterwards.
class TestEnv {
  public:
    TestEnv();
    ~TestEnv();
    TestEnv(const TestEnv&) = delete;
    TestEnv& operator=(const TestEnv&) = delete;

    const std::string& dir() const { return dir_; }
    uint16_t tftpPort() const { return tftp_port_; }
    uint16_t syslogPort() const { return syslog_port_; }
    std::string debugLog() const;   // what went to the debugger output so far
    std::string msgboxLog() const;  // the message boxes shown so far

  private:
    std::string dir_;
    uint16_t tftp_port_ = 0;
    uint16_t syslog_port_ = 0;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeUdpPort();

// The socket library started for the life of the object, as Windows requires before any
// socket call.
class NetSession {
  public:
    NetSession();
    ~NetSession();
    NetSession(const NetSession&) = delete;
    NetSession& operator=(const NetSession&) = delete;
};

// The text split at line feeds (a final line feed adds no empty line).
std::vector<std::string> Lines(const std::string& text);
std::string ReadFile(const std::string& path);
// A text file as the platform's text mode reads it (line ends "\r\n" become "\n" on
// Windows).
std::string ReadTextFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
// Deterministic bytes of every value, for comparing transfers.
std::string PatternData(size_t size, uint32_t seed = 1);
std::string MakeTempDir();
void RemoveTree(const std::string& path);
// The descriptors this process has open, or -1 where the system does not list them.
int OpenDescriptors();
// The threads of this process, or -1 where the system does not list them.
int ProcessThreads();
// Waits until this process has at most `threads` threads (true), for at most ms; where
// threads cannot be counted, sleeps `fallbackMs` and returns true.
bool WaitForThreadsAtMost(int threads, int ms, int fallbackMs);

// Creates the HKEY_LOCAL_MACHINE key as needed and sets the value (fails the test when
// that fails).
void SetMachineValue(const char* subkey, const char* name, uint32_t type, const void* data,
                     uint32_t size);
void SetMachineDword(const char* subkey, const char* name, uint32_t value);
void SetMachineString(const char* subkey, const char* name, uint32_t type,
                      const std::string& value);

// Where the deliverables were built: beside the test programs.
std::string BinDir();
std::string TestBinDir();

}  // namespace kvtest
