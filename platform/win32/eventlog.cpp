// The Application event log through RegisterEventSourceA, ReportEventA and ReadEventLogA.
// With a state directory set, the records go to that directory's text store instead (the
// store of the POSIX backend), so that tests read back what they wrote, apart from one
// another and from the machine's log (Wine, for one, keeps no event log at all).
#include "kv/eventlog.h"

#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_set>

#include "common/event_store.h"
#include "kv/errors.h"
#include "kv/paths.h"
#include "win32.h"

namespace kvp {

struct EventSourceState {
    HANDLE h = nullptr;  // null: the state directory's store
    std::string source;
};

namespace {

std::mutex g_sources_mu;
std::unordered_set<EventSourceState*>* g_sources = nullptr;  // never freed: used until exit

// KVTFTP_EVENTLOG_DIR names the store's directory for a process whose registry is the
// machine's (a service under Wine's service manager); else the state directory's.
bool StoreMode() {
    return !internal::EnvVar("KVTFTP_EVENTLOG_DIR").empty() ||
           !internal::EnvVar("KVTFTP_STATE_DIR").empty();
}
std::string StoreDir() {
    const std::string dir = internal::EnvVar("KVTFTP_EVENTLOG_DIR");
    return dir.empty() ? StateDir() + "/eventlog" : dir;
}
std::string StorePath() {
    return StoreDir() + "/Application.log";
}

bool ValidSource(HEventSource src) {
    if (!src) return false;
    std::lock_guard<std::mutex> lock(g_sources_mu);
    return g_sources && g_sources->count(src) != 0;
}

bool ReadStore(uint64_t* position, std::vector<EventRecord>* out) {
    HANDLE f = ::CreateFileA(StorePath().c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        const DWORD err = ::GetLastError();
        return err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND;
    }
    std::string text;
    char buf[65536];
    DWORD n = 0;
    bool ok = true;
    while ((ok = ::ReadFile(f, buf, sizeof buf, &n, nullptr)) && n > 0) text.append(buf, n);
    const DWORD err = ::GetLastError();
    ::CloseHandle(f);
    if (!ok) {
        ::SetLastError(err);
        return false;
    }
    internal::ParseEventStoreFrom(text, position, out);
    return true;
}

// One record of the machine's log, unpacked from its EVENTLOGRECORD.
EventRecord Unpack(const EVENTLOGRECORD* r) {
    const char* base = reinterpret_cast<const char*>(r);
    EventRecord rec;
    rec.time = r->TimeGenerated;
    rec.type = r->EventType;
    rec.category = r->EventCategory;
    rec.event_id = r->EventID;
    rec.source = base + sizeof(EVENTLOGRECORD);
    const char* s = base + r->StringOffset;
    for (WORD i = 0; i < r->NumStrings; ++i) {
        rec.strings.emplace_back(s);
        s += rec.strings.back().size() + 1;
    }
    return rec;
}

// The machine's log counts positions in records.
bool ReadMachineLog(uint64_t* position, std::vector<EventRecord>* out) {
    HANDLE log = ::OpenEventLogA(nullptr, "Application");
    if (!log) return false;
    std::vector<char> buf(65536);
    bool ok = true;
    uint64_t seen = 0;
    for (;;) {
        DWORD read = 0;
        DWORD needed = 0;
        if (!::ReadEventLogA(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_FORWARDS_READ, 0, buf.data(),
                             static_cast<DWORD>(buf.size()), &read, &needed)) {
            const DWORD err = ::GetLastError();
            if (err == ERROR_INSUFFICIENT_BUFFER && needed > buf.size()) {
                buf.resize(needed);
                continue;
            }
            ok = err == ERROR_HANDLE_EOF;
            if (!ok) ::SetLastError(err);
            break;
        }
        for (DWORD at = 0; at < read;) {
            const auto* r = reinterpret_cast<const EVENTLOGRECORD*>(buf.data() + at);
            if (seen++ >= *position) out->push_back(Unpack(r));
            at += r->Length;
        }
    }
    const DWORD err = ::GetLastError();
    ::CloseEventLog(log);
    ::SetLastError(err);
    // Fewer records than before: the log was cleared, and what it holds now is new.
    if (ok && seen < *position) {
        *position = 0;
        return ReadMachineLog(position, out);
    }
    if (ok) *position = seen;
    return ok;
}

}  // namespace

HEventSource RegisterEventSourceA(const char* server, const char* source) {
    if (!source || !*source) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    try {
        auto src = std::make_unique<EventSourceState>();
        src->source = source;
        if (StoreMode()) {
            if (server && *server) {
                // Only the local machine keeps this log.
                ::SetLastError(RPC_S_SERVER_UNAVAILABLE);
                return nullptr;
            }
            // Fail here, as the real call does, when the store cannot be opened at all.
            if (!internal::MakeDirs(StoreDir()) || !internal::AppendToFile(StorePath(), "")) {
                return nullptr;
            }
        } else {
            src->h = ::RegisterEventSourceA(server, source);
            if (!src->h) return nullptr;
        }
        std::lock_guard<std::mutex> lock(g_sources_mu);
        if (!g_sources) g_sources = new std::unordered_set<EventSourceState*>;
        g_sources->insert(src.get());
        return src.release();
    } catch (...) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

bool ReportEventA(HEventSource src, uint16_t type, uint16_t category, uint32_t event_id,
                  const char* const* strings, uint16_t num_strings) {
    if (!ValidSource(src)) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (num_strings && !strings) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    for (uint16_t i = 0; i < num_strings; ++i) {
        if (!strings[i]) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
    }
    if (src->h) {
        return ::ReportEventA(src->h, type, category, event_id, nullptr, num_strings, 0,
                              const_cast<const char**>(strings), nullptr);
    }
    try {
        return internal::AppendToFile(
            StorePath(),
            internal::FormatEventRecord(static_cast<int64_t>(std::time(nullptr)), type, src->source,
                                        category, event_id, strings, num_strings));
    } catch (...) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

bool DeregisterEventSource(HEventSource src) {
    {
        std::lock_guard<std::mutex> lock(g_sources_mu);
        if (!src || !g_sources || g_sources->erase(src) == 0) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
    }
    const bool ok = !src->h || ::DeregisterEventSource(src->h);
    delete src;
    return ok;
}

bool ReadEventLog(std::vector<EventRecord>* out) {
    uint64_t position = 0;
    return ReadEventLogFrom(&position, out);
}

bool ReadEventLogFrom(uint64_t* position, std::vector<EventRecord>* out) {
    if (!position || !out) return false;
    out->clear();
    try {
        return StoreMode() ? ReadStore(position, out) : ReadMachineLog(position, out);
    } catch (...) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
}

}  // namespace kvp
