// The status the manager answers: the dispatcher writes every status the service reports
// to <name>.status (one line of the seven fields, replaced atomically), so that a query
// never waits for a handler that is busy; the host lock tells whether the dispatcher
// still lives.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "posix_io.h"
#include "service_internal.h"

namespace kvp::internal {

namespace {

bool ReadStatusFile(const std::string& name, ServiceStatus* s) {
    std::string dir;
    if (!StateSubdir("run", false, &dir)) return false;
    Fd fd(::open(RunFile(name, ".status").c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return false;
    char buf[256];
    ssize_t n;
    do {
        n = ::read(fd.get(), buf, sizeof buf - 1);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    buf[n] = '\0';
    unsigned v[7];
    if (std::sscanf(buf, "%u %u %u %u %u %u %u", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6]) !=
        7)
        return false;
    *s = ServiceStatus{v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
    return true;
}

}  // namespace

bool WriteStatusFile(const std::string& name, const ServiceStatus& s) {
    char line[128];
    const int len = std::snprintf(line, sizeof line, "%u %u %u %u %u %u %u\n", s.serviceType,
                                  s.currentState, s.controlsAccepted, s.win32ExitCode,
                                  s.serviceSpecificExitCode, s.checkPoint, s.waitHint);
    const std::string path = RunFile(name, ".status");
    std::string dir, tmp;
    if (!StateSubdir("run", true, &dir)) return false;
    Fd fd(CreateTempBeside(path, 0600, &tmp));
    if (fd.get() < 0) return false;
    if (!WriteAll(fd.get(), line, static_cast<size_t>(len)) || ::close(fd.release()) != 0 ||
        ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        return false;
    }
    return true;
}

bool CurrentStatus(const std::string& name, ServiceStatus* status) {
    ServiceStatus last;
    const bool have = ReadStatusFile(name, &last);
    if (HostAlive(name)) {
        // A dispatcher writes its first status right after taking the host lock.
        if (!have) last = ServiceStatus{kServiceWin32OwnProcess, kServiceStartPending};
        *status = last;
        return true;
    }
    *status = ServiceStatus{};
    status->serviceType = have ? last.serviceType : kServiceWin32OwnProcess;
    status->currentState = kServiceStopped;
    status->win32ExitCode = have ? last.win32ExitCode : kErrorServiceNeverStarted;
    status->serviceSpecificExitCode = have ? last.serviceSpecificExitCode : 0;
    return false;
}

}  // namespace kvp::internal
