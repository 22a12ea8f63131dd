// kvserve: runs the server engine in the foreground over one directory until SIGINT or
// SIGTERM. A small host for trying the server out, for the interop tests and for the
// benchmarks, until the service host takes over.
//
//   kvserve [-p PORT] [-s STATEDIR] DIRECTORY

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "kv/dynlib.h"
#include "kv/errors.h"
#include "kv/export.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "kv/signals.h"
#include "kvtftptsv.h"

namespace fs = std::filesystem;

// The engine stays loaded for the life of the process: transfers that are still running
// after the stop live in its code and end with the process. (A global the whole program
// can see, so that the handle counts as kept, not lost.)
kvp::HLibrary g_engine = nullptr;

namespace {

constexpr const char* kServerKey = "SOFTWARE\\Korvane\\TFTP Server";
// Found beside this program (kvtftptsv.so on Linux).
constexpr const char* kEngineFile = "KVTFTPTSV.DLL";
constexpr unsigned kMaxPath = 260;

struct Options {
    long port = -1;  // -1: not given
    std::string state_dir;
    std::string directory;
};

void PrintUsage(const char* prog) {
    std::fprintf(stderr,
                 "Usage: %s [-p PORT] [-s STATEDIR] DIRECTORY\n"
                 "Serves DIRECTORY over TFTP until interrupted.\n"
                 "  -p PORT      UDP port to listen on (default: KVTFTP_SERVICES' tftp entry "
                 "when set, else 69)\n"
                 "  -s STATEDIR  settings and event log (default: KVTFTP_STATE_DIR when set, "
                 "else a temporary directory removed on exit)\n",
                 prog);
}

bool ParsePort(const std::string& text, long* port) {
    if (text.empty() || text.size() > 5) return false;
    long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v < 1 || v > 65535) return false;
    *port = v;
    return true;
}

// 0 to go on, else the exit status.
int ParseArgs(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            PrintUsage(argv[0]);
            return 2;
        }
        if ((a == "-p" || a == "-s") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "-p") {
                if (!ParsePort(v, &opt->port)) {
                    std::fprintf(stderr, "kvserve: invalid port '%s'\n", v.c_str());
                    return 2;
                }
            } else {
                opt->state_dir = v;
            }
            continue;
        }
        if (!a.empty() && a[0] == '-') {
            PrintUsage(argv[0]);
            return 2;
        }
        if (!opt->directory.empty()) {
            PrintUsage(argv[0]);
            return 2;
        }
        opt->directory = a;
    }
    if (opt->directory.empty()) {
        PrintUsage(argv[0]);
        return 2;
    }
    return 0;
}

// A state directory of our own that disappears with the process, so that a quick run
// leaves nothing behind and never touches an installed server's settings.
class TempStateDir {
  public:
    ~TempStateDir() {
        if (!path_.empty()) {
            std::error_code ec;
            fs::remove_all(path_, ec);
        }
    }
    bool create() {
        std::error_code ec;
        fs::path base = fs::temp_directory_path(ec);
        if (ec) return false;
        std::string stem = "kvserve-" + std::to_string(kvp::CurrentProcessId());
        for (int i = 0; i < 100; ++i) {
            fs::path p = base / (stem + "-" + std::to_string(i));
            if (fs::create_directory(p, ec)) {
                path_ = p.string();
                return true;
            }
        }
        return false;
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

bool WriteServicesFile(const std::string& path, long port) {
    std::ofstream out(path, std::ios::trunc);
    out << "# written by kvserve\n"
        << "tftp\t\t" << port << "/udp\n"
        << "syslog\t\t514/udp\n";
    out.close();
    return static_cast<bool>(out);
}

bool WriteServerHome(const std::string& home) {
    kvp::RegKey key;
    uint32_t disposition = 0;
    long rc = kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyWrite, key.out(),
                                   &disposition);
    if (rc != kvp::kErrorSuccess) {
        std::fprintf(stderr, "kvserve: cannot create the server key: %s\n",
                     kvp::SystemErrorText(kvp::SystemErrorOfResult(rc)).c_str());
        return false;
    }
    rc = kvp::RegSetValueExA(key.get(), "TFTPHome", kvp::kRegSz,
                             reinterpret_cast<const uint8_t*>(home.c_str()),
                             static_cast<uint32_t>(home.size() + 1));
    if (rc != kvp::kErrorSuccess) {
        std::fprintf(stderr, "kvserve: cannot write TFTPHome: %s\n",
                     kvp::SystemErrorText(kvp::SystemErrorOfResult(rc)).c_str());
        return false;
    }
    return true;
}

int Run(const Options& opt) {
    std::error_code ec;
    fs::path home = fs::canonical(opt.directory, ec);
    if (ec || !fs::is_directory(home, ec)) {
        std::fprintf(stderr, "kvserve: %s is not a directory\n", opt.directory.c_str());
        return 1;
    }
    std::string home_text = home.string();
    if (home_text.size() > kMaxPath) {
        std::fprintf(stderr, "kvserve: %s is longer than %u characters\n", home_text.c_str(),
                     kMaxPath);
        return 1;
    }

    TempStateDir temp_state;
    std::string state_dir = opt.state_dir;
    if (state_dir.empty()) state_dir = kvp::GetEnv("KVTFTP_STATE_DIR");
    if (state_dir.empty()) {
        if (!temp_state.create()) {
            std::fprintf(stderr, "kvserve: cannot create a state directory\n");
            return 1;
        }
        state_dir = temp_state.path();
    }
    fs::create_directories(state_dir, ec);
    kvp::SetEnv("KVTFTP_STATE_DIR", state_dir.c_str());

    long port = opt.port;
    if (port < 0 && kvp::IsEnvSet("KVTFTP_SERVICES")) {
        port = 0;  // the engine takes its port from the services file already named
    } else {
        if (port < 0) port = 69;
        std::string services = (fs::path(state_dir) / "services").string();
        if (!WriteServicesFile(services, port)) {
            std::fprintf(stderr, "kvserve: cannot write %s\n", services.c_str());
            return 1;
        }
        kvp::SetEnv("KVTFTP_SERVICES", services.c_str());
    }

    if (!WriteServerHome(home_text)) return 1;

    g_engine = kvp::LoadLibraryA(kEngineFile);
    kvp::HLibrary lib = g_engine;
    if (!lib) {
        std::fprintf(stderr, "kvserve: cannot load %s\n", kEngineFile);
        return 1;
    }
    auto start =
        reinterpret_cast<TFTPServerControlProc>(kvp::GetProcAddress(lib, "StartTFTPServer"));
    auto stop = reinterpret_cast<TFTPServerControlProc>(kvp::GetProcAddress(lib, "StopTFTPServer"));
    if (!start || !stop || !kvp::GetProcAddress(lib, "PauseTFTPServer") ||
        !kvp::GetProcAddress(lib, "ResumeTFTPServer")) {
        std::fprintf(stderr, "kvserve: %s lacks the server control functions\n", kEngineFile);
        return 1;
    }

    // Before the engine starts its threads, so that they leave the signals to us.
    if (!kvp::BlockTerminationSignals()) {
        std::fprintf(stderr, "kvserve: cannot take over SIGINT and SIGTERM\n");
        return 1;
    }
    int rc = start();
    if (rc != 1) {
        std::fprintf(stderr, "kvserve: StartTFTPServer failed: %s\n",
                     kvp::SystemErrorText(rc).c_str());
        return 1;
    }
    if (port > 0) {
        std::printf("kvserve: serving %s on UDP port %ld (state in %s)\n", home_text.c_str(), port,
                    state_dir.c_str());
    } else {
        std::printf("kvserve: serving %s on the tftp port of %s (state in %s)\n", home_text.c_str(),
                    kvp::GetEnv("KVTFTP_SERVICES").c_str(), state_dir.c_str());
    }
    std::fflush(stdout);

    int sig = kvp::WaitForTerminationSignal();
    rc = stop();
    std::printf("kvserve: stopped (signal %d)\n", sig);
    std::fflush(stdout);
    return rc == 1 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    int rc = ParseArgs(argc, argv, &opt);
    if (rc != 0) return rc;
    rc = Run(opt);
    // Transfers may still be running on the engine's threads after the stop; ending
    // without the static destructors keeps them from using objects already destroyed.
    std::fflush(nullptr);
    std::_Exit(rc);
}
