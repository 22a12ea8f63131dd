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
    transfer_ = reinterpret_cast<TFTPTransferProc>(kvp::GetProcAddress(lib_, "TFTPTransfer"));
    query_ = reinterpret_cast<TFTPQueryStatusProc>(kvp::GetProcAddress(lib_, "TFTPQueryStatus"));
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
