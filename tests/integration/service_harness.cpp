#include "service_harness.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "kv/eventlog.h"
#include "kv/service.h"

namespace svctest {

Support& Support::Get() {
    static Support* support = new Support;
    return *support;
}

Support::Support() {
    const std::string path = kvtest::BinDir() + "/kvtftpasc.so";
    lib_ = kvp::LoadLibraryA(path.c_str());
    EXPECT_NE(lib_, nullptr) << "cannot load " << path;
}

namespace {

bool ReadMachineValue(const char* key, const char* name, uint32_t* type, std::string* data) {
    kvp::RegKey k;
    if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, key, kvp::kKeyRead, k.out()) !=
        kvp::kErrorSuccess)
        return false;
    uint8_t buf[2048];
    uint32_t size = sizeof buf;
    if (kvp::RegQueryValueExA(k.get(), name, type, buf, &size) != kvp::kErrorSuccess) return false;
    data->assign(reinterpret_cast<char*>(buf), size);
    return true;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& pred, int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string MachineText(const char* key, const char* name) {
    uint32_t type = 0;
    std::string data;
    if (!ReadMachineValue(key, name, &type, &data)) return "<missing>";
    if ((type != kvp::kRegSz && type != kvp::kRegExpandSz) || data.empty() || data.back() != '\0')
        return "<not a text>";
    data.pop_back();
    return data;
}

uint32_t MachineDword(const char* key, const char* name) {
    uint32_t type = 0;
    std::string data;
    uint32_t v = 0xFFFFFFFFu;
    if (ReadMachineValue(key, name, &type, &data) && type == kvp::kRegDword && data.size() == 4)
        std::memcpy(&v, data.data(), 4);
    return v;
}

bool MachineKeyExists(const char* key) {
    kvp::RegKey k;
    return kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, key, kvp::kKeyRead, k.out()) ==
           kvp::kErrorSuccess;
}

void SetMachineText(const char* key, const char* name, const std::string& value) {
    kvp::RegKey k;
    uint32_t disposition = 0;
    ASSERT_EQ(
        kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, key, kvp::kKeyWrite, k.out(), &disposition),
        kvp::kErrorSuccess);
    ASSERT_EQ(kvp::RegSetValueExA(k.get(), name, kvp::kRegSz,
                                  reinterpret_cast<const uint8_t*>(value.c_str()),
                                  static_cast<uint32_t>(value.size() + 1)),
              kvp::kErrorSuccess);
}

std::vector<Event> Events() {
    std::vector<kvp::EventRecord> records;
    std::vector<Event> events;
    if (!kvp::ReadEventLog(&records)) return events;
    for (const auto& r : records) {
        if (r.source == "KVTFTP")
            events.push_back(Event{r.event_id, r.strings.empty() ? "" : r.strings[0]});
    }
    return events;
}

bool WaitForEvent(uint32_t id, const std::string& text, int ms) {
    return WaitUntil(
        [&] {
            for (const Event& e : Events()) {
                if (e.id == id && (text.empty() || e.text == text)) return true;
            }
            return false;
        },
        ms);
}

kvtest::CommandResult RunProgram(const std::vector<std::string>& argv, int limit_s) {
    std::vector<std::string> full = argv;
    if (!full.empty() && full[0].find('/') == std::string::npos)
        full[0] = kvtest::BinDir() + "/" + full[0];
    static int n = 0;
    return kvtest::RunCommand(
        full, kvp::GetEnv("KVTFTP_STATE_DIR") + "/../run" + std::to_string(++n) + ".out", limit_s);
}

uint32_t QueryState() {
    kvp::ScopedScHandle manager(kvp::OpenSCManagerA(nullptr, nullptr, kvp::kGenericRead));
    if (!manager) return 0;
    kvp::ScopedScHandle service(
        kvp::OpenServiceA(manager.get(), "KVTFTP", kvp::kServiceQueryStatus));
    kvp::ServiceStatus status;
    if (!service || !kvp::QueryServiceStatus(service.get(), &status)) return 0;
    return status.currentState;
}

bool WaitForState(uint32_t state, int ms) {
    return WaitUntil([&] { return QueryState() == state; }, ms);
}

}  // namespace svctest
