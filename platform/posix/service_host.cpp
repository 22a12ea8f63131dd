// The service's side: the dispatcher that StartServiceCtrlDispatcherA and
// RunServiceInForeground run on the calling thread. It holds the service's host lock for
// its whole life, serves the control socket, runs the service main on a thread of its
// own and the control handler on the calling thread, one control at a time, and writes
// every status the service reports to the status file, where queries read it without
// waiting for a handler.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "kv/errors.h"
#include "kv/process.h"
#include "posix_io.h"
#include "service_internal.h"

namespace kvp {

// The status handle is the dispatcher's record of its service.
struct ServiceStatusHandleState {
    std::string name;
    ServiceMainProc main = nullptr;
    std::vector<std::string> args;  // the service name first
    std::vector<char*> argv;
    std::mutex mu;  // guards what follows
    ServiceStatus status;
    HandlerProc handler = nullptr;
    bool ended = false;  // the dispatcher has returned: no more status reports
    int wake_fd = -1;    // poked on every status report, so the dispatcher looks again
};

namespace {

// How long a started dispatcher waits for the start arguments.
constexpr int kStartArgsMs = 5000;
constexpr size_t kMaxStartArgBytes = 32768;

std::mutex g_hosts_mu;
// Every status handle ever given out stays valid (a service's threads may report after
// its dispatcher has returned, and are refused then); only one dispatcher runs at a time.
std::vector<ServiceStatusHandleState*>* g_hosts = nullptr;
ServiceStatusHandleState* g_active = nullptr;

bool IsHost(ServiceStatusHandleState* h) {
    std::lock_guard<std::mutex> lock(g_hosts_mu);
    if (!g_hosts) return false;
    for (ServiceStatusHandleState* x : *g_hosts)
        if (x == h) return true;
    return false;
}

// ---- signals: handlers write the signal's number into a pipe the dispatcher polls ----

volatile sig_atomic_t g_signal_fd = -1;
const int kRoutedSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int sig) {
    const int saved = errno;
    const unsigned char b = static_cast<unsigned char>(sig);
    if (g_signal_fd >= 0) {
        ssize_t n = ::write(g_signal_fd, &b, 1);
        (void)n;
    }
    errno = saved;
}

class SignalRoute {
  public:
    SignalRoute(const SignalRoute&) = delete;
    SignalRoute& operator=(const SignalRoute&) = delete;
    SignalRoute() = default;
    ~SignalRoute() { Restore(); }

    bool Install() {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
        read_.reset(fds[0]);
        write_.reset(fds[1]);
        g_signal_fd = write_.get();
        struct sigaction act {};
        act.sa_handler = OnSignal;
        act.sa_flags = SA_RESTART;
        sigemptyset(&act.sa_mask);
        sigset_t set;
        sigemptyset(&set);
        for (size_t i = 0; i < std::size(kRoutedSignals); ++i) {
            sigaction(kRoutedSignals[i], &act, &old_[i]);
            sigaddset(&set, kRoutedSignals[i]);
        }
        // A program may have blocked them (to wait for them itself); this thread takes them.
        pthread_sigmask(SIG_UNBLOCK, &set, &old_mask_);
        installed_ = true;
        return true;
    }

    void Restore() {
        if (!installed_) return;
        installed_ = false;
        for (size_t i = 0; i < std::size(kRoutedSignals); ++i)
            sigaction(kRoutedSignals[i], &old_[i], nullptr);
        pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
        g_signal_fd = -1;
        read_.reset();
        write_.reset();
    }

    int fd() const { return read_.get(); }

  private:
    bool installed_ = false;
    internal::Fd read_;
    internal::Fd write_;
    struct sigaction old_[std::size(kRoutedSignals)]{};
    sigset_t old_mask_{};
};

// ---- the dispatcher ----------------------------------------------------------------

class Dispatcher {
  public:
    Dispatcher(ServiceStatusHandleState* host, bool foreground)
        : host_(host), foreground_(foreground) {}
    Dispatcher(const Dispatcher&) = delete;
    Dispatcher& operator=(const Dispatcher&) = delete;
    ~Dispatcher() { Close(); }

    // Takes the host lock and opens the control socket; a Windows code.
    long Open() {
        {
            std::lock_guard<std::mutex> lock(g_hosts_mu);
            if (g_active) return kErrorServiceAlreadyRunning;
            g_active = host_;
            active_ = true;
        }
        const std::string& name = host_->name;
        internal::Fd lock(internal::OpenLockFile(internal::RunFile(name, ".host")));
        if (lock.get() < 0) return errno;
        if (!internal::LockFile(lock.get(), 0))
            return errno == EAGAIN ? kErrorServiceAlreadyRunning : errno;
        lock_.reset(lock.release());
        host_->status = ServiceStatus{kServiceWin32OwnProcess, kServiceStartPending};
        if (!internal::WriteStatusFile(name, host_->status)) return errno;
        // The signals are routed before the control socket appears: whoever sees the
        // socket may stop the host with SIGTERM, which must then end it cleanly.
        host_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (host_->wake_fd < 0 || !signals_.Install()) return errno;
        listen_.reset(internal::ListenControlSocket(name));
        if (listen_.get() < 0) return errno;
        return kErrorSuccess;
    }

    long StartMain() {
        try {
            std::thread([h = host_] {
                h->main(static_cast<uint32_t>(h->args.size()), h->argv.data());
            }).detach();
        } catch (const std::system_error&) {
            Report(ServiceStatus{kServiceWin32OwnProcess, kServiceStopped, 0,
                                 static_cast<uint32_t>(kErrorServiceNoThread)});
            return kErrorServiceNoThread;
        }
        return kErrorSuccess;
    }

    // Serves controls until the service has reported stopped.
    void Serve() {
        while (!Stopped()) {
            pollfd fds[3] = {{listen_.get(), POLLIN, 0},
                             {signals_.fd(), POLLIN, 0},
                             {host_->wake_fd, POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[2].revents) {
                uint64_t v;
                ssize_t n = ::read(host_->wake_fd, &v, sizeof v);
                (void)n;
            }
            if (fds[1].revents) TakeSignals();
            DeliverSignals();
            if (fds[0].revents & POLLIN) ServeOne();
        }
    }

    // Gives up the socket, the signals and, last, the host lock; removes a record that
    // was marked for deletion while the service ran.
    void Close() {
        if (listen_.get() >= 0) {
            listen_.reset();
            ::unlink(internal::RunFile(host_->name, ".sock").c_str());
        }
        signals_.Restore();
        {
            std::lock_guard<std::mutex> lock(host_->mu);
            host_->ended = true;
            if (host_->wake_fd >= 0) ::close(host_->wake_fd);
            host_->wake_fd = -1;
        }
        if (lock_.get() >= 0) {
            internal::ServiceRecord rec;
            if (internal::ReadRecord(host_->name, &rec) == kErrorSuccess && rec.markedForDelete)
                internal::RemoveRecord(rec.name);
            lock_.reset();
        }
        if (active_) {
            std::lock_guard<std::mutex> lock(g_hosts_mu);
            g_active = nullptr;
            active_ = false;
        }
    }

  private:
    bool Stopped() {
        std::lock_guard<std::mutex> lock(host_->mu);
        return host_->status.currentState == kServiceStopped;
    }

    void Report(const ServiceStatus& s) {
        std::lock_guard<std::mutex> lock(host_->mu);
        host_->status = s;
        internal::WriteStatusFile(host_->name, s);
    }

    // Whether the service takes the control now: kErrorSuccess or the refusal.
    long Admit(uint32_t control, HandlerProc* handler) {
        std::lock_guard<std::mutex> lock(host_->mu);
        const ServiceStatus& s = host_->status;
        if (s.currentState == kServiceStopped) return kErrorServiceNotActive;
        if (s.currentState == kServiceStartPending || s.currentState == kServiceStopPending ||
            !host_->handler)
            return kErrorServiceCannotAcceptCtrl;
        *handler = host_->handler;
        // Interrogation and the user-defined codes always reach the handler.
        if (control == kServiceControlInterrogate || (control >= 128 && control <= 255))
            return kErrorSuccess;
        uint32_t needed = 0;
        switch (control) {
            case kServiceControlStop:
                needed = kServiceAcceptStop;
                break;
            case kServiceControlPause:
            case kServiceControlContinue:
                needed = kServiceAcceptPauseContinue;
                break;
            case kServiceControlShutdown:
                needed = kServiceAcceptShutdown;
                break;
            case kServiceControlParamChange:
                needed = kServiceAcceptParamChange;
                break;
        }
        if (!needed || !(s.controlsAccepted & needed)) return kErrorInvalidServiceControl;
        return kErrorSuccess;
    }

    long Deliver(uint32_t control) {
        HandlerProc handler = nullptr;
        const long r = Admit(control, &handler);
        if (r == kErrorSuccess) handler(control);
        return r;
    }

    void ServeOne() {
        internal::Fd c(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        uint32_t control = 0;
        // Another user's connection is closed unanswered.
        if (c.get() < 0 || !internal::PeerMayControl(c.get()) ||
            !internal::ReadControlRequest(c.get(), &control))
            return;
        const long r = Deliver(control);
        ServiceStatus now;
        {
            std::lock_guard<std::mutex> lock(host_->mu);
            now = host_->status;
        }
        internal::WriteControlReply(c.get(), r, now);
    }

    void TakeSignals() {
        unsigned char sigs[16];
        ssize_t n;
        while ((n = ::read(signals_.fd(), sigs, sizeof sigs)) > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                if (sigs[i] == SIGHUP)
                    param_change_pending_ = true;
                else
                    termination_signal_ = sigs[i];
            }
        }
    }

    // A request that the service cannot take yet (it is start or stop pending) waits for
    // its next status report.
    void DeliverSignals() {
        if (param_change_pending_) {
            if (Deliver(kServiceControlParamChange) != kErrorServiceCannotAcceptCtrl)
                param_change_pending_ = false;
        }
        if (!termination_signal_) return;
        // In the foreground the operator stops the service; a managed one is told that
        // the system shuts down, as Windows tells its services.
        const long r = Deliver(foreground_ ? kServiceControlStop : kServiceControlShutdown);
        if (r == kErrorSuccess || r == kErrorServiceNotActive) {
            termination_signal_ = 0;
        } else if (r == kErrorInvalidServiceControl && !foreground_) {
            // Not taken: the process ends as the signal would have ended it.
            const int sig = termination_signal_;
            signals_.Restore();
            ::raise(sig);
        }
    }

    ServiceStatusHandleState* host_;
    bool foreground_;
    bool active_ = false;
    internal::Fd lock_;
    internal::Fd listen_;
    SignalRoute signals_;
    bool param_change_pending_ = false;
    int termination_signal_ = 0;
};

// The start arguments StartServiceA sends, and the socket to answer it on.
int TakeStartChannel(std::vector<std::string>* args) {
    const std::string var = GetEnv(internal::kServiceFdVar);
    ::unsetenv(internal::kServiceFdVar);
    char* end = nullptr;
    const long fd = std::strtol(var.c_str(), &end, 10);
    if (var.empty() || *end || fd < 3 || ::fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC) != 0)
        return -1;
    std::string blob(kMaxStartArgBytes, '\0');
    const ssize_t n =
        internal::ReadWithin(static_cast<int>(fd), blob.data(), blob.size(), kStartArgsMs);
    for (size_t i = 0; n > 0 && i < static_cast<size_t>(n);) {
        const size_t nul = blob.find('\0', i);
        if (nul == std::string::npos || nul >= static_cast<size_t>(n)) break;
        args->push_back(blob.substr(i, nul - i));
        i = nul + 1;
    }
    return static_cast<int>(fd);
}

bool RunDispatcher(const ServiceTableEntry* table, bool foreground) {
    if (!table || !table[0].serviceName || !table[0].serviceProc)
        return internal::FailWith(kErrorInvalidParameter);
    std::string name;
    if (foreground) {
        if (!internal::ValidServiceName(table[0].serviceName))
            return internal::FailWith(kErrorInvalidName);
        name = internal::KnownServiceName(table[0].serviceName);
        if (name.empty()) name = table[0].serviceName;
    } else {
        // As for an own-process service on Windows, the table's one entry runs under the
        // name the manager started.
        name = GetEnv(internal::kServiceNameVar);
        if (!internal::ValidServiceName(name.c_str()))
            return internal::FailWith(kErrorFailedServiceControllerConnect);
    }
    auto* host = new ServiceStatusHandleState;
    {
        std::lock_guard<std::mutex> lock(g_hosts_mu);
        if (!g_hosts) g_hosts = new std::vector<ServiceStatusHandleState*>;
        g_hosts->push_back(host);
    }
    host->name = name;
    host->main = table[0].serviceProc;
    host->args.push_back(name);
    internal::Fd channel(foreground ? -1 : TakeStartChannel(&host->args));
    for (std::string& a : host->args) host->argv.push_back(a.data());
    host->argv.push_back(nullptr);

    Dispatcher d(host, foreground);
    long r = d.Open();
    if (r == kErrorSuccess) r = d.StartMain();
    if (channel.get() >= 0) {
        const uint32_t word = static_cast<uint32_t>(r);
        ::send(channel.get(), &word, sizeof word, MSG_NOSIGNAL);
        channel.reset();
    }
    if (r != kErrorSuccess) {
        d.Close();
        return internal::FailWith(r);
    }
    d.Serve();
    d.Close();
    return true;
}

}  // namespace

bool StartServiceCtrlDispatcherA(const ServiceTableEntry* table) {
    return RunDispatcher(table, false);
}

bool RunServiceInForeground(const ServiceTableEntry* table) {
    return RunDispatcher(table, true);
}

ServiceStatusHandle RegisterServiceCtrlHandlerA(const char* /*serviceName*/, HandlerProc handler) {
    // An own-process service: the name is not looked at, as on Windows.
    std::lock_guard<std::mutex> lock(g_hosts_mu);
    if (!g_active) {
        internal::FailWith(kErrorServiceDoesNotExist);
        return nullptr;
    }
    if (!handler) {
        internal::FailWith(kErrorInvalidParameter);
        return nullptr;
    }
    std::lock_guard<std::mutex> host_lock(g_active->mu);
    g_active->handler = handler;
    return g_active;
}

bool SetServiceStatus(ServiceStatusHandle handle, const ServiceStatus* status) {
    if (!IsHost(handle)) return internal::FailWith(kErrorInvalidHandle);
    if (!status || status->currentState < kServiceStopped || status->currentState > kServicePaused)
        return internal::FailWith(kErrorInvalidParameter);
    std::lock_guard<std::mutex> lock(handle->mu);
    if (handle->ended) return internal::FailWith(kErrorInvalidHandle);
    handle->status = *status;
    const bool written = internal::WriteStatusFile(handle->name, *status);
    const int err = errno;
    const uint64_t one = 1;
    ssize_t n = ::write(handle->wake_fd, &one, sizeof one);
    (void)n;
    errno = err;
    return written;
}

}  // namespace kvp
