// Dotted IPv4 texts, strict on every platform (the systems' own parsers differ: Windows'
// inet_addr takes "1.2.3" and octal parts).
#include <cstdio>
#include <cstring>

#include "kv/net.h"

namespace kvp {

uint32_t InetAddr(const char* text) {
    if (!text) return kInaddrNone;
    // Exactly four decimal parts of 0 to 255, without signs, blanks or leading zeros
    // (which other parsers read as octal): anything else is not an address.
    uint8_t bytes[4];
    const char* p = text;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (*p != '.') return kInaddrNone;
            ++p;
        }
        if (*p < '0' || *p > '9') return kInaddrNone;
        if (*p == '0' && p[1] >= '0' && p[1] <= '9') return kInaddrNone;
        unsigned n = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9') {
            if (++digits > 3) return kInaddrNone;
            n = n * 10 + static_cast<unsigned>(*p - '0');
            ++p;
        }
        if (n > 255) return kInaddrNone;
        bytes[part] = static_cast<uint8_t>(n);
    }
    if (*p != '\0') return kInaddrNone;
    // Network order is the order of the parts in memory.
    uint32_t addr;
    std::memcpy(&addr, bytes, sizeof addr);
    return addr;
}

std::string InetNtoa(uint32_t addr_net) {
    uint8_t b[4];
    std::memcpy(b, &addr_net, sizeof b);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return buf;
}

}  // namespace kvp
