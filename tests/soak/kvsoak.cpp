// Soak test of the server engine: many transfers of random sizes in both directions and
// both modes, through tftp-hpa's client and our client library, every file compared
// byte for byte, and the serving process's memory and descriptors watched from the
// first transfers to the last.
//
//   kvsoak run [--transfers N] [--max-size BYTES] [--lanes L] [--seed S]
//              [--bin DIR] [--peers DIR]
//       Serves a fresh directory with its own host process (below) and runs N transfers
//       (default 10000) of 0 to BYTES bytes (default 1 MiB), L at a time (default 2).
//       Exit 0 only when every transfer completed, every file matched, and neither the
//       descriptors nor the memory of the serving process grew from the first to the
//       last thousand transfers (or fifth, for short runs).
//   kvsoak host <stop file>
//       The host: loads kvtftptsv.so by file name from the --bin directory (given in
//       KVSOAK_BIN), starts the engine and serves until the stop file appears.
//
// tftp-hpa's client is $peers/bin/tftp (peers: --peers, else $KV_PEERS_DIR); without it
// every transfer uses our client library, and the report says so.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kv/dynlib.h"
#include "kv/export.h"
#include "kv/net.h"
#include "kv/process.h"
#include "kv/registry.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using EngineFn = uint32_t (*)();
using TransferFn = int(KV_STDCALL*)(const char*, int, int, const char*, const char*, int,
                                    const char*);
using QueryFn = int(KV_STDCALL*)(void);

std::string ReadFile(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteFile(const fs::path& p, const std::string& data) {
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

// Every bare line feed becomes CR LF, as a netascii sender puts it on the wire.
std::string ToNetascii(const std::string& s) {
    std::string out;
    out.reserve(s.size() + s.size() / 8);
    char prev = 0;
    for (char c : s) {
        if (c == '\n' && prev != '\r') out.push_back('\r');
        out.push_back(c);
        prev = c;
    }
    return out;
}

// ---- the host -------------------------------------------------------------------------

int Host(const std::string& stopFile) {
    const std::string bin = kvp::GetEnv("KVSOAK_BIN");
    kvp::HLibrary lib = kvp::LoadLibraryA((bin + "/kvtftptsv.so").c_str());
    if (lib == nullptr) {
        std::fprintf(stderr, "kvsoak host: cannot load %s/kvtftptsv.so\n", bin.c_str());
        return 3;
    }
    auto start = reinterpret_cast<EngineFn>(kvp::GetProcAddress(lib, "StartTFTPServer"));
    auto stop = reinterpret_cast<EngineFn>(kvp::GetProcAddress(lib, "StopTFTPServer"));
    if (start == nullptr || stop == nullptr || start() != 1) return 3;
    while (!fs::exists(stopFile)) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const bool stopped = stop() == 1;
    kvp::FreeLibrary(lib);
    return stopped ? 0 : 4;
}

// ---- what the driver watches in the host ----------------------------------------------

struct Sample {
    long rssKiB = 0;
    long fds = 0;
    long threads = 0;
};

Sample Measure(kvp::pid_type pid) {
    Sample s;
    const fs::path proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc / "status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) s.rssKiB = std::atol(line.c_str() + 6);
        if (line.rfind("Threads:", 0) == 0) s.threads = std::atol(line.c_str() + 8);
    }
    std::error_code ec;
    for (auto it = fs::directory_iterator(proc / "fd", ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        ++s.fds;
    }
    return s;
}

// ---- the driver -----------------------------------------------------------------------

struct Options {
    long transfers = 10000;
    size_t maxSize = 1 << 20;
    int lanes = 2;
    uint64_t seed = 1;
    std::string bin;
    std::string peers;
};

struct Plan {
    long index = 0;
    bool upload = false;
    bool octet = true;
    bool ours = true;  // our client library, else tftp-hpa's client
    size_t size = 0;
};

struct Outcome {
    bool completed = false;
    bool matched = false;
    std::string note;
};

class Soak {
  public:
    explicit Soak(const Options& o) : opt_(o) {}
    int Run();

  private:
    Plan Draw(std::mt19937_64& rng, long index);
    std::string Content(std::mt19937_64& rng, const Plan& p);
    Outcome Transfer(const Plan& p, std::mt19937_64& rng);
    bool RunOurs(const Plan& p, const fs::path& local, const std::string& remote);
    bool RunHpa(const Plan& p, const fs::path& local, const std::string& remote);
    void Lane(std::mt19937_64* rng, long end);
    Sample Quiesce();
    bool StartHost();
    void StopHost();

    Options opt_;
    fs::path dir_;
    fs::path root_;
    fs::path work_;
    uint16_t port_ = 0;
    std::string hpa_;
    kvp::pid_type host_ = -1;
    TransferFn transfer_ = nullptr;
    QueryFn query_ = nullptr;
    std::mutex oursMu_;  // the library runs one transfer at a time per process

    std::mutex mu_;
    long next_ = 0;
    long baseThreads_ = 0;
    long failures_ = 0;
    long differences_ = 0;
    long byKind_[2][2][2] = {};  // [ours][upload][octet]
    uint64_t bytes_ = 0;
    std::vector<Sample> samples_;
};

uint16_t FreePort() {
    kvp::Socket s(kvp::UdpSocket());
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    if (kvp::Bind(s.get(), a) != 0) return 0;
    kvp::SockAddr4 bound;
    if (kvp::GetSockName(s.get(), &bound) != 0) return 0;
    return kvp::NetToHost16(bound.port);
}

Plan Soak::Draw(std::mt19937_64& rng, long index) {
    Plan p;
    p.index = index;
    p.upload = rng() % 2 == 0;
    p.octet = rng() % 2 == 0;
    p.ours = hpa_.empty() || rng() % 2 == 0;
    // One transfer in six takes a size at a block boundary, where off-by-one faults live.
    if (rng() % 6 == 0) {
        const size_t blocks = rng() % (opt_.maxSize / 512 + 1);
        const int offset = static_cast<int>(rng() % 3) - 1;
        const long size = static_cast<long>(blocks * 512) + offset;
        p.size = static_cast<size_t>(std::clamp<long>(size, 0, static_cast<long>(opt_.maxSize)));
    } else {
        p.size = rng() % (opt_.maxSize + 1);
    }
    return p;
}

std::string Soak::Content(std::mt19937_64& rng, const Plan& p) {
    std::string s(p.size, '\0');
    if (p.octet) {
        for (char& c : s) c = static_cast<char>(rng());
    } else if (p.ours) {
        // Our client and server convert nothing back: any bytes, rich in line ends.
        for (char& c : s) {
            const uint64_t r = rng() % 16;
            c = r == 0 ? '\n' : r == 1 ? '\r' : static_cast<char>(rng());
        }
    } else {
        // tftp-hpa decodes netascii into local text: text lines without CR.
        for (char& c : s) {
            const uint64_t r = rng() % 40;
            c = r == 0 ? '\n' : static_cast<char>(' ' + rng() % 95);
        }
    }
    return s;
}

bool Soak::RunOurs(const Plan& p, const fs::path& local, const std::string& remote) {
    std::lock_guard<std::mutex> lock(oursMu_);
    if (transfer_("127.0.0.1", p.upload ? 0 : 1, p.octet ? 1 : 0, local.c_str(), remote.c_str(), 0,
                  "") != 1) {
        return false;
    }
    const auto start = Clock::now();
    while (query_() != 0) {
        if (Clock::now() - start > std::chrono::minutes(2)) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return true;
}

bool Soak::RunHpa(const Plan& p, const fs::path& local, const std::string& remote) {
    std::vector<std::string> argv = {
        hpa_, "-m", p.octet ? "binary" : "netascii", "127.0.0.1", std::to_string(port_), "-c"};
    if (p.upload) {
        argv.insert(argv.end(), {"put", local.string(), remote});
    } else {
        argv.insert(argv.end(), {"get", remote, local.string()});
    }
    const kvp::pid_type pid = kvp::SpawnProcess(argv, (work_ / (remote + ".out")).string());
    if (pid == -1) return false;
    const int status = kvp::WaitProcess(pid);
    fs::remove(work_ / (remote + ".out"));
    return status == 0;
}

Outcome Soak::Transfer(const Plan& p, std::mt19937_64& rng) {
    Outcome o;
    const std::string name = "t" + std::to_string(p.index) + (p.octet ? ".bin" : ".txt");
    const fs::path local = work_ / name;
    const fs::path remote = root_ / name;
    const std::string content = Content(rng, p);
    // Where the bytes end up, and what they must be there: our side stores netascii as
    // received; tftp-hpa decodes it on receipt.
    std::string expected = content;
    if (!p.octet && (p.upload || p.ours)) expected = ToNetascii(content);
    WriteFile(p.upload ? local : remote, content);
    o.completed = p.ours ? RunOurs(p, local, name) : RunHpa(p, local, name);
    const std::string got = ReadFile(p.upload ? remote : local);
    o.matched = got == expected;
    if (!o.matched) {
        o.note = "got " + std::to_string(got.size()) + " bytes, expected " +
                 std::to_string(expected.size());
    }
    std::error_code ec;
    fs::remove(local, ec);
    fs::remove(remote, ec);
    return o;
}

void Soak::Lane(std::mt19937_64* rng, long end) {
    for (;;) {
        long index;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (next_ >= end) return;
            index = next_++;
        }
        const Plan p = Draw(*rng, index);
        const Outcome o = Transfer(p, *rng);
        const Sample s = Measure(host_);
        std::lock_guard<std::mutex> lock(mu_);
        samples_.push_back(s);
        ++byKind_[p.ours][p.upload][p.octet];
        bytes_ += p.size;
        if (!o.completed) ++failures_;
        if (!o.matched) ++differences_;
        if (!o.completed || !o.matched) {
            std::printf("transfer %ld (%s, %s, %s, %zu bytes): %s%s\n", p.index,
                        p.ours ? "our client" : "tftp-hpa", p.upload ? "upload" : "download",
                        p.octet ? "octet" : "netascii", p.size,
                        o.completed ? "completed" : "FAILED",
                        o.matched ? "" : (", DIFFERS: " + o.note).c_str());
        }
        std::fflush(stdout);
    }
}

// Waits until the host runs no request thread (an upload's thread lingers for a while
// after its last ACK, for a repeated last block) and measures it then: what is left is
// what the transfers left behind.
Sample Soak::Quiesce() {
    const auto start = Clock::now();
    Sample s = Measure(host_);
    while (s.threads > baseThreads_ && Clock::now() - start < std::chrono::seconds(30)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        s = Measure(host_);
    }
    return s;
}

bool Soak::StartHost() {
    char self[4096];
    if (!kvp::GetModuleFileNameA(self, sizeof self)) return false;
    kvp::SetEnv("KVSOAK_BIN", opt_.bin.c_str());
    host_ =
        kvp::SpawnProcess({self, "host", (dir_ / "stop").string()}, (dir_ / "host.out").string());
    if (host_ == -1) return false;
    // The engine has bound the port when no one else can.
    for (int i = 0; i < 500; ++i) {
        kvp::Socket probe(kvp::UdpSocket());
        kvp::SockAddr4 a;
        a.addr = kvp::HostToNet32(0x7F000001);
        a.port = kvp::HostToNet16(port_);
        if (kvp::Bind(probe.get(), a) != 0) return true;
        probe.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void Soak::StopHost() {
    WriteFile(dir_ / "stop", "");
    const int status = kvp::WaitProcess(host_);
    if (status != 0) {
        std::printf("the host ended with status %d\n", status);
        ++failures_;
    }
}

void SetText(kvp::HKey key, const char* name, const std::string& v) {
    kvp::RegSetValueExA(key, name, kvp::kRegSz, reinterpret_cast<const uint8_t*>(v.c_str()),
                        static_cast<uint32_t>(v.size() + 1));
}

int Soak::Run() {
    dir_ = fs::temp_directory_path() / ("kvsoak-" + std::to_string(kvp::CurrentProcessId()));
    root_ = dir_ / "root";
    work_ = dir_ / "work";
    fs::create_directories(root_);
    fs::create_directories(work_);
    fs::create_directories(dir_ / "state");
    uint16_t granted = 0;
    kvp::NetStartup(&granted);
    port_ = FreePort();
    uint16_t syslog = FreePort();
    WriteFile(dir_ / "services", "tftp " + std::to_string(port_) + "/udp\nsyslog " +
                                     std::to_string(syslog) + "/udp\n");
    // The host and our client library both find the server's port in this file.
    kvp::SetEnv("KVTFTP_STATE_DIR", (dir_ / "state").c_str());
    kvp::SetEnv("KVTFTP_SERVICES", (dir_ / "services").c_str());
    kvp::SetEnv("KVTFTP_DEBUG_LOG", (dir_ / "debug.log").c_str());
    kvp::SetEnv("KVTFTP_MSGBOX_LOG", (dir_ / "msgbox.log").c_str());
    {
        kvp::RegKey key;
        if (kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\Korvane\\TFTP Server",
                                 kvp::kKeyAllAccess, key.out(), nullptr) != kvp::kErrorSuccess) {
            std::fprintf(stderr, "kvsoak: cannot write the server key\n");
            return 3;
        }
        SetText(key.get(), "TFTPHome", root_.string());
    }
    if (!opt_.peers.empty() && fs::exists(opt_.peers + "/bin/tftp"))
        hpa_ = opt_.peers + "/bin/tftp";
    kvp::HLibrary lib = kvp::LoadLibraryA((opt_.bin + "/kvtftpclidll.so").c_str());
    if (lib != nullptr) {
        transfer_ = reinterpret_cast<TransferFn>(kvp::GetProcAddress(lib, "TFTPTransfer"));
        query_ = reinterpret_cast<QueryFn>(kvp::GetProcAddress(lib, "TFTPQueryStatus"));
    }
    if (transfer_ == nullptr || query_ == nullptr) {
        std::fprintf(stderr, "kvsoak: cannot bind %s/kvtftpclidll.so\n", opt_.bin.c_str());
        return 3;
    }
    if (!StartHost()) {
        std::fprintf(stderr, "kvsoak: the host did not start serving\n");
        return 3;
    }
    std::printf("soak: %ld transfers of 0 to %zu bytes, %d at a time, seed %llu, clients: %s\n",
                opt_.transfers, opt_.maxSize, opt_.lanes,
                static_cast<unsigned long long>(opt_.seed),
                hpa_.empty() ? "our library only (no tftp-hpa)" : "tftp-hpa and our library");
    std::fflush(stdout);
    baseThreads_ = Measure(host_).threads;
    // At each checkpoint the lanes stop and the host is measured at rest: after the
    // first thousand transfers (a third of a shorter run), every thousand after, and at
    // the end.
    const long step = opt_.transfers >= 3000 ? 1000 : std::max(1L, opt_.transfers / 3);
    std::vector<std::mt19937_64> rngs;
    for (int i = 0; i < opt_.lanes; ++i) rngs.emplace_back(opt_.seed * 7919 + i);
    std::vector<std::pair<long, Sample>> rest;
    const auto start = Clock::now();
    for (long end = step; next_ < opt_.transfers; end += step) {
        const long stop = std::min(end, opt_.transfers);
        std::vector<std::thread> lanes;
        for (int i = 0; i < opt_.lanes; ++i) {
            lanes.emplace_back([this, &rngs, i, stop] { Lane(&rngs[i], stop); });
        }
        for (std::thread& t : lanes) t.join();
        const Sample s = Quiesce();
        rest.emplace_back(stop, s);
        std::printf("%ld transfers, host at rest: RSS %ld KiB, %ld descriptors, %ld threads\n",
                    stop, s.rssKiB, s.fds, s.threads);
        std::fflush(stdout);
    }
    const double secs = std::chrono::duration<double>(Clock::now() - start).count();
    StopHost();
    // The last worker has ended (its status said so), so the library may go.
    kvp::FreeLibrary(lib);

    // Under way, the largest figures of the first and the last window of transfers.
    const size_t n = samples_.size();
    const size_t window = static_cast<size_t>(std::max(1L, std::min(step, static_cast<long>(n))));
    Sample first;
    Sample last;
    for (size_t i = 0; i < window && i < n; ++i) {
        first.rssKiB = std::max(first.rssKiB, samples_[i].rssKiB);
        first.fds = std::max(first.fds, samples_[i].fds);
        first.threads = std::max(first.threads, samples_[i].threads);
        last.rssKiB = std::max(last.rssKiB, samples_[n - 1 - i].rssKiB);
        last.fds = std::max(last.fds, samples_[n - 1 - i].fds);
        last.threads = std::max(last.threads, samples_[n - 1 - i].threads);
    }
    // At rest after the first window and at the end: descriptors and threads must be
    // back where they were; memory may settle by a little (allocator arenas and caches)
    // but not grow with the transfers.
    const Sample& early = rest.front().second;
    const Sample& late = rest.back().second;
    const bool fdsGrew = late.fds > early.fds || late.threads > early.threads;
    const bool rssGrew = late.rssKiB > early.rssKiB + early.rssKiB / 10 + 2048;
    std::printf(
        "soak: %zu transfers (our client: %ld down octet, %ld down netascii, %ld up octet, "
        "%ld up netascii; tftp-hpa: %ld, %ld, %ld, %ld), %.1f MiB in %.0f s\n",
        n, byKind_[1][0][1], byKind_[1][0][0], byKind_[1][1][1], byKind_[1][1][0], byKind_[0][0][1],
        byKind_[0][0][0], byKind_[0][1][1], byKind_[0][1][0],
        static_cast<double>(bytes_) / (1 << 20), secs);
    std::printf("soak: %ld failures, %ld differences\n", failures_, differences_);
    std::printf(
        "soak: host at rest after %ld / %zu transfers: RSS %ld / %ld KiB, descriptors "
        "%ld / %ld, threads %ld / %ld\n",
        rest.front().first, n, early.rssKiB, late.rssKiB, early.fds, late.fds, early.threads,
        late.threads);
    std::printf(
        "soak: host under way, largest of the first / last %zu transfers: RSS %ld / %ld "
        "KiB, descriptors %ld / %ld, threads %ld / %ld\n",
        window, first.rssKiB, last.rssKiB, first.fds, last.fds, first.threads, last.threads);
    if (fdsGrew || rssGrew) std::printf("soak: GROWTH between the first and the last transfers\n");
    const bool ok = failures_ == 0 && differences_ == 0 && !fdsGrew && !rssGrew &&
                    n == static_cast<size_t>(opt_.transfers);
    std::printf("%ld passed, %ld failed\n", static_cast<long>(n) - failures_ - differences_,
                failures_ + differences_);
    if (ok) {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    } else {
        std::printf("soak: state kept in %s\n", dir_.c_str());
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "host") return Host(argv[2]);
    if (argc < 2 || std::string(argv[1]) != "run") {
        std::fprintf(stderr,
                     "usage: kvsoak run [--transfers N] [--max-size BYTES] [--lanes L] "
                     "[--seed S] [--bin DIR] [--peers DIR]\n");
        return 2;
    }
    Options o;
    o.peers = kvp::GetEnv("KV_PEERS_DIR");
#ifdef KV_BIN_DIR
    o.bin = KV_BIN_DIR;
#endif
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string k = argv[i];
        const char* v = argv[i + 1];
        if (k == "--transfers")
            o.transfers = std::atol(v);
        else if (k == "--max-size")
            o.maxSize = static_cast<size_t>(std::atoll(v));
        else if (k == "--lanes")
            o.lanes = std::max(1, std::atoi(v));
        else if (k == "--seed")
            o.seed = static_cast<uint64_t>(std::atoll(v));
        else if (k == "--bin")
            o.bin = v;
        else if (k == "--peers")
            o.peers = v;
        else {
            std::fprintf(stderr, "kvsoak: unknown option %s\n", k.c_str());
            return 2;
        }
    }
    Soak soak(o);
    return soak.Run();
}
