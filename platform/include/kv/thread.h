// Threads and events in the shape of the Windows ones: counted suspend and resume,
// forced termination, exit codes, auto- and manual-reset events.
//
// Suspend and terminate act on a thread at its waits, on every platform: every wait of
// this layer (events, socket waits, Sleep) made by a thread started here holds while the
// thread is suspended and ends the thread at once when it is terminated (its stack is
// unwound, so its sockets, files and memory are released). Windows' own SuspendThread
// and TerminateThread are not used: they stop a thread wherever it is (holding the heap's
// lock, say) and leave everything it holds behind, so a terminated listener would keep
// the TFTP port and a restart could not bind it. So a paused server holds new requests
// in the socket's queue, running transfers go on to their end, and a stop frees the
// listener's socket at once. On Windows each thread has an event that suspend and
// terminate set; an event or thread wait watches it beside its object, and a socket wait
// (select, which under Windows Sockets 1.1 cannot watch an event) looks at the thread's
// controls at least every 50 ms. A module whose code a thread runs is pinned in memory
// for the life of the process, as the server engine is on Linux (-z nodelete).
#pragma once

#include <cstdint>
#include <memory>

namespace kvp {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;
constexpr uint32_t kStillActive = 259;

enum class WaitResult { kSignaled, kTimeout, kFailed };

struct ThreadState;
using ThreadHandle = std::shared_ptr<ThreadState>;
using ThreadProc = uint32_t (*)(void* arg);

// Starts a thread; an empty handle (and the system's last error) on failure. Dropping
// every handle detaches the thread; it runs on.
ThreadHandle CreateThread(ThreadProc proc, void* arg);

// Previous suspend count, or -1 on failure (empty handle, thread ended).
long SuspendThread(const ThreadHandle& t);
long ResumeThread(const ThreadHandle& t);

// Ends the thread with the exit code: at once when it is waiting, else at its next
// wait. Returns true once the thread has ended (it waits briefly for the unwinding).
bool TerminateThread(const ThreadHandle& t, uint32_t exit_code);

WaitResult WaitForThread(const ThreadHandle& t, uint32_t ms);

// kStillActive while running, else the thread's result.
bool GetExitCodeThread(const ThreadHandle& t, uint32_t* code);

struct EventState;
using EventHandle = std::shared_ptr<EventState>;

// Creates an event. Names are kept for diagnostics only; each call makes a new event
// (never one shared with other processes by its name).
EventHandle CreateEventA(bool manual_reset, bool initially_set, const char* name);
bool SetEvent(const EventHandle& e);
bool ResetEvent(const EventHandle& e);
// Waits for the event; an auto-reset event is reset by the wait that sees it set.
WaitResult WaitForEvent(const EventHandle& e, uint32_t ms);

}  // namespace kvp
