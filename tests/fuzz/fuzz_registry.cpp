// The registry stand-in's text format on arbitrary hive files: whatever the file holds,
// reading it never fails loudly, and once any change makes the registry write the hive
// back, every key and value reads back exactly as it read before.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz_check.h"
#include "kv/process.h"
#include "kv/registry.h"

namespace {

namespace fs = std::filesystem;

std::string g_hive;

// Every key below the root (by its path) with its values (name, type, data), in the
// order the registry enumerates them; only the first kMaxEntries, since every call
// reads the whole hive again.
constexpr size_t kMaxEntries = 40;
using Snapshot = std::vector<std::tuple<std::string, std::string, uint32_t, std::string>>;

void Walk(kvp::HKey key, const std::string& path, int depth, Snapshot* out) {
    for (uint32_t i = 0;; ++i) {
        char name[1024];
        uint32_t nameSize = sizeof name;
        uint32_t type = 0;
        uint8_t data[8192];
        uint32_t dataSize = sizeof data;
        const long r = kvp::RegEnumValueA(key, i, name, &nameSize, &type, data, &dataSize);
        if (r == kvp::kErrorNoMoreItems || out->size() >= kMaxEntries) break;
        if (r != kvp::kErrorSuccess) continue;  // too large for these buffers
        out->emplace_back(path, std::string(name, nameSize), type,
                          std::string(reinterpret_cast<char*>(data), dataSize));
    }
    if (depth > 64) return;
    for (uint32_t i = 0;; ++i) {
        char name[1024];
        const long r = kvp::RegEnumKeyA(key, i, name, sizeof name);
        if (r == kvp::kErrorNoMoreItems || out->size() >= kMaxEntries) break;
        if (r != kvp::kErrorSuccess) continue;
        out->emplace_back(path + "\\" + name, "", 0, "");
        kvp::RegKey sub;
        if (kvp::RegOpenKeyExA(key, name, kvp::kKeyRead, sub.out()) == kvp::kErrorSuccess) {
            Walk(sub.get(), path + "\\" + name, depth + 1, out);
        }
    }
}

Snapshot Read() {
    Snapshot s;
    Walk(kvp::kHkeyLocalMachine, "", 0, &s);
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path dir = base / ("kvtftp-fuzz-registry-" + std::to_string(kvp::CurrentProcessId()));
    fs::create_directories(dir / "registry");
    kvp::SetEnv("KVTFTP_STATE_DIR", dir.string().c_str());
    g_hive = (dir / "registry" / "HKEY_LOCAL_MACHINE.reg").string();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    {
        std::ofstream f(g_hive, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const Snapshot before = Read();
    // A change elsewhere makes the registry write the whole hive back in its own format.
    kvp::RegKey probe;
    FUZZ_CHECK(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, "KvFuzzProbe", kvp::kKeyAllAccess,
                                    probe.out(), nullptr) == kvp::kErrorSuccess);
    probe.reset();
    Snapshot after = Read();
    // Unless a key of that name (in any letter case) was there already, the probe key is
    // new: it goes away again, wherever it sorted.
    bool existed = false;
    for (const auto& e : before) {
        std::string p = std::get<0>(e);
        for (char& c : p) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        existed = existed || p == "\\kvfuzzprobe";
    }
    Snapshot kept = before;
    if (!existed) {
        bool seenProbe = false;
        for (auto it = after.begin(); it != after.end(); ++it) {
            if (std::get<0>(*it) == "\\KvFuzzProbe" && std::get<1>(*it).empty()) {
                after.erase(it);
                seenProbe = true;
                break;
            }
        }
        // Unless the walk stopped at its bound before it came to the probe.
        FUZZ_CHECK(seenProbe || after.size() >= kMaxEntries);
        // The probe may have pushed the last entry past the bound.
        if (kept.size() >= kMaxEntries) kept.resize(kMaxEntries - 1);
        if (after.size() >= kMaxEntries) after.resize(kMaxEntries - 1);
    }
    if (kept != after) {
        std::fprintf(stderr, "hive read %zu entries before the write back, %zu after\n",
                     kept.size(), after.size());
        for (size_t i = 0; i < kept.size() || i < after.size(); ++i) {
            if (i < kept.size() && i < after.size() && kept[i] == after[i]) continue;
            if (i < kept.size())
                std::fprintf(stderr, "before: [%s] \"%s\" type %u, %zu bytes\n",
                             std::get<0>(kept[i]).c_str(), std::get<1>(kept[i]).c_str(),
                             std::get<2>(kept[i]), std::get<3>(kept[i]).size());
            if (i < after.size())
                std::fprintf(stderr, "after:  [%s] \"%s\" type %u, %zu bytes\n",
                             std::get<0>(after[i]).c_str(), std::get<1>(after[i]).c_str(),
                             std::get<2>(after[i]), std::get<3>(after[i]).size());
            break;
        }
        FUZZ_CHECK(kept == after);
    }
    return 0;
}
