#include "kv/thread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "wait_internal.h"

namespace kvp {

namespace {

using Clock = std::chrono::steady_clock;

// Windows refuses a suspend beyond this count.
constexpr long kMaxSuspendCount = 127;
// How long TerminateThread waits for the ended thread to unwind its stack.
constexpr uint32_t kTerminateUnwindMs = 2000;

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

// Wake descriptors for the waits that poll a descriptor: a thread borrows one for the
// length of such a wait and gives it back afterwards, so that threads hold none while
// they run or wait otherwise. A few are kept for the next waits; the rest are closed.
// Never destroyed: threads may outlive static destructors.
class WakePool {
  public:
    int Borrow() {
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (count_ > 0) return free_[--count_];
        }
        return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    void Return(int fd) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (count_ < kKept) {
                free_[count_++] = fd;
                return;
            }
        }
        ::close(fd);
    }

  private:
    static constexpr size_t kKept = 16;
    std::mutex mu_;
    // No heap memory: the pool lives in static storage, so that a library unloaded with
    // it leaves nothing behind that a leak check would count.
    int free_[kKept] = {};
    size_t count_ = 0;
};

WakePool& Wakes() {
    alignas(WakePool) static unsigned char storage[sizeof(WakePool)];
    static WakePool* pool = new (storage) WakePool;
    return *pool;
}

}  // namespace

// An event is a flag under a mutex with a condition variable for its waiters; it holds no
// descriptor.
struct EventState {
    std::mutex mu;
    std::condition_variable cv;
    bool manual = false;
    bool set = false;
    std::string name;

    EventState() = default;
    EventState(const EventState&) = delete;
    EventState& operator=(const EventState&) = delete;

    void Set() {
        std::lock_guard<std::mutex> lk(mu);
        if (!set) {
            set = true;
            // Every waiter looks: a suspended one declines the signal, so waking only one
            // could leave it set with the others asleep.
            cv.notify_all();
        }
    }
    void Reset() {
        std::lock_guard<std::mutex> lk(mu);
        set = false;
    }
};

// The control block shared by the thread and every handle to it.
struct ThreadState {
    std::mutex mu;
    std::condition_variable cv;  // a held or sleeping thread waits here
    long suspend_count = 0;
    bool terminate = false;
    uint32_t terminate_code = 0;
    bool finished = false;
    uint32_t exit_code = kStillActive;
    // suspend_count > 0 or terminate: the quick test that waits make without the mutex.
    std::atomic<bool> controls{false};
    // What the thread waits on at the moment (under mu), so that suspend and terminate
    // can reach it: the wake descriptor of a poll, poked by both; the socket of a
    // blocking call, shut down by terminate; the event of an event wait, whose waiters
    // terminate wakes (a suspend is seen when such a wait wakes, before it acts).
    int wake_fd = -1;
    int blocking_fd = -1;
    EventState* event = nullptr;
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
    }

    void JoinEnded() {
        std::lock_guard<std::mutex> lk(join_mu);
        if (os_thread.joinable() && os_thread.get_id() != std::this_thread::get_id())
            os_thread.join();
    }

    // Under mu.
    bool Pending() const { return terminate || suspend_count > 0; }
    void UpdateControls() { controls.store(Pending(), std::memory_order_release); }
    // Under mu: makes the wait in progress see the new controls.
    void Interrupt() {
        if (wake_fd >= 0) Poke(wake_fd);
        if (!terminate) return;
        if (blocking_fd >= 0) ::shutdown(blocking_fd, SHUT_RDWR);
        if (event != nullptr) {
            std::lock_guard<std::mutex> lk(event->mu);
            event->cv.notify_all();
        }
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

// Records (or with -1 forgets) the descriptor whose poll suspend and terminate poke;
// returns whether controls are pending, which the caller acts on instead of polling.
bool RegisterWake(ThreadState* self, int fd) {
    std::lock_guard<std::mutex> lk(self->mu);
    self->wake_fd = fd;
    return self->Pending();
}

// One poll of the descriptors, until the deadline unless the wait is unlimited.
int PollUntil(pollfd* pfd, nfds_t n, bool unlimited, Clock::time_point deadline) {
    timespec ts{};
    if (!unlimited) {
        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        if (left.count() < 0) left = std::chrono::nanoseconds(0);
        ts.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        ts.tv_nsec = static_cast<long>(left.count() % 1000000000);
    }
    return ::ppoll(pfd, n, unlimited ? nullptr : &ts, nullptr);
}

int PlainPoll(int fd, short events, int64_t timeout_us) {
    const bool unlimited = timeout_us < 0;
    const Clock::time_point deadline =
        unlimited ? Clock::time_point::max() : Clock::now() + std::chrono::microseconds(timeout_us);
    for (;;) {
        pollfd pfd{fd, events, 0};
        const int r = PollUntil(&pfd, 1, unlimited, deadline);
        if (r < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (r == 0) return 0;
        if (pfd.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        return 1;
    }
}

int PollLoop(ThreadState* self, int fd, short events, int64_t timeout_us, bool (*accept)(void*),
             void* ctx) {
    if (!self) {
        for (;;) {
            const int r = PlainPoll(fd, events, timeout_us);
            if (r != 1 || !accept || accept(ctx)) return r;
        }
    }
    const bool unlimited = timeout_us < 0;
    const Clock::time_point deadline =
        unlimited ? Clock::time_point::max() : Clock::now() + std::chrono::microseconds(timeout_us);
    if (ApplyControls(self) < 0) {
        errno = ECANCELED;
        return -1;
    }
    // The wake descriptor is lent for this wait only; it goes back on every way out,
    // also when a terminate throws.
    struct Lent {
        ThreadState* self;
        int fd;
        ~Lent() {
            RegisterWake(self, -1);
            Wakes().Return(fd);
        }
    };
    const int wake = Wakes().Borrow();
    if (wake < 0) return -1;
    const Lent lent{self, wake};
    for (;;) {
        int r = 0;
        bool ready = false;
        if (!RegisterWake(self, wake)) {
            pollfd pfd[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
            r = PollUntil(pfd, 2, unlimited, deadline);
            if (r < 0 && errno != EINTR) return -1;
            if (r > 0 && pfd[1].revents != 0) Drain(wake);
            ready = r > 0 && pfd[0].revents != 0;
            if (ready && (pfd[0].revents & POLLNVAL)) {
                errno = EBADF;
                return -1;
            }
        }
        // Controls come before readiness: a suspended thread must not act on what became
        // ready while it was held; it looks again, with the time left, once resumed.
        const int c = ApplyControls(self);
        if (c < 0) {
            errno = ECANCELED;
            return -1;
        }
        if (c > 0) continue;
        if (ready && (!accept || accept(ctx))) return 1;
        if (!unlimited && Clock::now() >= deadline) return 0;
    }
}

WaitResult WaitEvent(ThreadState* self, EventState& e, uint32_t ms) {
    const bool unlimited = ms == kInfinite;
    const Clock::time_point deadline =
        unlimited ? Clock::time_point::max() : Clock::now() + std::chrono::milliseconds(ms);
    if (self && ApplyControls(self) < 0) {
        errno = ECANCELED;
        return WaitResult::kFailed;
    }
    for (;;) {
        if (self) {
            std::lock_guard<std::mutex> lk(self->mu);
            self->event = &e;
        }
        bool pending = false;
        WaitResult result = WaitResult::kTimeout;
        {
            std::unique_lock<std::mutex> lk(e.mu);
            for (;;) {
                // Controls come before the signal: a suspended waiter leaves it set for
                // others, and looks again once resumed.
                if (self && self->controls.load(std::memory_order_acquire)) {
                    pending = true;
                    break;
                }
                if (e.set) {
                    if (!e.manual) e.set = false;
                    result = WaitResult::kSignaled;
                    break;
                }
                if (unlimited) {
                    e.cv.wait(lk);
                } else if (e.cv.wait_until(lk, deadline) == std::cv_status::timeout && !e.set) {
                    // A thread suspended meanwhile is held past its time first.
                    pending = self && self->controls.load(std::memory_order_acquire);
                    break;
                }
            }
        }
        if (self) {
            std::lock_guard<std::mutex> lk(self->mu);
            self->event = nullptr;
        }
        if (!pending) return result;
        if (ApplyControls(self) < 0) {
            errno = ECANCELED;
            return WaitResult::kFailed;
        }
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

void ControlledSleep(int64_t timeout_us) {
    ThreadState* self = t_self;
    const bool unlimited = timeout_us < 0;
    if (!self) {
        if (!unlimited) {
            std::this_thread::sleep_for(std::chrono::microseconds(timeout_us));
            return;
        }
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    const Clock::time_point deadline =
        unlimited ? Clock::time_point::max() : Clock::now() + std::chrono::microseconds(timeout_us);
    std::unique_lock<std::mutex> lk(self->mu);
    for (;;) {
        if (self->Pending()) {
            // Held past the time when suspended; a terminated thread leaves by the throw.
            lk.unlock();
            if (ApplyControls(self) < 0) return;
            lk.lock();
            continue;
        }
        if (!unlimited && Clock::now() >= deadline) return;
        if (unlimited) {
            self->cv.wait(lk);
        } else {
            self->cv.wait_until(lk, deadline);
        }
    }
}

int BeginBlockingCall(int fd) {
    ThreadState* self = t_self;
    if (!self) return 0;
    int held = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(self->mu);
            if (!self->Pending()) {
                self->blocking_fd = fd;
                return held;
            }
        }
        const int c = ApplyControls(self);
        if (c < 0) return -1;
        if (c > 0) held = 1;
    }
}

int EndBlockingCall() {
    ThreadState* self = t_self;
    if (!self) return 0;
    {
        std::lock_guard<std::mutex> lk(self->mu);
        self->blocking_fd = -1;
    }
    return ApplyPendingControls();
}

int ApplyPendingControls() {
    ThreadState* self = t_self;
    if (!self || !self->controls.load(std::memory_order_acquire)) return 0;
    return ApplyControls(self);
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
        t->UpdateControls();
        t->Interrupt();
    }
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
    if (prev > 0 && --t->suspend_count == 0) {
        t->UpdateControls();
        t->cv.notify_all();
    }
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
            t->UpdateControls();
        }
        t->cv.notify_all();
        t->Interrupt();
    }
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
    e->manual = manual_reset;
    e->set = initially_set;
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
