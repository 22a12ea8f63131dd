// The client library as an application binds it: loaded by file name and reached
// through its two exported names only.
#pragma once

#include <string>

#include "kv/dynlib.h"
#include "kv/export.h"
#include "kv/time.h"
#include "kvtftpclidll.h"
#include "test_support.h"

namespace kvtest {

struct LoadedClientLibrary {
    kvp::HLibrary lib = nullptr;
    TFTPTransferProc transfer = nullptr;
    TFTPQueryStatusProc query = nullptr;
};

// Loaded once per process and kept, as an application that binds it at start-up does.
inline const LoadedClientLibrary& ClientLibraryExports() {
    static const LoadedClientLibrary loaded = [] {
        LoadedClientLibrary l;
        l.lib = kvp::LoadLibraryA((BinDir() + "/KVTFTPCLIDLL.DLL").c_str());
        if (l.lib != nullptr) {
            l.transfer =
                reinterpret_cast<TFTPTransferProc>(kvp::GetProcAddress(l.lib, "TFTPTransfer"));
            l.query = reinterpret_cast<TFTPQueryStatusProc>(
                kvp::GetProcAddress(l.lib, "TFTPQueryStatus"));
        }
        return l;
    }();
    return loaded;
}

// Polls the worker until it has ended; the bound only catches hangs.
inline bool WaitClientIdle(TFTPQueryStatusProc query, uint32_t ms = 120000) {
    const uint32_t start = kvp::GetTickCount();
    while (query() != 0) {
        if (kvp::GetTickCount() - start > ms) return false;
        kvp::Sleep(5);
    }
    return true;
}

}  // namespace kvtest
