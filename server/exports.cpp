// The engine's four control functions, and what happens when the library is loaded into
// and unloaded from a process.
#include <cstdint>
#include <mutex>

#include "engine.h"
#include "kv/errors.h"
#include "kv/export.h"
#include "kv/net.h"
#include "kv/thread.h"
#include "kvtftptsv.h"
#include "report.h"

namespace {

constexpr uint16_t kWinsockVersion = 0x0101;
constexpr uint32_t kStopWaitMs = 10000;
// How long a start waits for the listener to bind its port; beyond it (a machine too
// loaded to run the thread) the start is reported all the same, as before.
constexpr uint32_t kBindWaitMs = 5000;

struct EngineState {
    // Host programs call the control functions from one thread; the lock only keeps two
    // callers from tearing the state apart.
    std::mutex mu;
    kvp::ThreadHandle listener;
    kvp::EventHandle shutdown;
    bool netReady = false;
};

EngineState& Engine() {
    // Never destroyed: the unload step below and late threads may still look at it.
    static EngineState* state = new EngineState;
    return *state;
}

// The error number a failed call leaves behind; never 0, which callers would take for a
// result of its own.
uint32_t LastErrorOr(long fallback) {
    const int err = kvp::LastSystemError();
    return static_cast<uint32_t>(err != 0 ? err : fallback);
}

// Starts the socket library, accepting exactly version 1.1; 0, or the socket error
// number after the report.
int InitWinsock() {
    uint16_t granted = 0;
    const int err = kvp::NetStartup(&granted);
    if (err == 0 && granted == kWinsockVersion) return 0;
    const int reported = err != 0 ? err : kvp::LastSocketError();
    ReportServerError("Unable to get Winsock 1.1", reported);
    if (err == 0) kvp::NetCleanup();
    return reported != 0 ? reported : static_cast<int>(kvp::kErrorInvalidParameter);
}

// Unload of the library: the listener is told to end. The socket library is started by
// the first StartTFTPServer, not at load, since Windows forbids that inside a library's
// load and unload (DllMain); it stays started until the process ends, because transfers
// may outlive the stop.
struct LibraryLifetime {
    LibraryLifetime() = default;
    LibraryLifetime(const LibraryLifetime&) = delete;
    LibraryLifetime& operator=(const LibraryLifetime&) = delete;
    ~LibraryLifetime() {
        EngineState& e = Engine();
        if (e.shutdown) kvp::SetEvent(e.shutdown);
    }
};

LibraryLifetime g_lifetime;

}  // namespace

KV_EXPORT uint32_t KV_STDCALL StartTFTPServer() {
    try {
        EngineState& e = Engine();
        std::lock_guard<std::mutex> lock(e.mu);
        if (!e.netReady) {
            if (const int err = InitWinsock()) return static_cast<uint32_t>(err);
            e.netReady = true;
        }
        // One listener at a time: a second start while one runs has nothing to do.
        if (e.listener) {
            uint32_t code = 0;
            if (kvp::GetExitCodeThread(e.listener, &code) && code == kvp::kStillActive) return 1;
        }
        kvp::EventHandle shutdown = kvp::CreateEventA(false, false, "TFTP daemon shutdown event");
        if (!shutdown) return LastErrorOr(kvp::kErrorInvalidHandle);
        const kvp::EventHandle ready = kvp::CreateEventA(true, false, nullptr);
        auto* args = new ListenerArgs{shutdown, ready};
        kvp::ThreadHandle listener = kvp::CreateThread(StartTFTPServerThread, args);
        if (!listener) {
            const uint32_t err = LastErrorOr(kvp::kErrorInvalidHandle);
            delete args;
            return err;
        }
        // A host that says the server runs (a start, a parameter change) says so only once
        // a request sent then is answered, not lost before the port is bound.
        if (ready) kvp::WaitForEvent(ready, kBindWaitMs);
        e.listener = listener;
        e.shutdown = shutdown;
        return 1;
    } catch (...) {
        return static_cast<uint32_t>(kvp::kErrorInvalidParameter);
    }
}

KV_EXPORT uint32_t KV_STDCALL PauseTFTPServer() {
    try {
        EngineState& e = Engine();
        std::lock_guard<std::mutex> lock(e.mu);
        if (kvp::SuspendThread(e.listener) < 0) return LastErrorOr(kvp::kErrorInvalidHandle);
        return 1;
    } catch (...) {
        return static_cast<uint32_t>(kvp::kErrorInvalidParameter);
    }
}

KV_EXPORT uint32_t KV_STDCALL ResumeTFTPServer() {
    try {
        EngineState& e = Engine();
        std::lock_guard<std::mutex> lock(e.mu);
        if (kvp::ResumeThread(e.listener) < 0) return LastErrorOr(kvp::kErrorInvalidHandle);
        return 1;
    } catch (...) {
        return static_cast<uint32_t>(kvp::kErrorInvalidParameter);
    }
}

KV_EXPORT uint32_t KV_STDCALL StopTFTPServer() {
    try {
        EngineState& e = Engine();
        std::lock_guard<std::mutex> lock(e.mu);
        // Nothing started, or already stopped: nothing to do.
        if (!e.listener) return 1;
        kvp::SetEvent(e.shutdown);
        if (kvp::WaitForThread(e.listener, kStopWaitMs) != kvp::WaitResult::kSignaled) {
            // A paused listener cannot see the event: end it.
            if (!kvp::TerminateThread(e.listener, 0)) return LastErrorOr(kvp::kErrorInvalidHandle);
        }
        e.listener.reset();
        e.shutdown.reset();
        return 1;
    } catch (...) {
        return static_cast<uint32_t>(kvp::kErrorInvalidParameter);
    }
}
