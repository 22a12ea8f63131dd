// Threads and events over the Windows ones, with suspend and terminate carried out by the
// thread itself at its waits, as on POSIX: the real SuspendThread can stop a thread
// anywhere (holding the heap lock, say) and TerminateThread leaves its sockets, files and
// stack behind, so neither is used.
#include "kv/thread.h"

#include <chrono>
#include <exception>
#include <string>

#include "thread_internal.h"

namespace kvp {

namespace {

// Windows refuses a suspend beyond this count.
constexpr long kMaxSuspendCount = MAXIMUM_SUSPEND_COUNT;
// How long TerminateThread waits for the ended thread to unwind its stack.
constexpr DWORD kTerminateUnwindMs = 2000;
// A socket wait cannot watch an event under Windows Sockets 1.1: it looks at the
// thread's controls at least this often (microseconds).
constexpr int64_t kSelectSliceUs = 50 * 1000;

}  // namespace

struct EventState {
    HANDLE h = nullptr;
    bool manual = false;
    std::string name;

    EventState() = default;
    EventState(const EventState&) = delete;
    EventState& operator=(const EventState&) = delete;
    ~EventState() {
        if (h) ::CloseHandle(h);
    }
};

// The control block shared by the thread and every handle to it.
struct ThreadState {
    SRWLOCK mu = SRWLOCK_INIT;
    CONDITION_VARIABLE cv = CONDITION_VARIABLE_INIT;  // a held thread waits here
    long suspend_count = 0;
    bool terminate = false;
    uint32_t terminate_code = 0;
    bool finished = false;
    HANDLE thread = nullptr;  // signalled once the thread has ended
    HANDLE wake = nullptr;    // auto-reset; set by suspend and terminate to cut a wait short
    ThreadProc proc = nullptr;
    void* arg = nullptr;

    ThreadState() = default;
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;
    ~ThreadState() {
        if (thread) ::CloseHandle(thread);
        if (wake) ::CloseHandle(wake);
    }
};

namespace {

thread_local ThreadState* t_self = nullptr;

class Locked {
  public:
    explicit Locked(ThreadState* t) : t_(t) { ::AcquireSRWLockExclusive(&t_->mu); }
    ~Locked() { ::ReleaseSRWLockExclusive(&t_->mu); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    ThreadState* t_;
};

bool ControlsPending(ThreadState* self) {
    Locked lk(self);
    return self->terminate || self->suspend_count > 0;
}

// Acts on the calling thread's controls: throws when it is terminated, holds while it is
// suspended. Returns 1 when it held, 0 when there was nothing to do, -1 when the thread
// is terminated but its stack is already unwinding (a throw now would end the process).
int ApplyControls(ThreadState* self) {
    bool held = false;
    ::AcquireSRWLockExclusive(&self->mu);
    for (;;) {
        if (self->terminate) {
            ::ReleaseSRWLockExclusive(&self->mu);
            if (std::uncaught_exceptions() > 0) return -1;
            throw internal::ThreadTerminated{};
        }
        if (self->suspend_count <= 0) break;
        held = true;
        ::SleepConditionVariableSRW(&self->cv, &self->mu, INFINITE, 0);
    }
    ::ReleaseSRWLockExclusive(&self->mu);
    return held ? 1 : 0;
}

using Clock = std::chrono::steady_clock;

// Time left until the deadline in milliseconds, rounded up; INFINITE without one.
DWORD MsLeft(bool unlimited, Clock::time_point deadline) {
    if (unlimited) return INFINITE;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() <= 0 ? 0 : static_cast<DWORD>(left.count());
}

DWORD WINAPI ThreadEntry(LPVOID p) {
    std::shared_ptr<ThreadState> st = std::move(*static_cast<ThreadHandle*>(p));
    delete static_cast<ThreadHandle*>(p);
    t_self = st.get();
    uint32_t code = 0;
    try {
        code = st->proc(st->arg);
    } catch (const internal::ThreadTerminated&) {
        // The stack is unwound; the exit code is the one TerminateThread gave.
    }
    {
        Locked lk(st.get());
        st->finished = true;
        if (st->terminate) code = st->terminate_code;
    }
    t_self = nullptr;
    return code;
}

WaitResult ToWaitResult(int r) {
    return r > 0 ? WaitResult::kSignaled : r == 0 ? WaitResult::kTimeout : WaitResult::kFailed;
}

// A module whose code a thread runs must never be unloaded under it: request threads
// outlive a stop, and a host may free the library after it.
void PinModuleOf(const void* code) {
    HMODULE mod = nullptr;
    ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         static_cast<LPCSTR>(code), &mod);
}

}  // namespace

namespace internal {

int ControlledWait(HANDLE h, uint32_t ms, bool auto_reset) {
    ThreadState* self = t_self;
    if (!self) {
        const DWORD r = h ? ::WaitForSingleObject(h, ms) : (::Sleep(ms), WAIT_TIMEOUT);
        if (r == WAIT_OBJECT_0) return 1;
        return r == WAIT_TIMEOUT ? 0 : -1;
    }
    const bool unlimited = ms == INFINITE;
    const Clock::time_point deadline =
        unlimited ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(ms);
    if (ApplyControls(self) < 0) {
        ::SetLastError(ERROR_OPERATION_ABORTED);
        return -1;
    }
    for (;;) {
        // The wake event first: when both are set, the wait takes only the control.
        HANDLE handles[2] = {self->wake, h};
        const DWORD r =
            ::WaitForMultipleObjects(h ? 2 : 1, handles, FALSE, MsLeft(unlimited, deadline));
        if (r == WAIT_FAILED) return -1;
        const bool took = r == WAIT_OBJECT_0 + 1;
        // Controls come before readiness: a suspended thread must not act on what became
        // ready while it was held; it looks again, with the time left, once resumed.
        if (took && auto_reset && ControlsPending(self)) ::SetEvent(h);
        const int c = ApplyControls(self);
        if (c < 0) {
            ::SetLastError(ERROR_OPERATION_ABORTED);
            return -1;
        }
        if (took && c == 0) return 1;
        if (took && !auto_reset) continue;
        if (r == WAIT_TIMEOUT || (!unlimited && Clock::now() >= deadline)) {
            if (c == 0) return 0;
        }
    }
}

int ControlledSelect(SOCKET s, bool write, long sec, long usec) {
    ThreadState* self = t_self;
    const int64_t total = static_cast<int64_t>(sec) * 1000000 + usec;
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(total);
    if (self && ApplyControls(self) < 0) {
        ::WSASetLastError(WSAEINTR);
        return -1;
    }
    for (;;) {
        int64_t left =
            std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        if (self && left > kSelectSliceUs) left = kSelectSliceUs;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv;
        tv.tv_sec = static_cast<long>(left / 1000000);
        tv.tv_usec = static_cast<long>(left % 1000000);
        const int r = ::select(0, write ? nullptr : &set, write ? &set : nullptr, nullptr, &tv);
        if (r == SOCKET_ERROR) return -1;
        if (self) {
            const int c = ApplyControls(self);
            if (c < 0) {
                ::WSASetLastError(WSAEINTR);
                return -1;
            }
            if (c > 0) continue;
        }
        if (r > 0) return 1;
        if (Clock::now() >= deadline) return 0;
    }
}

void ControlledSleep(uint32_t ms) {
    // Waiting for nothing but the time; a thread that is being terminated leaves by the
    // exception the wait throws.
    ControlledWait(nullptr, ms, false);
}

}  // namespace internal

ThreadHandle CreateThread(ThreadProc proc, void* arg) {
    if (!proc) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return {};
    }
    std::shared_ptr<ThreadState> st;
    ThreadHandle* handed = nullptr;
    try {
        st = std::make_shared<ThreadState>();
        handed = new ThreadHandle(st);
    } catch (const std::bad_alloc&) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return {};
    }
    st->proc = proc;
    st->arg = arg;
    st->wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!st->wake) {
        delete handed;
        return {};
    }
    PinModuleOf(reinterpret_cast<const void*>(&ThreadEntry));
    PinModuleOf(reinterpret_cast<const void*>(proc));
    // Suspended until the handle is stored, so that nothing of the thread runs before
    // its control block is complete.
    st->thread = ::CreateThread(nullptr, 0, ThreadEntry, handed, CREATE_SUSPENDED, nullptr);
    if (!st->thread) {
        const DWORD err = ::GetLastError();
        delete handed;
        ::SetLastError(err);
        return {};
    }
    ::ResumeThread(st->thread);
    return st;
}

long SuspendThread(const ThreadHandle& t) {
    if (!t) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    long prev;
    {
        Locked lk(t.get());
        if (t->finished) {
            ::SetLastError(ERROR_INVALID_HANDLE);
            return -1;
        }
        if (t->suspend_count >= kMaxSuspendCount) {
            ::SetLastError(ERROR_SIGNAL_REFUSED);
            return -1;
        }
        prev = t->suspend_count++;
    }
    ::SetEvent(t->wake);
    // A thread that suspends itself stops here, as it would on Windows.
    if (t.get() == t_self) ApplyControls(t_self);
    return prev;
}

long ResumeThread(const ThreadHandle& t) {
    if (!t) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    Locked lk(t.get());
    if (t->finished) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return -1;
    }
    const long prev = t->suspend_count;
    if (prev > 0 && --t->suspend_count == 0) ::WakeAllConditionVariable(&t->cv);
    return prev;
}

bool TerminateThread(const ThreadHandle& t, uint32_t exit_code) {
    if (!t) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    {
        Locked lk(t.get());
        if (t->finished) return true;
        if (!t->terminate) {
            t->terminate = true;
            t->terminate_code = exit_code;
        }
        ::WakeAllConditionVariable(&t->cv);
    }
    ::SetEvent(t->wake);
    if (t.get() == t_self) {
        ApplyControls(t_self);  // throws, unless the stack is already unwinding
        return true;
    }
    // A plain wait: the caller's own controls do not cut this short.
    ::WaitForSingleObject(t->thread, kTerminateUnwindMs);
    return true;
}

WaitResult WaitForThread(const ThreadHandle& t, uint32_t ms) {
    if (!t) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return WaitResult::kFailed;
    }
    return ToWaitResult(internal::ControlledWait(t->thread, ms, false));
}

bool GetExitCodeThread(const ThreadHandle& t, uint32_t* code) {
    if (!t || !code) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    DWORD c = 0;
    if (!::GetExitCodeThread(t->thread, &c)) return false;
    *code = c;
    return true;
}

EventHandle CreateEventA(bool manual_reset, bool initially_set, const char* name) {
    std::shared_ptr<EventState> e;
    try {
        e = std::make_shared<EventState>();
        if (name) e->name = name;
    } catch (const std::bad_alloc&) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return {};
    }
    // Unnamed: a name would share the event with every process that uses it.
    e->h = ::CreateEventA(nullptr, manual_reset, initially_set, nullptr);
    if (!e->h) return {};
    e->manual = manual_reset;
    return e;
}

bool SetEvent(const EventHandle& e) {
    if (!e) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::SetEvent(e->h);
}

bool ResetEvent(const EventHandle& e) {
    if (!e) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::ResetEvent(e->h);
}

WaitResult WaitForEvent(const EventHandle& e, uint32_t ms) {
    if (!e) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return WaitResult::kFailed;
    }
    return ToWaitResult(internal::ControlledWait(e->h, ms, !e->manual));
}

}  // namespace kvp
