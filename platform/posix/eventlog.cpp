// The Application event log as an append-only text store, one record a line (the format
// is in common/event_store.h); each record goes out in one write to a file opened with O_APPEND, so
// records of concurrent threads and processes never mix inside a line.
//
// The store is capped, as the Windows log that overwrites events as needed: its maximum
// size is the MaxSize value of the log's registry key (bytes, default 512 KiB, at least
// 64 KiB). An append that takes the store past it trims the store to three quarters of
// the maximum by dropping the oldest whole records, so a trim rewrites the store once for
// every quarter of it appended. A trim writes a new file and renames it over the store,
// so readers need no lock; writers hold a shared lock on the store while they append and
// a trim holds an exclusive one, and a writer that finds the store replaced under its
// lock opens it again, so no record goes to a file that a trim has dropped. A trimmed
// store begins with the line "#base N": N is how many bytes of records were dropped
// before its first record over the store's life, so positions of records stay valid
// across trims for readers that follow the store.
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
#include "kv/debug.h"
#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/registry.h"
#include "posix_io.h"

namespace kvp {

struct EventSourceState {
    std::string source;
};

namespace {

std::mutex g_sources_mu;
std::unordered_set<EventSourceState*>* g_sources = nullptr;  // while a source is open

constexpr char kStoreName[] = "Application.log";

// Opens the store for appending, creating it and its directories when missing.
int OpenStore(std::string* path) {
    std::string dir;
    if (!internal::StateSubdir("eventlog", true, &dir)) return -1;
    *path = dir + "/" + kStoreName;
    const int fd =
        ::open(path->c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::fchmod(fd, 0600);
    return fd;
}

constexpr char kLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
constexpr uint64_t kDefaultMaxSize = 512 * 1024;
constexpr uint64_t kMinMaxSize = 64 * 1024;

// The store's maximum size from the registry. It is read again only when the store
// passes the size last read, so a raised limit counts from then on and a lowered one at
// the latest when the store reaches the old limit (Windows, too, applies a smaller
// maximum only to a log that has been cleared).
// Held in static storage without a heap part and with nothing to undo at exit, so that
// it serves until the process ends and a library unloaded after using it leaves no
// memory behind.
struct MaxSizeCache {
    std::mutex mu;
    char state_dir[4096] = "";
    uint64_t max_size = 0;
};
MaxSizeCache g_cache;
MaxSizeCache* const g_max_size = &g_cache;

uint64_t ReadMaxSize() {
    RegKey key;
    uint32_t value = 0, type = 0, size = sizeof value;
    if (RegOpenKeyExA(kHkeyLocalMachine, kLogKey, kKeyRead, key.out()) != kErrorSuccess ||
        RegQueryValueExA(key.get(), "MaxSize", &type, reinterpret_cast<uint8_t*>(&value), &size) !=
            kErrorSuccess ||
        type != kRegDword || size != sizeof value)
        return kDefaultMaxSize;
    return value < kMinMaxSize ? kMinMaxSize : value;
}

uint64_t MaxSize(bool refresh) {
    const std::string dir = StateDir();
    std::lock_guard<std::mutex> lock(g_max_size->mu);
    if (refresh || g_max_size->max_size == 0 || dir != g_max_size->state_dir) {
        const int err = errno;
        g_max_size->max_size = ReadMaxSize();
        std::snprintf(g_max_size->state_dir, sizeof g_max_size->state_dir, "%s", dir.c_str());
        errno = err;
    }
    return g_max_size->max_size;
}

using internal::Fd;

// True when the descriptor still is the file at the store's path (a trim renames a new
// file over it).
bool IsCurrent(int fd, const std::string& path, struct stat* st) {
    struct stat at {};
    return ::fstat(fd, st) == 0 && ::lstat(path.c_str(), &at) == 0 && st->st_dev == at.st_dev &&
           st->st_ino == at.st_ino;
}

bool ReadAll(int fd, std::string* text) {
    text->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        text->append(buf, static_cast<size_t>(n));
    }
}

// Drops the oldest records of a store that has grown past its maximum size.
void Trim(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st {};
    // A store replaced meanwhile was trimmed by another writer; one whose lock stays taken
    // is trimmed by a later append.
    if (fd.get() < 0 || !internal::LockFdWithin(fd.get(), LOCK_EX, internal::LockWaitMs()) ||
        !IsCurrent(fd.get(), path, &st))
        return;
    const uint64_t max_size = MaxSize(true);
    if (static_cast<uint64_t>(st.st_size) <= max_size) return;
    std::string text;
    if (!ReadAll(fd.get(), &text)) return;
    size_t records = 0;
    const uint64_t base = internal::EventStoreBase(text, &records);
    // Keep the newest records that fit into three quarters of the maximum, the base line
    // included (at most 27 bytes); always the newest one.
    const uint64_t keep = max_size - max_size / 4 - 32;
    size_t cut = text.size() > keep ? text.size() - keep : 0;
    if (cut > 0 && text[cut - 1] != '\n') {
        size_t nl = text.find('\n', cut);
        cut = nl == std::string::npos || nl + 1 == text.size() ? std::string::npos : nl + 1;
    }
    if (cut == std::string::npos) {
        size_t last_end = text.rfind('\n', text.size() - 2);
        cut = last_end == std::string::npos ? 0 : last_end + 1;
    }
    if (cut <= records) return;
    char head[48];
    std::snprintf(head, sizeof head, "%s%llu\n", internal::kEventStoreBaseTag,
                  static_cast<unsigned long long>(base + (cut - records)));
    std::string tmp;
    Fd out(internal::CreateTempBeside(path, 0600, &tmp));
    if (out.get() < 0) return;
    const bool written = internal::WriteAll(out.get(), head, std::strlen(head)) &&
                         internal::WriteAll(out.get(), text.data() + cut, text.size() - cut) &&
                         ::fsync(out.get()) == 0;
    if (!written || ::rename(tmp.c_str(), path.c_str()) != 0) ::unlink(tmp.c_str());
}

// Appends one record line: in one write, under a shared lock on the file that is the
// store at that moment. False with errno set when it cannot be written whole.
bool AppendRecord(const std::string& line) {
    std::string path;
    for (int attempt = 0;; ++attempt) {
        uint64_t size = 0;
        {
            Fd fd(OpenStore(&path));
            struct stat st {};
            if (fd.get() < 0) return false;
            if (!internal::LockFdWithin(fd.get(), LOCK_SH, internal::LockWaitMs())) {
                // Dropped rather than hold up the caller (a stop that logs, say).
                if (errno == ETIMEDOUT) {
                    char msg[600];
                    std::snprintf(msg, sizeof msg,
                                  "kvtftp: event log %s locked for %d ms; record dropped\n",
                                  path.c_str(), internal::LockWaitMs());
                    OutputDebugStringA(msg);
                    errno = ETIMEDOUT;
                }
                return false;
            }
            if (!IsCurrent(fd.get(), path, &st)) {
                if (attempt < 100) continue;
                errno = EAGAIN;
                return false;
            }
            // One write: appends to a regular file are not split between writers. A short
            // write (disk full) leaves a broken last line, which readers skip.
            ssize_t n;
            do {
                n = ::write(fd.get(), line.data(), line.size());
            } while (n < 0 && errno == EINTR);
            if (n != static_cast<ssize_t>(line.size())) {
                if (n >= 0) errno = ENOSPC;
                return false;
            }
            // Other writers may have added to it meanwhile: the next append sees those.
            size = static_cast<uint64_t>(st.st_size) + line.size();
        }
        if (size > MaxSize(false)) Trim(path);
        return true;
    }
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
        std::string path;
        int fd = OpenStore(&path);
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

        if (!AppendRecord(line)) {
            SetLastSystemError(errno);
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
        // The last handle takes the set with it: a library that used handles and is
        // unloaded leaves nothing behind that no one can reach.
        if (g_sources->empty()) {
            delete g_sources;
            g_sources = nullptr;
        }
    }
    delete src;
    return true;
}

bool ReadEventLog(std::vector<EventRecord>* out) {
    uint64_t position = 0;
    return ReadEventLogFrom(&position, out);
}

bool ReadEventLogFrom(uint64_t* position, std::vector<EventRecord>* out) {
    if (!position || !out) return false;
    out->clear();
    try {
        std::string dir;
        Fd fd;
        if (internal::StateSubdir("eventlog", false, &dir))
            fd.reset(::open((dir + "/" + kStoreName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
        std::string text;
        if (fd.get() < 0 && errno != ENOENT) {
            SetLastSystemError(errno);
            return false;
        }
        if (fd.get() >= 0 && !ReadAll(fd.get(), &text)) {
            SetLastSystemError(errno);
            return false;
        }
        internal::ParseEventStoreFrom(text, position, out);
        return true;
    } catch (...) {
        SetLastSystemError(ENOMEM);
        return false;
    }
}

}  // namespace kvp
