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

// The text split at line feeds (a final line feed adds no empty line).
std::vector<std::string> Lines(const std::string& text);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& data);
// Deterministic bytes of every value, for comparing transfers.
std::string PatternData(size_t size, uint32_t seed = 1);
std::string MakeTempDir();
void RemoveTree(const std::string& path);
// The descriptors this process has open, or -1 where the system does not list them.
int OpenDescriptors();

// Creates the HKEY_LOCAL_MACHINE key as needed and sets the value (fails the test when
// that fails).
void SetMachineValue(const char* subkey, const char* name, uint32_t type, const void* data,
                     uint32_t size);
void SetMachineDword(const char* subkey, const char* name, uint32_t value);
void SetMachineString(const char* subkey, const char* name, uint32_t type,
                      const std::string& value);

// Where the deliverables and the test tools were built.
std::string BinDir();
std::string TestBinDir();

}  // namespace kvtest
