#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "kv/dynlib.h"
#include "kv/net.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "kv/time.h"

namespace fs = std::filesystem;

namespace kvtest {

std::string MakeTempDir() {
    static std::mt19937_64 rng{std::random_device{}()};
    fs::path base = fs::temp_directory_path();
    for (int i = 0; i < 100; ++i) {
        fs::path p = base / ("kvtftp-test-" + std::to_string(kvp::CurrentProcessId()) + "-" +
                             std::to_string(rng() % 1000000000));
        std::error_code ec;
        if (fs::create_directory(p, ec)) return p.string();
    }
    ADD_FAILURE() << "cannot create a temporary directory";
    return base.string();
}

int ProcessThreads() {
    // The thread checker's run time starts a helper thread of its own with the first
    // thread the process makes; making (and ending) one before the first count keeps it
    // out of what a test compares.
    static const bool warmed = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmed;
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/self/task", ec);
    if (ec) return -1;
    int n = 0;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) ++n;
    return n;
}

bool WaitForThreadsAtMost(int threads, int ms, int fallbackMs) {
    if (ProcessThreads() < 0) {
        kvp::Sleep(static_cast<uint32_t>(fallbackMs));
        return true;
    }
    const uint32_t since = kvp::GetTickCount();
    while (ProcessThreads() > threads) {
        if (kvp::GetTickCount() - since >= static_cast<uint32_t>(ms)) return false;
        kvp::Sleep(10);
    }
    return true;
}

int OpenDescriptors() {
    std::error_code ec;
    // The build names the directory that lists them (none on Windows, whose handles are
    // no descriptors).
    const std::string dir = KV_DESCRIPTOR_DIR;
    if (dir.empty()) return -1;
    fs::directory_iterator it(dir, ec);
    if (ec) return -1;
    int n = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) ++n;
    return n;
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    fs::remove_all(path, ec);
}

NetSession::NetSession() {
    uint16_t granted = 0;
    EXPECT_EQ(kvp::NetStartup(&granted), 0);
}

NetSession::~NetSession() {
    kvp::NetCleanup();
}

namespace {

// The ports the system hands out for port 0 (Linux's range; Windows' and Wine's begin
// at 49152 or, as Linux's, at 32768).
void EphemeralRange(unsigned* low, unsigned* high) {
    *low = 32768;
    *high = 60999;
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned l = 0, h = 0;
    if (in >> l >> h && l <= h) {
        *low = l;
        *high = h;
    }
}

bool UdpPortFree(uint16_t port) {
    kvp::Socket s(kvp::UdpSocket());
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    a.port = kvp::HostToNet16(port);
    return s.valid() && kvp::Bind(s.get(), a) == 0;
}

}  // namespace

uint16_t FreeUdpPort() {
    // A port taken from the system's ephemeral range and released can be handed to any
    // socket of a parallel test (every transfer opens one) before our daemon binds it.
    // So ports come from below (or above) that range, where only tests choose, and each
    // process starts at its own place in it, so parallel tests rarely probe the same.
    unsigned low = 0, high = 0;
    EphemeralRange(&low, &high);
    unsigned first = 20000, last = 32767;
    if (low <= first + 1000) {
        first = high + 1;
        last = 65535;
    } else if (low <= last) {
        last = low - 1;
    }
    const unsigned span = last - first + 1;
    static unsigned next = (static_cast<unsigned>(kvp::CurrentProcessId()) * 37u) % span;
    uint16_t granted = 0;
    kvp::NetStartup(&granted);
    uint16_t port = 0;
    for (unsigned tries = 0; tries < span && port == 0; ++tries) {
        const auto candidate = static_cast<uint16_t>(first + next % span);
        next = (next + 1) % span;
        if (UdpPortFree(candidate)) port = candidate;
    }
    kvp::NetCleanup();
    return port;
}

TestEnv::TestEnv() {
    dir_ = MakeTempDir();
    tftp_port_ = FreeUdpPort();
    do {
        syslog_port_ = FreeUdpPort();
    } while (syslog_port_ == tftp_port_);
    std::ostringstream services;
    services << "# test services\n"
             << "tftp\t\t" << tftp_port_ << "/udp\n"
             << "syslog\t\t" << syslog_port_ << "/udp\n";
    WriteFile(dir_ + "/services", services.str());
    kvp::SetEnv("KVTFTP_STATE_DIR", (dir_ + "/state").c_str());
    kvp::SetEnv("KVTFTP_SERVICES", (dir_ + "/services").c_str());
    kvp::SetEnv("KVTFTP_DEBUG_LOG", (dir_ + "/debug.log").c_str());
    kvp::SetEnv("KVTFTP_MSGBOX_LOG", (dir_ + "/msgbox.log").c_str());
    fs::create_directories(dir_ + "/state");
    // The suite refuses a state directory that others could change, whatever the umask.
    fs::permissions(dir_ + "/state", fs::perms::owner_all);
}

TestEnv::~TestEnv() {
    RemoveTree(dir_);
}

std::string TestEnv::debugLog() const {
    return ReadFile(dir_ + "/debug.log");
}
std::string TestEnv::msgboxLog() const {
    return ReadFile(dir_ + "/msgbox.log");
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string PatternData(size_t size, uint32_t seed) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 12345;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 16);
    }
    return s;
}

void SetMachineValue(const char* subkey, const char* name, uint32_t type, const void* data,
                     uint32_t size) {
    kvp::RegKey key;
    ASSERT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, subkey, kvp::kKeyAllAccess, key.out(),
                                   nullptr),
              kvp::kErrorSuccess);
    ASSERT_EQ(kvp::RegSetValueExA(key.get(), name, type, static_cast<const uint8_t*>(data), size),
              kvp::kErrorSuccess);
}

void SetMachineDword(const char* subkey, const char* name, uint32_t value) {
    SetMachineValue(subkey, name, kvp::kRegDword, &value, sizeof value);
}

void SetMachineString(const char* subkey, const char* name, uint32_t type,
                      const std::string& value) {
    SetMachineValue(subkey, name, type, value.c_str(), static_cast<uint32_t>(value.size() + 1));
}

std::string BinDir() {
    // The build puts the test programs beside the deliverables.
    char self[4096];
    if (!kvp::GetModuleFileNameA(self, sizeof self)) {
        ADD_FAILURE() << "cannot tell where this program lies";
        return ".";
    }
    const std::string path = self;
    const size_t sep = path.find_last_of("/\\");
    return sep == std::string::npos ? "." : path.substr(0, sep);
}

std::string TestBinDir() {
    return KV_TESTBIN_DIR;
}

}  // namespace kvtest
