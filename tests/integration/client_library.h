// The client library as an application binds it: loaded by file name and reached
// through its two exported names only.
#pragma once

#include <string>

#include "kv/dynlib.h"
#include "kv/export.h"
#include "kv/time.h"
#include "test_support.h"

namespace kvtest {

using TransferFn = int(KV_STDCALL*)(const char*, int, int, const char*, const char*, int,
                                    const char*);
using QueryFn = int(KV_STDCALL*)(void);

struct LoadedClientLibrary {
    kvp::HLibrary lib = nullptr;
    TransferFn transfer = nullptr;
    QueryFn query = nullptr;
};

// Loaded once per process and kept, as an application that binds it at start-up does.
inline const LoadedClientLibrary& ClientLibraryExports() {
    static const LoadedClientLibrary loaded = [] {
        LoadedClientLibrary l;
        l.lib = kvp::LoadLibraryA((BinDir() + "/kvtftpclidll.so").c_str());
        if (l.lib != nullptr) {
            l.transfer = reinterpret_cast<TransferFn>(kvp::GetProcAddress(l.lib, "TFTPTransfer"));
            l.query = reinterpret_cast<QueryFn>(kvp::GetProcAddress(l.lib, "TFTPQueryStatus"));
        }
        return l;
    }();
    return loaded;
}

// Polls the worker until it has ended; the bound only catches hangs.
inline bool WaitClientIdle(QueryFn query, uint32_t ms = 120000) {
    const uint32_t start = kvp::GetTickCount();
    while (query() != 0) {
        if (kvp::GetTickCount() - start > ms) return false;
        kvp::Sleep(5);
    }
    return true;
}

}  // namespace kvtest
