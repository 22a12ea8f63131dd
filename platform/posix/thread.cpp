#include "kv/thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "wait_internal.h"

namespace kvp {

namespace {

// Windows refuses a suspend beyond this count.
constexpr long kMaxSuspendCount = 127;
// How long TerminateThread waits for the ended thread to unwind its stack.
constexpr uint32_t kTerminateUnwindMs = 2000;

int MakeEventFd() {
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

void Poke(int fd) {
    const int saved = errno;
    uint64_t one = 1;
    ssize_t r;
    do {
        r = ::write(fd, &one, sizeof one);
    } while (r < 0 && errno == EINTR);
    errno = saved;
}

void Drain(int fd) {
    const int saved = errno;
    uint64_t v;
    ssize_t r;
    do {
        r = ::read(fd, &v, sizeof v);
    } while (r < 0 && errno == EINTR);
    errno = saved;
}

}  // namespace

// An event is a flag under a mutex plus an eventfd that is readable exactly while the flag
// is set, so that waiting for it is a poll like every other wait of this layer.
struct EventState {
    std::mutex mu;
    bool manual = false;
    bool set = false;
    int fd = -1;
    std::string name;

    EventState() = default;
    EventState(const EventState&) = delete;
    EventState& operator=(const EventState&) = delete;
    ~EventState() {
        if (fd >= 0) ::close(fd);
    }

    void Set() {
        std::lock_guard<std::mutex> lk(mu);
        if (!set) {
            set = true;
            Poke(fd);
        }
    }
    void Reset() {
        std::lock_guard<std::mutex> lk(mu);
        if (set) {
            set = false;
            Drain(fd);
        }
    }
    // Takes the signal for one waiter: an auto-reset event lets exactly one waiter see it.
    bool TryTake() {
        std::lock_guard<std::mutex> lk(mu);
        if (!set) return false;
        if (!manual) {
            set = false;
            Drain(fd);
        }
        return true;
    }
};

// The control block shared by the thread and every handle to it.
struct ThreadState {
    std::mutex mu;
    std::condition_variable cv;  // a held thread waits here for resume or terminate
    long suspend_count = 0;
    bool terminate = false;
    uint32_t terminate_code = 0;
    bool finished = false;
    uint32_t exit_code = kStillActive;
    int wake_fd = -1;  // poked by suspend and terminate to interrupt a wait in progress
    EventHandle done;  // manual-reset, set once the thread has ended
    ThreadProc proc = nullptr;
    void* arg = nullptr;
    // Joined by the first wait that sees the thread ended, so that a program which stops
    // a thread and then exits never exits while that thread is still on its way out.
    std::mutex join_mu;
    std::thread os_thread;

    ThreadState() = default;
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;
    ~ThreadState() {
        // Never joined (nobody waited for it, or the thread itself drops the last
        // handle): let it go.
        if (os_thread.joinable()) os_thread.detach();
        if (wake_fd >= 0) ::close(wake_fd);
    }

    void JoinEnded() {
        std::lock_guard<std::mutex> lk(join_mu);
        if (os_thread.joinable() && os_thread.get_id() != std::this_thread::get_id())
            os_thread.join();
    }
};

namespace {

thread_local ThreadState* t_self = nullptr;

// Acts on the calling thread's controls: throws when it is terminated, holds while it is
// suspended. Returns 1 when it held, 0 when there was nothing to do, -1 when the thread
// is terminated but its stack is already unwinding (a throw now would abort the process).
int ApplyControls(ThreadState* self) {
    std::unique_lock<std::mutex> lk(self->mu);
    bool held = false;
    for (;;) {
        if (self->terminate) {
            if (std::uncaught_exceptions() > 0) return -1;
            lk.unlock();
            throw internal::ThreadTerminated{};
        }
        if (self->suspend_count <= 0) return held ? 1 : 0;
        held = true;
        self->cv.wait(lk);
    }
}

int PollLoop(ThreadState* self, int fd, short events, int64_t timeout_us, bool (*accept)(void*),
             void* ctx) {
    using Clock = std::chrono::steady_clock;
    const bool unlimited = timeout_us < 0;
    const Clock::time_point deadline =
        unlimited ? Clock::time_point::max() : Clock::now() + std::chrono::microseconds(timeout_us);
    if (self && ApplyControls(self) < 0) {
        errno = ECANCELED;
        return -1;
    }
    for (;;) {
        pollfd pfd[2];
        nfds_t n = 0;
        int target = -1;
        int wake = -1;
        if (fd >= 0) {
            pfd[n] = pollfd{fd, events, 0};
            target = static_cast<int>(n++);
        }
        if (self) {
            pfd[n] = pollfd{self->wake_fd, POLLIN, 0};
            wake = static_cast<int>(n++);
        }
        timespec ts{};
        timespec* tsp = nullptr;
        if (!unlimited) {
            auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            if (left.count() < 0) left = std::chrono::nanoseconds(0);
            ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
            tsp = &ts;
        }
        const int r = ::ppoll(pfd, n, tsp, nullptr);
        if (r < 0 && errno != EINTR) return -1;
        const bool ready = r > 0 && target >= 0 && pfd[target].revents != 0;
        if (self) {
            if (r > 0 && pfd[wake].revents != 0) Drain(self->wake_fd);
            // Controls come before readiness: a suspended thread must not act on what became
            // ready while it was held; it looks again, with the time left, once resumed.
            const int c = ApplyControls(self);
            if (c < 0) {
                errno = ECANCELED;
                return -1;
            }
            if (c > 0) continue;
        }
        if (ready) {
            if (pfd[target].revents & POLLNVAL) {
                errno = EBADF;
                return -1;
            }
            if (!accept || accept(ctx)) return 1;
        }
        if (!unlimited && Clock::now() >= deadline) return 0;
    }
}

bool TakeEvent(void* ctx) {
    return static_cast<EventState*>(ctx)->TryTake();
}

WaitResult WaitEvent(ThreadState* self, EventState& e, uint32_t ms) {
    const int64_t us = ms == kInfinite ? -1 : static_cast<int64_t>(ms) * 1000;
    switch (PollLoop(self, e.fd, POLLIN, us, TakeEvent, &e)) {
        case 1:
            return WaitResult::kSignaled;
        case 0:
            return WaitResult::kTimeout;
        default:
            return WaitResult::kFailed;
    }
}

void ThreadMain(std::shared_ptr<ThreadState> st) {
    t_self = st.get();
    uint32_t code = 0;
    try {
        code = st->proc(st->arg);
    } catch (const internal::ThreadTerminated&) {
        // The stack is unwound; the exit code is the one TerminateThread gave.
    }
    {
        std::lock_guard<std::mutex> lk(st->mu);
        st->finished = true;
        st->exit_code = st->terminate ? st->terminate_code : code;
    }
    t_self = nullptr;
    st->done->Set();
}

}  // namespace

namespace internal {

int ControlledWait(int fd, short events, int64_t timeout_us, bool (*accept)(void*), void* ctx) {
    return PollLoop(t_self, fd, events, timeout_us, accept, ctx);
}

}  // namespace internal

ThreadHandle CreateThread(ThreadProc proc, void* arg) {
    if (!proc) {
        errno = EINVAL;
        return {};
    }
    std::shared_ptr<ThreadState> st;
    try {
        st = std::make_shared<ThreadState>();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return {};
    }
    st->proc = proc;
    st->arg = arg;
    st->wake_fd = MakeEventFd();
    if (st->wake_fd < 0) return {};
    st->done = CreateEventA(true, false, nullptr);
    if (!st->done) return {};
    try {
        std::lock_guard<std::mutex> lk(st->join_mu);
        st->os_thread = std::thread(ThreadMain, st);
    } catch (const std::system_error& e) {
        errno = e.code().value() ? e.code().value() : EAGAIN;
        return {};
    }
    return st;
}

long SuspendThread(const ThreadHandle& t) {
    if (!t) {
        errno = EINVAL;
        return -1;
    }
    long prev;
    {
        std::lock_guard<std::mutex> lk(t->mu);
        if (t->finished) {
            errno = ESRCH;
            return -1;
        }
        if (t->suspend_count >= kMaxSuspendCount) {
            errno = EOVERFLOW;
            return -1;
        }
        prev = t->suspend_count++;
    }
    Poke(t->wake_fd);
    // A thread that suspends itself stops here, as it would on Windows.
    if (t.get() == t_self) ApplyControls(t_self);
    return prev;
}

long ResumeThread(const ThreadHandle& t) {
    if (!t) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> lk(t->mu);
    if (t->finished) {
        errno = ESRCH;
        return -1;
    }
    const long prev = t->suspend_count;
    if (prev > 0 && --t->suspend_count == 0) t->cv.notify_all();
    return prev;
}

bool TerminateThread(const ThreadHandle& t, uint32_t exit_code) {
    if (!t) {
        errno = EINVAL;
        return false;
    }
    {
        std::lock_guard<std::mutex> lk(t->mu);
        if (t->finished) return true;
        if (!t->terminate) {
            t->terminate = true;
            t->terminate_code = exit_code;
        }
        t->cv.notify_all();
    }
    Poke(t->wake_fd);
    if (t.get() == t_self) {
        ApplyControls(t_self);  // throws, unless the stack is already unwinding
        return true;
    }
    // A plain wait: the caller's own controls do not cut this short.
    if (WaitEvent(nullptr, *t->done, kTerminateUnwindMs) == WaitResult::kSignaled) t->JoinEnded();
    return true;
}

WaitResult WaitForThread(const ThreadHandle& t, uint32_t ms) {
    if (!t) {
        errno = EINVAL;
        return WaitResult::kFailed;
    }
    const WaitResult r = WaitEvent(t_self, *t->done, ms);
    if (r == WaitResult::kSignaled) t->JoinEnded();
    return r;
}

bool GetExitCodeThread(const ThreadHandle& t, uint32_t* code) {
    if (!t || !code) {
        errno = EINVAL;
        return false;
    }
    std::lock_guard<std::mutex> lk(t->mu);
    *code = t->finished ? t->exit_code : kStillActive;
    return true;
}

EventHandle CreateEventA(bool manual_reset, bool initially_set, const char* name) {
    std::shared_ptr<EventState> e;
    try {
        e = std::make_shared<EventState>();
        if (name) e->name = name;
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return {};
    }
    e->fd = MakeEventFd();
    if (e->fd < 0) return {};
    e->manual = manual_reset;
    if (initially_set) e->Set();
    return e;
}

bool SetEvent(const EventHandle& e) {
    if (!e) {
        errno = EINVAL;
        return false;
    }
    e->Set();
    return true;
}

bool ResetEvent(const EventHandle& e) {
    if (!e) {
        errno = EINVAL;
        return false;
    }
    e->Reset();
    return true;
}

WaitResult WaitForEvent(const EventHandle& e, uint32_t ms) {
    if (!e) {
        errno = EINVAL;
        return WaitResult::kFailed;
    }
    return WaitEvent(t_self, *e, ms);
}

}  // namespace kvp
