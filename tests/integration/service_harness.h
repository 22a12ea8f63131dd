// What the service tests share: the support library loaded by file name, the registry
// values it writes, the event records, and the programs run as processes.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kv/dynlib.h"
#include "kv/registry.h"
#include "kvtftpasc.h"
#include "process_support.h"
#include "test_support.h"

namespace svctest {

constexpr const char* kServerKey = "SOFTWARE\\Korvane\\TFTP Server";
constexpr const char* kServiceKey = "SYSTEM\\CurrentControlSet\\Services\\KVTFTP";
constexpr const char* kSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KVTFTP";
constexpr const char* kCplsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";

// kvtftpasc.so of the build, loaded once per process and bound by name.
class Support {
  public:
    static Support& Get();
    template <class Fn>
    Fn fn(const char* name) const {
        void* p = lib_ != nullptr ? kvp::GetProcAddress(lib_, name) : nullptr;
        EXPECT_NE(p, nullptr) << name;
        return reinterpret_cast<Fn>(p);
    }
    uint32_t call(const char* name) const { return fn<kvasc::VoidFn>(name)(); }

  private:
    Support();
    kvp::HLibrary lib_ = nullptr;
};

// A value of HKEY_LOCAL_MACHINE\key as text (REG_SZ / REG_EXPAND_SZ without the
// terminator), "<missing>" when there is none.
std::string MachineText(const char* key, const char* name);
uint32_t MachineDword(const char* key, const char* name);
bool MachineKeyExists(const char* key);
void SetMachineText(const char* key, const char* name, const std::string& value);

// The records of the source "KVTFTP": the identifier and the first insertion text.
struct Event {
    uint32_t id;
    std::string text;
};
std::vector<Event> Events();
// Polls until pred holds; false after ms.
bool WaitUntil(const std::function<bool()>& pred, int ms = 15000);
// Waits until a record with the id (and the text, when given) is among them.
bool WaitForEvent(uint32_t id, const std::string& text = "", int ms = 15000);

// A program of build/bin run to its end; its output and exit status.
kvtest::CommandResult RunProgram(const std::vector<std::string>& argv, int limit_s = 60);
// The service's current state as the service manager reports it, 0 when it cannot.
uint32_t QueryState();
// Waits until the service reports the state.
bool WaitForState(uint32_t state, int ms = 15000);

}  // namespace svctest
