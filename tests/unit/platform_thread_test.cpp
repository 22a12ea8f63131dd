// Threads and events: counted suspend, termination at waits, exit codes, event kinds.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kv/net.h"
#include "kv/thread.h"
#include "kv/time.h"
#include "test_support.h"

namespace {

constexpr uint32_t kHang = 20000;  // only a hang runs into this
constexpr uint32_t kQuiet = 200;   // how long we watch for something that must not happen

// Sets an event when it goes out of scope, to show that a thread's stack was unwound.
struct SignalOnExit {
    kvp::EventHandle e;
    ~SignalOnExit() { kvp::SetEvent(e); }
};

// Terminates the thread and checks that it has ended with the code given.
void TerminateAndExpectEnd(const kvp::ThreadHandle& t, uint32_t code) {
    EXPECT_TRUE(kvp::TerminateThread(t, code));
    EXPECT_EQ(kvp::WaitForThread(t, kHang), kvp::WaitResult::kSignaled);
    uint32_t got = 0;
    ASSERT_TRUE(kvp::GetExitCodeThread(t, &got));
    EXPECT_EQ(got, code);
}

// A listener in miniature: waits in 5-second steps for a datagram and takes it, with a
// wait and then a receive, or with one receive that waits (timed: waits of timedUs; one
// of 15 ms the receive makes with a precise timer alone).
struct Listener {
    kvp::Socket sock;
    bool timed = false;
    long timedUs = 5000000;
    kvp::EventHandle waiting = kvp::CreateEventA(true, false, "waiting");
    kvp::EventHandle got = kvp::CreateEventA(false, false, "got");
    kvp::EventHandle unwound = kvp::CreateEventA(true, false, "unwound");
    std::string data;

    static uint32_t Run(void* arg) {
        auto* self = static_cast<Listener*>(arg);
        SignalOnExit guard{self->unwound};
        for (;;) {
            kvp::SetEvent(self->waiting);
            char buf[64];
            int n = 0;
            if (self->timed) {
                n = kvp::RecvWithin(self->sock.get(), buf, sizeof buf, self->timedUs / 1000000,
                                    self->timedUs % 1000000);
                if (n == kvp::kTimedOut) continue;
            } else {
                int r = kvp::WaitReadable(self->sock.get(), 5, 0);
                if (r < 0) return 99;
                if (r == 0) continue;
                n = kvp::Recv(self->sock.get(), buf, sizeof buf);
            }
            if (n < 0) return 98;
            self->data.assign(buf, static_cast<size_t>(n));
            kvp::SetEvent(self->got);
        }
    }
};

class ThreadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uint16_t granted;
        kvp::NetStartup(&granted);
        kvp::SockAddr4 a;
        a.addr = kvp::HostToNet32(0x7F000001);
        listener_.sock.reset(kvp::UdpSocket());
        ASSERT_EQ(kvp::Bind(listener_.sock.get(), a), 0);
        ASSERT_EQ(kvp::GetSockName(listener_.sock.get(), &addr_), 0);
        sender_.reset(kvp::UdpSocket());
        ASSERT_TRUE(sender_.valid());
    }
    void TearDown() override { kvp::NetCleanup(); }

    void SendText(const std::string& s) {
        ASSERT_EQ(kvp::SendTo(sender_.get(), s.data(), static_cast<int>(s.size()), addr_),
                  static_cast<int>(s.size()));
    }

    kvtest::TestEnv env_;
    Listener listener_;
    kvp::SockAddr4 addr_;
    kvp::Socket sender_;
};

TEST_F(ThreadTest, SuspendIsCountedAndHoldsASocketWait) {
    for (bool timed : {false, true}) {
        SCOPED_TRACE(timed ? "timed receive" : "wait, then receive");
        listener_.timed = timed;
        listener_.data.clear();
        kvp::ThreadHandle t = kvp::CreateThread(Listener::Run, &listener_);
        ASSERT_TRUE(t);
        ASSERT_EQ(kvp::WaitForEvent(listener_.waiting, kHang), kvp::WaitResult::kSignaled);

        SendText("before");
        ASSERT_EQ(kvp::WaitForEvent(listener_.got, kHang), kvp::WaitResult::kSignaled);
        EXPECT_EQ(listener_.data, "before");

        EXPECT_EQ(kvp::SuspendThread(t), 0);
        EXPECT_EQ(kvp::SuspendThread(t), 1);
        // Arrives while the thread is held inside its wait: it must stay in the queue.
        SendText("while paused");
        EXPECT_EQ(kvp::WaitForEvent(listener_.got, kQuiet), kvp::WaitResult::kTimeout);
        EXPECT_EQ(kvp::ResumeThread(t), 2);
        EXPECT_EQ(kvp::WaitForEvent(listener_.got, kQuiet), kvp::WaitResult::kTimeout);
        EXPECT_EQ(kvp::ResumeThread(t), 1);
        ASSERT_EQ(kvp::WaitForEvent(listener_.got, kHang), kvp::WaitResult::kSignaled);
        EXPECT_EQ(listener_.data, "while paused");
        EXPECT_EQ(kvp::ResumeThread(t), 0);
        EXPECT_EQ(kvp::ResumeThread(t), 0);

        uint32_t code = 0;
        ASSERT_TRUE(kvp::GetExitCodeThread(t, &code));
        EXPECT_EQ(code, kvp::kStillActive);
        EXPECT_EQ(kvp::WaitForThread(t, 20), kvp::WaitResult::kTimeout);

        EXPECT_TRUE(kvp::TerminateThread(t, 0));
        ASSERT_TRUE(kvp::GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 0u);
        // An ended thread can be neither suspended nor resumed.
        EXPECT_EQ(kvp::SuspendThread(t), -1);
        EXPECT_EQ(kvp::ResumeThread(t), -1);
        if (timed) break;  // the terminate shut the socket down
        kvp::ResetEvent(listener_.waiting);
    }
}

TEST_F(ThreadTest, TerminateEndsASocketWaitAndUnwinds) {
    // A receive waiting longer than kHang shows that the terminate ends it at once.
    for (long timedUs : {0L, 60000000L, 15000L}) {
        SCOPED_TRACE(timedUs);
        listener_.timed = timedUs > 0;
        listener_.timedUs = timedUs;
        // A socket of its own: a terminate ends a timed receive by shutting it down.
        kvp::SockAddr4 a;
        a.addr = kvp::HostToNet32(0x7F000001);
        listener_.sock.reset(kvp::UdpSocket());
        ASSERT_EQ(kvp::Bind(listener_.sock.get(), a), 0);
        kvp::ResetEvent(listener_.waiting);
        kvp::ResetEvent(listener_.unwound);
        kvp::ThreadHandle t = kvp::CreateThread(Listener::Run, &listener_);
        ASSERT_TRUE(t);
        ASSERT_EQ(kvp::WaitForEvent(listener_.waiting, kHang), kvp::WaitResult::kSignaled);
        TerminateAndExpectEnd(t, 42);
        EXPECT_EQ(kvp::WaitForEvent(listener_.unwound, 0), kvp::WaitResult::kSignaled);
        // A second terminate changes nothing.
        EXPECT_TRUE(kvp::TerminateThread(t, 7));
        uint32_t code = 0;
        ASSERT_TRUE(kvp::GetExitCodeThread(t, &code));
        EXPECT_EQ(code, 42u);
    }
}

TEST_F(ThreadTest, TerminateReachesASuspendedThread) {
    kvp::ThreadHandle t = kvp::CreateThread(Listener::Run, &listener_);
    ASSERT_TRUE(t);
    ASSERT_EQ(kvp::WaitForEvent(listener_.waiting, kHang), kvp::WaitResult::kSignaled);
    EXPECT_EQ(kvp::SuspendThread(t), 0);
    SendText("never served");
    TerminateAndExpectEnd(t, 5);
    EXPECT_EQ(kvp::WaitForEvent(listener_.got, 0), kvp::WaitResult::kTimeout);
    EXPECT_TRUE(listener_.data.empty());
    // The datagram is still queued for whoever reads the socket next.
    char buf[64];
    ASSERT_EQ(kvp::WaitReadable(listener_.sock.get(), 0, 0), 1);
    EXPECT_EQ(kvp::Recv(listener_.sock.get(), buf, sizeof buf), 12);
}

struct Blocker {
    enum Kind { kEvent, kSleep, kThread } kind;
    kvp::EventHandle started = kvp::CreateEventA(true, false, nullptr);
    kvp::EventHandle never = kvp::CreateEventA(false, false, nullptr);
    kvp::EventHandle unwound = kvp::CreateEventA(true, false, nullptr);
    kvp::ThreadHandle other;
    std::atomic<bool> passed{false};
    kvp::SockAddr4 bound;

    static uint32_t Run(void* arg) {
        auto* self = static_cast<Blocker*>(arg);
        SignalOnExit guard{self->unwound};
        kvp::Socket sock(kvp::UdpSocket());
        kvp::SockAddr4 a;
        a.addr = kvp::HostToNet32(0x7F000001);
        if (kvp::Bind(sock.get(), a) != 0 || kvp::GetSockName(sock.get(), &self->bound) != 0)
            return 2;
        kvp::SetEvent(self->started);
        switch (self->kind) {
            case kEvent:
                kvp::WaitForEvent(self->never, kvp::kInfinite);
                break;
            case kSleep:
                kvp::Sleep(kvp::kInfinite);
                break;
            case kThread:
                kvp::WaitForThread(self->other, kvp::kInfinite);
                break;
        }
        self->passed = true;
        return 1;
    }
    static uint32_t Forever(void* arg) {
        kvp::WaitForEvent(static_cast<Blocker*>(arg)->never, kvp::kInfinite);
        return 0;
    }
};

TEST(ThreadTerminate, EndsEveryKindOfWait) {
    for (Blocker::Kind kind : {Blocker::kEvent, Blocker::kSleep, Blocker::kThread}) {
        SCOPED_TRACE(static_cast<int>(kind));
        Blocker b;
        b.kind = kind;
        if (kind == Blocker::kThread) b.other = kvp::CreateThread(Blocker::Forever, &b);
        kvp::ThreadHandle t = kvp::CreateThread(Blocker::Run, &b);
        ASSERT_TRUE(t);
        ASSERT_EQ(kvp::WaitForEvent(b.started, kHang), kvp::WaitResult::kSignaled);
        TerminateAndExpectEnd(t, 1234);
        EXPECT_EQ(kvp::WaitForEvent(b.unwound, 0), kvp::WaitResult::kSignaled);
        EXPECT_FALSE(b.passed);
        // The thread's socket was closed by its destructor: its port is free again.
        kvp::Socket again(kvp::UdpSocket());
        EXPECT_EQ(kvp::Bind(again.get(), b.bound), 0);
        if (b.other) {
            EXPECT_TRUE(kvp::TerminateThread(b.other, 0));
            EXPECT_EQ(kvp::WaitForThread(b.other, kHang), kvp::WaitResult::kSignaled);
        }
    }
}

struct Spinner {
    std::atomic<bool> go{false};
    std::atomic<bool> passed{false};
    static uint32_t Run(void* arg) {
        auto* self = static_cast<Spinner*>(arg);
        while (!self->go) {
        }
        kvp::Sleep(0);
        self->passed = true;
        return 1;
    }
};

TEST(ThreadTerminate, BusyThreadEndsAtItsNextWait) {
    Spinner s;
    kvp::ThreadHandle t = kvp::CreateThread(Spinner::Run, &s);
    ASSERT_TRUE(t);
    std::thread release([&] {
        kvp::Sleep(50);
        s.go = true;
    });
    EXPECT_TRUE(kvp::TerminateThread(t, 77));
    release.join();
    EXPECT_EQ(kvp::WaitForThread(t, kHang), kvp::WaitResult::kSignaled);
    uint32_t code = 0;
    ASSERT_TRUE(kvp::GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 77u);
    EXPECT_FALSE(s.passed);
}

uint32_t ReturnArg(void* arg) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(arg));
}

TEST(Thread, ExitCodeAndEmptyHandles) {
    kvp::ThreadHandle t = kvp::CreateThread(ReturnArg, reinterpret_cast<void*>(uintptr_t{7}));
    ASSERT_TRUE(t);
    EXPECT_EQ(kvp::WaitForThread(t, kHang), kvp::WaitResult::kSignaled);
    EXPECT_EQ(kvp::WaitForThread(t, 0), kvp::WaitResult::kSignaled);
    uint32_t code = 0;
    ASSERT_TRUE(kvp::GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 7u);

    kvp::ThreadHandle none;
    EXPECT_EQ(kvp::SuspendThread(none), -1);
    EXPECT_EQ(kvp::ResumeThread(none), -1);
    EXPECT_FALSE(kvp::TerminateThread(none, 0));
    EXPECT_EQ(kvp::WaitForThread(none, 0), kvp::WaitResult::kFailed);
    EXPECT_FALSE(kvp::GetExitCodeThread(none, &code));
    EXPECT_FALSE(kvp::CreateThread(nullptr, nullptr));

    kvp::EventHandle no_event;
    EXPECT_FALSE(kvp::SetEvent(no_event));
    EXPECT_FALSE(kvp::ResetEvent(no_event));
    EXPECT_EQ(kvp::WaitForEvent(no_event, 0), kvp::WaitResult::kFailed);
}

TEST(Event, AutoResetIsTakenByOneWait) {
    kvp::EventHandle e = kvp::CreateEventA(false, true, "auto");
    ASSERT_TRUE(e);
    EXPECT_EQ(kvp::WaitForEvent(e, 0), kvp::WaitResult::kSignaled);
    EXPECT_EQ(kvp::WaitForEvent(e, 0), kvp::WaitResult::kTimeout);
    // Sets do not add up.
    EXPECT_TRUE(kvp::SetEvent(e));
    EXPECT_TRUE(kvp::SetEvent(e));
    EXPECT_EQ(kvp::WaitForEvent(e, 0), kvp::WaitResult::kSignaled);
    EXPECT_EQ(kvp::WaitForEvent(e, 10), kvp::WaitResult::kTimeout);
    EXPECT_TRUE(kvp::SetEvent(e));
    EXPECT_TRUE(kvp::ResetEvent(e));
    EXPECT_EQ(kvp::WaitForEvent(e, 0), kvp::WaitResult::kTimeout);
}

TEST(Event, ManualResetStaysSetUntilReset) {
    kvp::EventHandle e = kvp::CreateEventA(true, false, "manual");
    ASSERT_TRUE(e);
    EXPECT_EQ(kvp::WaitForEvent(e, 0), kvp::WaitResult::kTimeout);
    EXPECT_TRUE(kvp::SetEvent(e));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(kvp::WaitForEvent(e, 0), kvp::WaitResult::kSignaled);
    EXPECT_TRUE(kvp::ResetEvent(e));
    EXPECT_EQ(kvp::WaitForEvent(e, 0), kvp::WaitResult::kTimeout);
}

struct Waiters {
    kvp::EventHandle e;
    kvp::EventHandle woke = kvp::CreateEventA(false, false, nullptr);
    std::atomic<int> count{0};
    static uint32_t Run(void* arg) {
        auto* self = static_cast<Waiters*>(arg);
        if (kvp::WaitForEvent(self->e, kHang) != kvp::WaitResult::kSignaled) return 1;
        self->count++;
        kvp::SetEvent(self->woke);
        return 0;
    }
};

TEST(Event, AutoResetReleasesExactlyOneWaiterPerSet) {
    Waiters w;
    w.e = kvp::CreateEventA(false, false, nullptr);
    kvp::ThreadHandle t[3];
    for (auto& h : t) h = kvp::CreateThread(Waiters::Run, &w);
    for (int i = 1; i <= 3; ++i) {
        kvp::SetEvent(w.e);
        ASSERT_EQ(kvp::WaitForEvent(w.woke, kHang), kvp::WaitResult::kSignaled);
        kvp::Sleep(30);  // room for a wrong second wake-up to show
        EXPECT_EQ(w.count, i);
    }
    for (auto& h : t) {
        EXPECT_EQ(kvp::WaitForThread(h, kHang), kvp::WaitResult::kSignaled);
        uint32_t code = 1;
        EXPECT_TRUE(kvp::GetExitCodeThread(h, &code));
        EXPECT_EQ(code, 0u);
    }
}

TEST(Event, ManualResetReleasesEveryWaiter) {
    Waiters w;
    w.e = kvp::CreateEventA(true, false, nullptr);
    kvp::ThreadHandle t[3];
    for (auto& h : t) h = kvp::CreateThread(Waiters::Run, &w);
    kvp::SetEvent(w.e);
    for (auto& h : t) EXPECT_EQ(kvp::WaitForThread(h, kHang), kvp::WaitResult::kSignaled);
    EXPECT_EQ(w.count, 3);
    EXPECT_EQ(kvp::WaitForEvent(w.e, 0), kvp::WaitResult::kSignaled);
}

struct HeldWaiter {
    kvp::EventHandle e = kvp::CreateEventA(false, false, nullptr);
    kvp::EventHandle started = kvp::CreateEventA(true, false, nullptr);
    std::atomic<bool> took{false};
    static uint32_t Run(void* arg) {
        auto* self = static_cast<HeldWaiter*>(arg);
        kvp::SetEvent(self->started);
        if (kvp::WaitForEvent(self->e, kHang) == kvp::WaitResult::kSignaled) self->took = true;
        return 0;
    }
};

TEST(Event, SuspendedWaiterDoesNotTakeTheSignal) {
    HeldWaiter h;
    kvp::ThreadHandle t = kvp::CreateThread(HeldWaiter::Run, &h);
    ASSERT_EQ(kvp::WaitForEvent(h.started, kHang), kvp::WaitResult::kSignaled);
    EXPECT_EQ(kvp::SuspendThread(t), 0);
    kvp::SetEvent(h.e);
    kvp::Sleep(kQuiet);
    EXPECT_FALSE(h.took);
    // Still set, so this thread takes it instead.
    EXPECT_EQ(kvp::WaitForEvent(h.e, 0), kvp::WaitResult::kSignaled);
    kvp::SetEvent(h.e);
    EXPECT_EQ(kvp::ResumeThread(t), 1);
    EXPECT_EQ(kvp::WaitForThread(t, kHang), kvp::WaitResult::kSignaled);
    EXPECT_TRUE(h.took);
}

// Hundreds of threads at once (a server's transfers) must not run out of descriptors:
// threads and events hold none, whether they run, wait for an event or sleep.
TEST(ThreadResources, ThreadsAndEventsHoldNoDescriptors) {
    const int before = kvtest::OpenDescriptors();
    if (before < 0) GTEST_SKIP() << "the system does not list open descriptors";
    struct Waiter {
        kvp::EventHandle go = kvp::CreateEventA(true, false, nullptr);
        kvp::EventHandle started = kvp::CreateEventA(false, false, nullptr);
        static uint32_t Wait(void* arg) {
            auto* self = static_cast<Waiter*>(arg);
            kvp::SetEvent(self->started);
            return kvp::WaitForEvent(self->go, kHang) == kvp::WaitResult::kSignaled ? 0 : 1;
        }
        static uint32_t Doze(void* arg) {
            kvp::SetEvent(static_cast<Waiter*>(arg)->started);
            kvp::Sleep(kvp::kInfinite);
            return 0;
        }
    };
    constexpr int kThreads = 64;
    std::vector<Waiter> waiters(2 * kThreads);
    std::vector<kvp::ThreadHandle> threads;
    for (int i = 0; i < 2 * kThreads; ++i) {
        threads.push_back(
            kvp::CreateThread(i < kThreads ? Waiter::Wait : Waiter::Doze, &waiters[i]));
        ASSERT_TRUE(threads.back());
        ASSERT_EQ(kvp::WaitForEvent(waiters[i].started, kHang), kvp::WaitResult::kSignaled);
    }
    EXPECT_EQ(kvtest::OpenDescriptors(), before);
    for (int i = 0; i < 2 * kThreads; ++i) {
        if (i < kThreads) {
            kvp::SetEvent(waiters[i].go);
        } else {
            EXPECT_TRUE(kvp::TerminateThread(threads[i], 0));
        }
        EXPECT_EQ(kvp::WaitForThread(threads[i], kHang), kvp::WaitResult::kSignaled);
        uint32_t code = 1;
        EXPECT_TRUE(kvp::GetExitCodeThread(threads[i], &code));
        EXPECT_EQ(code, 0u);
    }
    EXPECT_EQ(kvtest::OpenDescriptors(), before);
}

TEST(Sleep, SuspendedSleeperIsHeldPastItsTime) {
    struct S {
        static uint32_t Run(void*) {
            kvp::Sleep(20);
            return 3;
        }
    };
    kvp::ThreadHandle t = kvp::CreateThread(S::Run, nullptr);
    ASSERT_TRUE(t);
    EXPECT_EQ(kvp::SuspendThread(t), 0);
    EXPECT_EQ(kvp::WaitForThread(t, kQuiet), kvp::WaitResult::kTimeout);
    EXPECT_EQ(kvp::ResumeThread(t), 1);
    EXPECT_EQ(kvp::WaitForThread(t, kHang), kvp::WaitResult::kSignaled);
}

}  // namespace
