// The Application event log as an append-only text store, one record a line (the format
// is in common/event_store.h); each record goes out in one write to a file opened with
// O_APPEND, so records of concurrent threads and processes never mix inside a line.
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

#include "common/event_store.h"
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
        const std::string line =
            internal::FormatEventRecord(static_cast<int64_t>(std::time(nullptr)), type, src->source,
                                        category, event_id, strings, num_strings);

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
        internal::ParseEventStore(text, out);
        return true;
    } catch (...) {
        SetLastSystemError(ENOMEM);
        return false;
    }
}

}  // namespace kvp
