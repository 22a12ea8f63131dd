// The Application event log as an append-only text store, one record a line:
//   time <TAB> type <TAB> source <TAB> category <TAB> 0xEVENTID <TAB> count [<TAB> string]...
// Tabs, line breaks and backslashes inside texts are escaped, so a record is always one
// line; each record goes out in one write to a file opened with O_APPEND, so records of
// concurrent threads and processes never mix inside a line.
#include "kv/eventlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_set>

#include "kv/errors.h"
#include "kv/paths.h"
#include "posix_io.h"

namespace kvp {

struct EventSourceState {
    std::string source;
};

namespace {

std::mutex g_sources_mu;
std::unordered_set<EventSourceState*>* g_sources = nullptr;  // never freed: used until exit

std::string LogDir() {
    return StateDir() + "/eventlog";
}
std::string LogPath() {
    return LogDir() + "/Application.log";
}

int OpenStore() {
    if (!internal::MakeDirs(LogDir())) return -1;
    return ::open(LogPath().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

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
    if (s.empty()) return false;
    size_t start = 0;
    if (base == 16) {
        if (s.size() < 3 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return false;
        start = 2;
    }
    uint64_t v = 0;
    for (size_t i = start; i < s.size(); ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (v > max) return false;
    }
    *out = v;
    return true;
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

bool ValidSource(HEventSource src) {
    if (!src) return false;
    std::lock_guard<std::mutex> lock(g_sources_mu);
    return g_sources && g_sources->count(src) != 0;
}

}  // namespace

HEventSource RegisterEventSourceA(const char* server, const char* source) {
    if (server && *server) {
        // Only the local machine keeps this log.
        SetLastSystemError(EHOSTUNREACH);
        return nullptr;
    }
    if (!source || !*source) {
        SetLastSystemError(EINVAL);
        return nullptr;
    }
    try {
        // Fail here, as Windows does, when the store cannot be opened at all.
        int fd = OpenStore();
        if (fd < 0) {
            SetLastSystemError(errno);
            return nullptr;
        }
        ::close(fd);
        auto* src = new EventSourceState{source};
        std::lock_guard<std::mutex> lock(g_sources_mu);
        if (!g_sources) g_sources = new std::unordered_set<EventSourceState*>;
        g_sources->insert(src);
        return src;
    } catch (...) {
        SetLastSystemError(ENOMEM);
        return nullptr;
    }
}

bool ReportEventA(HEventSource src, uint16_t type, uint16_t category, uint32_t event_id,
                 const char* const* strings, uint16_t num_strings) {
    if (!ValidSource(src)) {
        SetLastSystemError(EBADF);
        return false;
    }
    if (num_strings && !strings) {
        SetLastSystemError(EINVAL);
        return false;
    }
    for (uint16_t i = 0; i < num_strings; ++i) {
        if (!strings[i]) {
            SetLastSystemError(EINVAL);
            return false;
        }
    }
    try {
        char head[96];
        std::snprintf(head, sizeof head, "%lld\t%u\t", static_cast<long long>(std::time(nullptr)),
                      static_cast<unsigned>(type));
        std::string line = head;
        AppendEscaped(&line, src->source.c_str());
        std::snprintf(head, sizeof head, "\t%u\t0x%08X\t%u", static_cast<unsigned>(category),
                      static_cast<unsigned>(event_id), static_cast<unsigned>(num_strings));
        line += head;
        for (uint16_t i = 0; i < num_strings; ++i) {
            line.push_back('\t');
            AppendEscaped(&line, strings[i]);
        }
        line.push_back('\n');

        int fd = OpenStore();
        if (fd < 0) {
            SetLastSystemError(errno);
            return false;
        }
        // One write: appends to a regular file are not split between writers. A short
        // write (disk full) leaves a broken last line, which readers skip.
        ssize_t n;
        do {
            n = ::write(fd, line.data(), line.size());
        } while (n < 0 && errno == EINTR);
        int err = errno;
        ::close(fd);
        if (n != static_cast<ssize_t>(line.size())) {
            SetLastSystemError(n < 0 ? err : ENOSPC);
            return false;
        }
        return true;
    } catch (...) {
        SetLastSystemError(ENOMEM);
        return false;
    }
}

bool DeregisterEventSource(HEventSource src) {
    {
        std::lock_guard<std::mutex> lock(g_sources_mu);
        if (!src || !g_sources || g_sources->erase(src) == 0) {
            SetLastSystemError(EBADF);
            return false;
        }
    }
    delete src;
    return true;
}

bool ReadEventLog(std::vector<EventRecord>* out) {
    if (!out) return false;
    out->clear();
    try {
        int fd = ::open(LogPath().c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            if (errno == ENOENT) return true;
            SetLastSystemError(errno);
            return false;
        }
        std::string text;
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                SetLastSystemError(errno);
                ::close(fd);
                return false;
            }
            if (n == 0) break;
            text.append(buf, static_cast<size_t>(n));
        }
        ::close(fd);
        // Only lines with their line end count: a last line without one is a record
        // still being written, or the remains of a failed one.
        size_t start = 0;
        for (;;) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos) break;
            EventRecord rec;
            if (ParseRecord(text.substr(start, nl - start), &rec)) out->push_back(std::move(rec));
            start = nl + 1;
        }
        return true;
    } catch (...) {
        SetLastSystemError(ENOMEM);
        return false;
    }
}

}  // namespace kvp
