// Loads the client library, runs one transfer, and frees the library the moment
// TFTPQueryStatus says the transfer is over, again and again, as an application may.
//   kvlibcycle <library path> <rounds> <local file>
// Exit 0 when every round went through; a worker still inside the library when it is
// unmapped crashes the process instead.
#include <cstdio>
#include <cstdlib>

#include "kv/dynlib.h"
#include "kv/export.h"

namespace {

using TransferFn = int(KV_STDCALL*)(const char*, int, int, const char*, const char*, int,
                                    const char*);
using QueryFn = int(KV_STDCALL*)(void);

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: kvlibcycle <library> <rounds> <local file>\n");
        return 2;
    }
    const long rounds = std::strtol(argv[2], nullptr, 10);
    for (long i = 0; i < rounds; ++i) {
        kvp::HLibrary lib = kvp::LoadLibraryA(argv[1]);
        if (lib == nullptr) {
            std::fprintf(stderr, "round %ld: cannot load %s\n", i, argv[1]);
            return 3;
        }
        auto transfer = reinterpret_cast<TransferFn>(kvp::GetProcAddress(lib, "TFTPTransfer"));
        auto query = reinterpret_cast<QueryFn>(kvp::GetProcAddress(lib, "TFTPQueryStatus"));
        if (transfer == nullptr || query == nullptr) return 3;
        // No server named: the worker starts, finds nothing to do and ends at once, so
        // the end of the worker is all that the round exercises.
        if (transfer("", 1, 1, argv[3], "remote", 0, "") != 1) {
            std::fprintf(stderr, "round %ld: no worker started\n", i);
            return 4;
        }
        // Asked as often as possible, so the library goes the first moment it may.
        while (query() != 0) {
        }
        if (!kvp::FreeLibrary(lib)) return 5;
    }
    std::printf("%ld rounds\n", rounds);
    return 0;
}
