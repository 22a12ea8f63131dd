// The option area of a request (name/value pairs after the mode) and the OACK that
// answers it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kv/text.h"
#include "tftp_core.h"

namespace {

constexpr const char* kOptionNames[kOptionCount] = {"blksize", "tsize", "timeout", "windowsize"};
// Larger values mean nothing to any option; keeping them below this bound keeps the
// arithmetic on them plain.
constexpr uint64_t kValueCap = 1ull << 40;

int FindZero(const uint8_t* buf, int from, int end) {
    int i = from;
    while (i < end && buf[i] != 0) ++i;
    return i;
}

bool ParseDecimal(const std::string& text, uint64_t* value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > kValueCap) v = kValueCap;
    }
    *value = v;
    return true;
}

}  // namespace

bool TftpOptions::any() const {
    for (bool p : present)
        if (p) return true;
    return false;
}

namespace {

bool ParseOptionArea(const uint8_t* buf, int len, TftpOptions* out) {
    if (buf == nullptr || len <= 2) return true;
    // Past the name and the mode; a mode without its 0 byte leaves no option area.
    const int nameEnd = FindZero(buf, 2, len);
    if (nameEnd >= len) return true;
    const int modeEnd = FindZero(buf, nameEnd + 1, len);
    int pos = modeEnd + 1;
    std::vector<std::string> seen;
    while (pos < len) {
        // Some clients pad their requests with 0 bytes: only those left is the end.
        if (FindZero(buf, pos, len) == pos) {
            int p = pos;
            while (p < len && buf[p] == 0) ++p;
            if (p == len) break;
            return false;  // an empty name
        }
        const int nameStop = FindZero(buf, pos, len);
        if (nameStop >= len) return false;
        const int valueStop = FindZero(buf, nameStop + 1, len);
        if (valueStop >= len) return false;
        const std::string name(reinterpret_cast<const char*>(buf + pos),
                               static_cast<size_t>(nameStop - pos));
        const std::string value(reinterpret_cast<const char*>(buf + nameStop + 1),
                                static_cast<size_t>(valueStop - nameStop - 1));
        pos = valueStop + 1;
        for (const std::string& s : seen)
            if (kvp::EqualNoCase(s, name)) return false;
        seen.push_back(name);
        for (int k = 0; k < kOptionCount; ++k) {
            if (!kvp::EqualNoCase(name, kOptionNames[k])) continue;
            if (!ParseDecimal(value, &out->value[k])) return false;
            out->present[k] = true;
            out->name[k] = name;
        }
    }
    return true;
}

}  // namespace

bool ParseRequestOptions(const uint8_t* buf, int len, TftpOptions* out) {
    *out = TftpOptions{};
    if (ParseOptionArea(buf, len, out)) return true;
    // A malformed area yields no options at all.
    *out = TftpOptions{};
    return false;
}

int BuildOackPacket(uint8_t* buf, int cap, const TftpOptions& granted) {
    if (buf == nullptr || cap < 2) return 0;
    buf[0] = 0;
    buf[1] = static_cast<uint8_t>(kOpOack);
    int pos = 2;
    for (int k = 0; k < kOptionCount; ++k) {
        if (!granted.present[k]) continue;
        const std::string& name = granted.name[k].empty() ? kOptionNames[k] : granted.name[k];
        char value[24];
        std::snprintf(value, sizeof value, "%llu",
                      static_cast<unsigned long long>(granted.value[k]));
        const size_t valueLen = std::strlen(value);
        if (static_cast<size_t>(cap - pos) < name.size() + valueLen + 2) return 0;
        std::memcpy(buf + pos, name.data(), name.size());
        pos += static_cast<int>(name.size());
        buf[pos++] = 0;
        std::memcpy(buf + pos, value, valueLen);
        pos += static_cast<int>(valueLen);
        buf[pos++] = 0;
    }
    return pos;
}
