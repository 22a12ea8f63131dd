// kvclibench: one transfer through the client library, as an application would run it:
// load kvtftpclidll.so by name, bind TFTPTransfer and TFTPQueryStatus, start the
// transfer and poll until the worker ends. Prints the elapsed time.
//
//   kvclibench [-u] [-n] [-l LOGFILE] SERVER REMOTEFILE LOCALFILE
//     -u  upload LOCALFILE (default: download into it)
//     -n  netascii (default: octet)
//     -l  write the library's transfer log to LOGFILE (the only place that tells why a
//         transfer failed)

#include <chrono>
#include <cstdio>
#include <string>

#include "kv/dynlib.h"
#include "kv/export.h"
#include "kv/time.h"
#include "kvtftpclidll.h"

namespace {

int Usage() {
    std::fprintf(stderr, "Usage: kvclibench [-u] [-n] [-l LOGFILE] SERVER REMOTEFILE LOCALFILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int action = 1;  // download
    int mode = 1;    // octet
    const char* log_path = nullptr;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string opt = argv[i];
        if (opt == "-u")
            action = 0;
        else if (opt == "-n")
            mode = 0;
        else if (opt == "-l" && i + 1 < argc)
            log_path = argv[++i];
        else
            return Usage();
    }
    if (argc - i != 3) return Usage();
    const char* server = argv[i];
    const char* remote = argv[i + 1];
    const char* local = argv[i + 2];

    kvp::HLibrary lib = kvp::LoadLibraryA("KVTFTPCLIDLL.DLL");
    if (!lib) {
        std::fprintf(stderr, "kvclibench: cannot load kvtftpclidll.so\n");
        return 1;
    }
    auto transfer = reinterpret_cast<TFTPTransferProc>(kvp::GetProcAddress(lib, "TFTPTransfer"));
    auto query = reinterpret_cast<TFTPQueryStatusProc>(kvp::GetProcAddress(lib, "TFTPQueryStatus"));
    if (!transfer || !query) {
        std::fprintf(stderr, "kvclibench: kvtftpclidll.so lacks TFTPTransfer/TFTPQueryStatus\n");
        return 1;
    }

    auto start = std::chrono::steady_clock::now();
    if (transfer(server, action, mode, local, remote, log_path ? 1 : 0, log_path ? log_path : "") !=
        1) {
        std::fprintf(stderr, "kvclibench: TFTPTransfer refused the request\n");
        return 1;
    }
    // Polling as a caller would; 1 ms keeps the cost of asking well below a transfer's.
    while (query() != 0) kvp::Sleep(1);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The library tells callers only that the worker ended, not whether it succeeded.
    std::printf("kvclibench: %s of %s ended after %.3f s\n", action ? "download" : "upload", remote,
                secs);
    kvp::FreeLibrary(lib);  // the worker has ended: nothing runs in the library any more
    return 0;
}
