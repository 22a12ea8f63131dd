// Our own server engine for the client and probe tests: KVTFTPTSV.DLL loaded by file
// name, rooted in a directory through its registry key and started through its export.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "client_peer.h"
#include "kv/dynlib.h"
#include "kv/errors.h"
#include "kv/export.h"
#include "kv/net.h"
#include "kv/registry.h"
#include "kv/time.h"
#include "kvtftptsv.h"
#include "test_support.h"

namespace kvtest {

struct LoadedServerEngine {
    kvp::HLibrary lib = nullptr;
    TFTPServerControlProc start = nullptr;
    TFTPServerControlProc stop = nullptr;
};

// Null members when the engine is not built. Loaded once and never unloaded: its request
// threads may outlive a case by a few instructions.
inline const LoadedServerEngine& ServerEngineExports() {
    static const LoadedServerEngine loaded = [] {
        LoadedServerEngine s;
        s.lib = kvp::LoadLibraryA((BinDir() + "/KVTFTPTSV.DLL").c_str());
        if (s.lib != nullptr) {
            s.start = reinterpret_cast<TFTPServerControlProc>(
                kvp::GetProcAddress(s.lib, "StartTFTPServer"));
            s.stop = reinterpret_cast<TFTPServerControlProc>(
                kvp::GetProcAddress(s.lib, "StopTFTPServer"));
        }
        return s;
    }();
    return loaded;
}

inline bool SetServerText(const char* name, const std::string& value) {
    kvp::RegKey key;
    uint32_t disposition = 0;
    if (kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\Korvane\\TFTP Server",
                             kvp::kKeyWrite, key.out(), &disposition) != kvp::kErrorSuccess) {
        return false;
    }
    return kvp::RegSetValueExA(key.get(), name, kvp::kRegSz,
                               reinterpret_cast<const uint8_t*>(value.c_str()),
                               static_cast<uint32_t>(value.size() + 1)) == kvp::kErrorSuccess;
}

inline bool SetServerNumber(const char* name, uint32_t value) {
    kvp::RegKey key;
    uint32_t disposition = 0;
    if (kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\Korvane\\TFTP Server",
                             kvp::kKeyWrite, key.out(), &disposition) != kvp::kErrorSuccess) {
        return false;
    }
    return kvp::RegSetValueExA(key.get(), name, kvp::kRegDword,
                               reinterpret_cast<const uint8_t*>(&value),
                               sizeof value) == kvp::kErrorSuccess;
}

// True once something holds the TFTP port of 127.0.0.1 (the listener is bound).
inline bool PortTaken(uint16_t port) {
    kvp::Socket s(kvp::UdpSocket());
    return s.valid() && kvp::Bind(s.get(), Loopback(port)) != 0;
}

// Starts the engine and waits until its listener holds the port; false on failure.
inline bool StartOwnServer(uint16_t tftpPort) {
    if (ServerEngineExports().start == nullptr || ServerEngineExports().start() != 1) return false;
    const uint32_t since = kvp::GetTickCount();
    while (!PortTaken(tftpPort)) {
        if (kvp::GetTickCount() - since > 20000) return false;
        kvp::Sleep(10);
    }
    return true;
}

}  // namespace kvtest
