// The server engine fed with arbitrary datagrams over 127.0.0.1, as a hostile client
// would send them: the first to the TFTP port, the rest to the conversation port the
// server answered from (or to the TFTP port again when none did). Every request thread
// must end by itself, and none may crash or touch memory it does not own.
//
// Input: datagrams, each a 16-bit big-endian length and that many bytes (the last one
// takes what is left).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine.h"
#include "fuzz_check.h"
#include "kv/net.h"
#include "kv/process.h"
#include "kv/registry.h"

extern "C" uint32_t StartTFTPServer();

namespace {

namespace fs = std::filesystem;

fs::path g_dir;
fs::path g_root;
uint16_t g_port = 0;
kvp::Socket* g_client = nullptr;
unsigned g_runs = 0;
unsigned long g_datagrams = 0;

void ReportDatagrams() {
    std::printf("fuzz_dispatch: %lu datagrams sent to the server\n", g_datagrams);
}

uint16_t FreePort() {
    kvp::Socket s(kvp::UdpSocket());
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    FUZZ_CHECK(kvp::Bind(s.get(), a) == 0);
    kvp::SockAddr4 bound;
    FUZZ_CHECK(kvp::GetSockName(s.get(), &bound) == 0);
    return kvp::NetToHost16(bound.port);
}

kvp::SockAddr4 Loopback(uint16_t port) {
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    a.port = kvp::HostToNet16(port);
    return a;
}

void SetText(kvp::HKey key, const char* name, const std::string& v) {
    kvp::RegSetValueExA(key, name, kvp::kRegSz, reinterpret_cast<const uint8_t*>(v.c_str()),
                        static_cast<uint32_t>(v.size() + 1));
}
void SetFlag(kvp::HKey key, const char* name, uint8_t v) {
    kvp::RegSetValueExA(key, name, kvp::kRegBinary, &v, 1);
}
void SetDword(kvp::HKey key, const char* name, uint32_t v) {
    const uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    kvp::RegSetValueExA(key, name, kvp::kRegDword, b, 4);
}

// The files a request may name; uploads add more, so the root is laid anew now and then.
void LayRoot() {
    std::error_code ec;
    fs::remove_all(g_root, ec);
    fs::create_directories(g_root / "sub");
    std::ofstream(g_root / "small.txt") << "line one\nline two\r\nthree\r";
    std::ofstream(g_root / "exact.bin") << std::string(512, 'e');
    std::ofstream(g_root / "sub" / "two.bin") << std::string(700, '\n');
    // The logs grow with every request.
    fs::remove(g_dir / "state" / "eventlog" / "Application.log", ec);
    fs::remove(g_dir / "debug.log", ec);
    fs::remove(g_dir / "msgbox.log", ec);
}

// Waits until the server has no request thread left; a thread that never ends is a
// finding of its own.
void WaitIdle() {
    const auto start = std::chrono::steady_clock::now();
    while (ActiveRequestThreads() != 0) {
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(20)) {
            std::fprintf(stderr, "a request thread is still running after 20 s\n");
            std::abort();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_dir = fs::temp_directory_path() /
            ("kvtftp-fuzz-dispatch-" + std::to_string(kvp::CurrentProcessId()));
    g_root = g_dir / "root";
    fs::create_directories(g_dir / "state");
    uint16_t granted = 0;
    FUZZ_CHECK(kvp::NetStartup(&granted) == 0);
    g_port = FreePort();
    uint16_t syslogPort = FreePort();
    std::ofstream(g_dir / "services")
        << "tftp " << g_port << "/udp\nsyslog " << syslogPort << "/udp\n";
    kvp::SetEnv("KVTFTP_STATE_DIR", (g_dir / "state").string().c_str());
    kvp::SetEnv("KVTFTP_SERVICES", (g_dir / "services").string().c_str());
    kvp::SetEnv("KVTFTP_DEBUG_LOG", (g_dir / "debug.log").string().c_str());
    kvp::SetEnv("KVTFTP_MSGBOX_LOG", (g_dir / "msgbox.log").string().c_str());
    LayRoot();
    std::atexit(ReportDatagrams);
    {
        kvp::RegKey key;
        FUZZ_CHECK(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\Korvane\\TFTP Server",
                                        kvp::kKeyAllAccess, key.out(),
                                        nullptr) == kvp::kErrorSuccess);
        SetText(key.get(), "TFTPHome", g_root.string());
        // Everything that a request can reach is on: logging to both places, uploads
        // over existing files, error replies.
        SetFlag(key.get(), "LogEventLogs", 1);
        SetFlag(key.get(), "LogSyslogs", 1);
        SetText(key.get(), "SyslogHost", "127.0.0.1");
        SetFlag(key.get(), "AllowOverwrite", 1);
        SetDword(key.get(), "Rexttimeout", 20);
        SetDword(key.get(), "Retransmits", 1);
    }
    FUZZ_CHECK(StartTFTPServer() == 1);
    g_client = new kvp::Socket(kvp::UdpSocket());
    FUZZ_CHECK(kvp::Bind(g_client->get(), Loopback(0)) == 0);
    // Until the listener has bound its port, datagrams would go nowhere.
    for (int i = 0; i < 200; ++i) {
        kvp::Socket probe(kvp::UdpSocket());
        if (kvp::Bind(probe.get(), Loopback(g_port)) != 0) return 0;
        probe.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::fprintf(stderr, "the server never bound its port\n");
    std::abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (++g_runs % 2000 == 0) LayRoot();
    std::vector<std::string> datagrams;
    for (size_t at = 0; at < size && datagrams.size() < 16;) {
        size_t n = size - at;
        if (size - at >= 2) {
            const size_t claim = (static_cast<size_t>(data[at]) << 8) | data[at + 1];
            at += 2;
            n = claim < size - at ? claim : size - at;
        }
        datagrams.emplace_back(reinterpret_cast<const char*>(data + at), n);
        at += n;
    }
    const kvp::socket_t s = g_client->get();
    kvp::SockAddr4 conversation;
    bool talking = false;
    char reply[1024];
    for (size_t i = 0; i < datagrams.size(); ++i) {
        const std::string& d = datagrams[i];
        kvp::SendTo(s, d.data(), static_cast<int>(d.size()),
                    talking ? conversation : Loopback(g_port));
        ++g_datagrams;
        // A request is answered at once (DATA, ACK 0 or ERROR): learn the conversation
        // port from that answer. Later datagrams take whatever came back meanwhile.
        const bool request = i == 0 && d.size() >= 2 && d[0] == 0 && (d[1] == 1 || d[1] == 2);
        long waitUs = request ? 50 * 1000 : 0;
        while (kvp::WaitReadable(s, 0, waitUs) == 1) {
            kvp::SockAddr4 from;
            if (kvp::RecvFrom(s, reply, sizeof reply, &from) < 0) break;
            if (kvp::NetToHost16(from.port) != g_port && !talking) {
                conversation = from;
                talking = true;
            }
            waitUs = 0;
        }
    }
    // End a transfer that is still going, as a client giving up would.
    if (talking) {
        static const char kBye[] = "\0\5\0\0bye";
        kvp::SendTo(s, kBye, sizeof kBye, conversation);
        ++g_datagrams;
    }
    WaitIdle();
    // Drop what the server sent after the last look.
    while (kvp::WaitReadable(s, 0, 0) == 1) {
        kvp::SockAddr4 from;
        if (kvp::RecvFrom(s, reply, sizeof reply, &from) < 0) break;
    }
    return 0;
}
