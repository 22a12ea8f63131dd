#include "event_store.h"

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "parse_unsigned.h"

namespace kvp::internal {

namespace {

void AppendEscaped(std::string* out, const char* s) {
    for (; *s; ++s) {
        switch (*s) {
            case '\\':
                *out += "\\\\";
                break;
            case '\t':
                *out += "\\t";
                break;
            case '\n':
                *out += "\\n";
                break;
            case '\r':
                *out += "\\r";
                break;
            default:
                out->push_back(*s);
        }
    }
}

bool Unescape(const std::string& field, std::string* out) {
    out->clear();
    for (size_t i = 0; i < field.size(); ++i) {
        char c = field[i];
        if (c != '\\') {
            out->push_back(c);
            continue;
        }
        if (++i >= field.size()) return false;
        switch (field[i]) {
            case '\\':
                out->push_back('\\');
                break;
            case 't':
                out->push_back('\t');
                break;
            case 'n':
                out->push_back('\n');
                break;
            case 'r':
                out->push_back('\r');
                break;
            default:
                return false;
        }
    }
    return true;
}

bool ParseUnsigned(const std::string& s, int base, uint64_t max, uint64_t* out) {
    if (base != 16) return ParseDigits(s, base, max, out);
    return HasHexPrefix(s) && ParseDigits(std::string_view(s).substr(2), 16, max, out);
}

// One line into a record; false for a line that is not a whole record.
bool ParseRecord(const std::string& line, EventRecord* rec) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) break;
        start = tab + 1;
    }
    if (f.size() < 6) return false;
    uint64_t time = 0, type = 0, category = 0, id = 0, count = 0;
    bool negative = !f[0].empty() && f[0][0] == '-';
    if (!ParseUnsigned(negative ? f[0].substr(1) : f[0], 10, INT64_MAX, &time) ||
        !ParseUnsigned(f[1], 10, 0xFFFF, &type) || !ParseUnsigned(f[3], 10, 0xFFFF, &category) ||
        !ParseUnsigned(f[4], 16, 0xFFFFFFFF, &id) || !ParseUnsigned(f[5], 10, 0xFFFF, &count))
        return false;
    if (f.size() != 6 + count) return false;
    rec->time = negative ? -static_cast<int64_t>(time) : static_cast<int64_t>(time);
    rec->type = static_cast<uint16_t>(type);
    rec->category = static_cast<uint16_t>(category);
    rec->event_id = static_cast<uint32_t>(id);
    if (!Unescape(f[2], &rec->source)) return false;
    rec->strings.assign(count, std::string());
    for (size_t i = 0; i < count; ++i)
        if (!Unescape(f[6 + i], &rec->strings[i])) return false;
    return true;
}

}  // namespace

std::string FormatEventRecord(int64_t time, uint16_t type, const std::string& source,
                              uint16_t category, uint32_t event_id, const char* const* strings,
                              uint16_t num_strings) {
    char head[96];
    std::snprintf(head, sizeof head, "%lld\t%u\t", static_cast<long long>(time),
                  static_cast<unsigned>(type));
    std::string line = head;
    AppendEscaped(&line, source.c_str());
    std::snprintf(head, sizeof head, "\t%u\t0x%08X\t%u", static_cast<unsigned>(category),
                  static_cast<unsigned>(event_id), static_cast<unsigned>(num_strings));
    line += head;
    for (uint16_t i = 0; i < num_strings; ++i) {
        line.push_back('\t');
        AppendEscaped(&line, strings[i]);
    }
    line.push_back('\n');
    return line;
}

uint64_t EventStoreBase(const std::string& text, size_t* records) {
    constexpr size_t kTagLength = sizeof kEventStoreBaseTag - 1;
    *records = 0;
    if (text.compare(0, kTagLength, kEventStoreBaseTag) != 0) return 0;
    const size_t nl = text.find('\n');
    if (nl == std::string::npos) return 0;
    uint64_t base = 0;
    for (size_t i = kTagLength; i < nl; ++i) {
        if (text[i] < '0' || text[i] > '9' || base > (UINT64_MAX - 9) / 10) return 0;
        base = base * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    *records = nl + 1;
    return base;
}

void ParseEventStoreFrom(const std::string& text, uint64_t* position,
                         std::vector<EventRecord>* out) {
    size_t start = 0;
    const uint64_t base = EventStoreBase(text, &start);
    const size_t last = text.rfind('\n');
    const size_t end = last == std::string::npos ? 0 : last + 1;
    const uint64_t end_position = base + (end > start ? end - start : 0);
    // A position past the end belongs to a store that was removed and begun anew.
    if (*position > end_position) *position = 0;
    if (*position > base) start += static_cast<size_t>(*position - base);
    while (start < end) {
        const size_t nl = text.find('\n', start);
        EventRecord rec;
        if (ParseRecord(text.substr(start, nl - start), &rec)) out->push_back(std::move(rec));
        start = nl + 1;
    }
    *position = end_position;
}

}  // namespace kvp::internal
