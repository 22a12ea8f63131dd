// kvevtbench: the cost of one event log record as the server writes it (register the
// source, report, deregister), in a store far below its maximum size and in stores that
// keep overwriting their oldest records, each as a ratio to a bare append of the same
// line to a file (open, write, close): the least any store of this kind costs.
// Not a test: nothing here is run by ctest.
//
//   kvevtbench [RECORDS]      (default 20000; best of 3 runs each)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "kv/eventlog.h"
#include "kv/process.h"
#include "kv/registry.h"

namespace fs = std::filesystem;

namespace {

const char kLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
// A typical server line.
const char kText[] = "RRQ from 127.0.0.1:49152 for pxelinux.cfg/01-52-54-00-12-34-56:octet.";

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

template <typename F>
double BestOf3(F run) {
    double best = 1e9;
    for (int i = 0; i < 3; ++i) best = std::min(best, run());
    return best;
}

double BareAppends(const std::string& path, long n) {
    const std::string line =
        "1700000000\t4\tKVTFTP\t0\t0x40000001\t1\t" + std::string(kText) + "\n";
    fs::remove(path);
    auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < n; ++i) {
        std::FILE* f = std::fopen(path.c_str(), "ab");
        if (!f) return -1;
        std::fwrite(line.data(), 1, line.size(), f);
        std::fclose(f);
    }
    return Seconds(t0);
}

double StoreAppends(const std::string& state, uint32_t max_size, long n) {
    fs::remove(state + "/eventlog/Application.log");
    kvp::RegKey key;
    if (kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kLogKey, kvp::kKeyAllAccess, key.out(),
                             nullptr) != kvp::kErrorSuccess ||
        kvp::RegSetValueExA(key.get(), "MaxSize", kvp::kRegDword,
                            reinterpret_cast<const uint8_t*>(&max_size),
                            sizeof max_size) != kvp::kErrorSuccess)
        return -1;
    const char* strings[] = {kText};
    auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < n; ++i) {
        kvp::HEventSource src = kvp::RegisterEventSourceA(nullptr, "KVTFTP");
        if (!src ||
            !kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, 0x40000001, strings, 1))
            return -1;
        kvp::DeregisterEventSource(src);
    }
    return Seconds(t0);
}

}  // namespace

int main(int argc, char** argv) {
    const long n = argc > 1 ? std::atol(argv[1]) : 20000;
    if (n <= 0) return 2;
    const fs::path work =
        fs::temp_directory_path() / ("kvevtbench-" + std::to_string(std::random_device{}()));
    fs::create_directories(work / "state");
    kvp::SetEnv("KVTFTP_STATE_DIR", (work / "state").c_str());

    const double bare = BestOf3([&] { return BareAppends((work / "bare.log").string(), n); });
    std::printf("== %ld records of %zu bytes, best of 3 ==\n", n, sizeof kText + 35);
    std::printf("bare append (open, write, close):  %7.2f us/record  1.00\n", bare / n * 1e6);
    struct Case {
        const char* name;
        uint32_t max_size;
    };
    for (const Case& c : {Case{"store, never full (MaxSize 4 GiB):", 0xFFFFFFFFu},
                          Case{"store, full at 512 KiB (default): ", 512u << 10},
                          Case{"store, full at 64 KiB (smallest):", 64u << 10}}) {
        const double t =
            BestOf3([&] { return StoreAppends((work / "state").string(), c.max_size, n); });
        if (t < 0) {
            std::fprintf(stderr, "kvevtbench: the event log failed\n");
            fs::remove_all(work);
            return 1;
        }
        std::printf("%s %7.2f us/record  %.2f\n", c.name, t / n * 1e6, t / bare);
    }
    fs::remove_all(work);
    return 0;
}
