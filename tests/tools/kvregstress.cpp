// Writes registry values in a loop, for the tests of concurrent and interrupted writers.
//   kvregstress count <name> <n>   sets the DWORD <name> to 1..n, checking each write
//                                  reads back; exit 0 when all went through
//   kvregstress payload            rewrites the binary value "Payload" forever, each one
//                                  a counter (one more than the stored one) followed by
//                                  bytes derived from it; runs until killed
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kv/errors.h"
#include "kv/registry.h"

namespace {

const char kStressKey[] = "SOFTWARE\\Korvane\\Stress";
constexpr size_t kPayloadSize = 3000;

void Fill(std::vector<uint8_t>* buf, uint32_t counter) {
    buf->assign(kPayloadSize, 0);
    for (int i = 0; i < 4; ++i) (*buf)[i] = static_cast<uint8_t>(counter >> (8 * i));
    uint32_t x = counter * 2654435761u + 7;
    for (size_t i = 4; i < kPayloadSize; ++i) {
        x = x * 1103515245u + 12345u;
        (*buf)[i] = static_cast<uint8_t>(x >> 16);
    }
}

int Count(const char* name, long n) {
    kvp::RegKey key;
    if (kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kStressKey, kvp::kKeyAllAccess, key.out(),
                            nullptr) != kvp::kErrorSuccess)
        return 3;
    for (long i = 1; i <= n; ++i) {
        uint32_t v = static_cast<uint32_t>(i);
        long r = kvp::RegSetValueExA(key.get(), name, kvp::kRegDword,
                                    reinterpret_cast<const uint8_t*>(&v), sizeof v);
        if (r != kvp::kErrorSuccess) {
            std::fprintf(stderr, "kvregstress: write %ld of %s failed: %ld\n", i, name, r);
            return 4;
        }
        uint32_t back = 0, size = sizeof back, type = 0;
        r = kvp::RegQueryValueExA(key.get(), name, &type, reinterpret_cast<uint8_t*>(&back), &size);
        if (r != kvp::kErrorSuccess || type != kvp::kRegDword || size != 4 || back != v) {
            std::fprintf(stderr, "kvregstress: %s reads %u after writing %u (%ld)\n", name, back, v,
                         r);
            return 5;
        }
    }
    return 0;
}

int Payload() {
    kvp::RegKey key;
    if (kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kStressKey, kvp::kKeyAllAccess, key.out(),
                            nullptr) != kvp::kErrorSuccess)
        return 3;
    std::vector<uint8_t> buf(kPayloadSize);
    uint32_t size = static_cast<uint32_t>(buf.size());
    uint32_t counter = 0;
    if (kvp::RegQueryValueExA(key.get(), "Payload", nullptr, buf.data(), &size) ==
            kvp::kErrorSuccess &&
        size >= 4)
        std::memcpy(&counter, buf.data(), 4);
    for (;;) {
        Fill(&buf, ++counter);
        long r = kvp::RegSetValueExA(key.get(), "Payload", kvp::kRegBinary, buf.data(),
                                    static_cast<uint32_t>(buf.size()));
        if (r != kvp::kErrorSuccess) {
            std::fprintf(stderr, "kvregstress: payload write failed: %ld\n", r);
            return 4;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "count") == 0)
        return Count(argv[2], std::strtol(argv[3], nullptr, 10));
    if (argc == 2 && std::strcmp(argv[1], "payload") == 0) return Payload();
    std::fprintf(stderr, "usage: kvregstress count <name> <n> | kvregstress payload\n");
    return 2;
}
