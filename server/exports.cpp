// The engine's four control functions, and what happens when the library is loaded into
// and unloaded from a process.
#include <cstdint>
#include <mutex>

#include "engine.h"
#include "kv/errors.h"
#include "kv/export.h"
#include "kv/net.h"
#include "kv/thread.h"
#include "report.h"

namespace {

constexpr uint16_t kWinsockVersion = 0x0101;
constexpr uint32_t kStopWaitMs = 10000;

struct EngineState {
    // Host programs call the control functions from one thread; the lock only keeps two
    // callers from tearing the state apart.
    std::mutex mu;
    kvp::ThreadHandle listener;
    kvp::EventHandle shutdown;
    bool netReady = false;
    int netError = 0;
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

bool InitWinsock() {
    uint16_t granted = 0;
    const int err = kvp::NetStartup(&granted);
    if (err == 0 && granted == kWinsockVersion) return true;
    ReportServerError("Unable to get Winsock 1.1", err != 0 ? err : kvp::LastSocketError());
    if (err == 0) kvp::NetCleanup();
    Engine().netError = err != 0 ? err : kvp::LastSocketError();
    return false;
}

// Load and unload of the library. Where the library cannot refuse to load, a failed
// start of the socket library makes StartTFTPServer fail instead.
struct LibraryLifetime {
    LibraryLifetime() {
        try {
            Engine().netReady = InitWinsock();
        } catch (...) {
            Engine().netReady = false;
        }
    }
    ~LibraryLifetime() {
        EngineState& e = Engine();
        if (e.shutdown) kvp::SetEvent(e.shutdown);
        if (e.netReady) kvp::NetCleanup();
    }
};

LibraryLifetime g_lifetime;

}  // namespace

KV_EXPORT uint32_t KV_STDCALL StartTFTPServer() {
    try {
        EngineState& e = Engine();
        std::lock_guard<std::mutex> lock(e.mu);
        if (!e.netReady) return static_cast<uint32_t>(e.netError != 0 ? e.netError : 1);
        // One listener at a time: a second start while one runs has nothing to do.
        if (e.listener) {
            uint32_t code = 0;
            if (kvp::GetExitCodeThread(e.listener, &code) && code == kvp::kStillActive) return 1;
        }
        kvp::EventHandle shutdown = kvp::CreateEventA(false, false, "TFTP daemon shutdown event");
        if (!shutdown) return LastErrorOr(kvp::kErrorInvalidHandle);
        auto* args = new ListenerArgs{shutdown};
        kvp::ThreadHandle listener = kvp::CreateThread(StartTFTPServerThread, args);
        if (!listener) {
            const uint32_t err = LastErrorOr(kvp::kErrorInvalidHandle);
            delete args;
            return err;
        }
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
