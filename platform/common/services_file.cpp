#include "services_file.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kv/text.h"

namespace kvp::internal {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The blank-separated words of a line, up to its comment.
std::vector<std::string> Words(const char* line) {
    std::vector<std::string> words;
    const char* p = line;
    while (*p != '\0' && *p != '#') {
        while (IsBlank(*p)) ++p;
        const char* start = p;
        while (*p != '\0' && *p != '#' && !IsBlank(*p)) ++p;
        if (p > start) words.emplace_back(start, static_cast<size_t>(p - start));
    }
    return words;
}

// One entry ("name port/proto aliases # comment") matched against the name (or an
// alias) and protocol; the port in host order, or -1.
long MatchServiceLine(const char* line, const char* name, const char* proto) {
    const std::vector<std::string> w = Words(line);
    if (w.size() < 2) return -1;
    const std::string& portproto = w[1];
    const size_t slash = portproto.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == portproto.size()) return -1;
    long port = 0;
    for (size_t i = 0; i < slash; ++i) {
        const char c = portproto[i];
        if (c < '0' || c > '9' || i >= 5) return -1;
        port = port * 10 + (c - '0');
    }
    if (port > 65535) return -1;
    if (proto && !EqualNoCase(portproto.c_str() + slash + 1, proto)) return -1;
    if (EqualNoCase(w[0].c_str(), name)) return port;
    for (size_t i = 2; i < w.size(); ++i) {
        if (EqualNoCase(w[i].c_str(), name)) return port;
    }
    return -1;
}

}  // namespace

bool FindServicePort(std::FILE* f, const char* name, const char* proto, uint16_t* port) {
    char line[1024];
    while (std::fgets(line, sizeof line, f)) {
        const size_t len = std::strlen(line);
        if (len == sizeof line - 1 && line[len - 1] != '\n') {
            // An over-long line: skip the rest of it and ignore it.
            int c;
            while ((c = std::fgetc(f)) != EOF && c != '\n') {
            }
            continue;
        }
        const long p = MatchServiceLine(line, name, proto);
        if (p >= 0) {
            *port = static_cast<uint16_t>(p);
            return true;
        }
    }
    return false;
}

}  // namespace kvp::internal
