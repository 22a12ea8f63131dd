// Lock files of the service manager: the database lock, the starters' lock of each
// service and the lock its dispatcher holds for its whole life. They are Linux OFD
// locks, which belong to the open file as flock's do (released by close or by the end
// of the process, however it ends) but can also be tested without being taken: a status
// query that tested a flock by taking it could make a dispatcher starting at that moment
// believe another one runs.
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <unordered_set>

#include "kv/debug.h"
#include "kv/service.h"
#include "posix_io.h"
#include "service_internal.h"

namespace kvp {

struct ScLockState {
    int fd = -1;
};

namespace internal {

namespace {

std::string DatabaseLockPath() {
    return RunDir() + "/ServicesActive.lock";
}

struct flock WholeFile(short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return fl;
}

}  // namespace

int OpenLockFile(const std::string& path) {
    std::string dir;
    if (!StateSubdir("run", true, &dir)) return -1;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::fchmod(fd, 0600);
    return fd;
}

bool LockFile(int fd, int wait_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    long pause_us = 1000;
    struct flock fl = WholeFile(F_WRLCK);
    while (::fcntl(fd, F_OFD_SETLK, &fl) != 0) {
        if (errno == EINTR) continue;
        if (errno != EACCES && errno != EAGAIN) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            errno = wait_ms > 0 ? ETIMEDOUT : EAGAIN;
            return false;
        }
        // Polled: F_OFD_SETLKW has no time-out.
        const timespec pause{0, pause_us * 1000};
        ::nanosleep(&pause, nullptr);
        if (pause_us < 50000) pause_us *= 2;
    }
    return true;
}

bool TakeStartLock(const std::string& name, Fd* lock) {
    lock->reset(OpenLockFile(RunFile(name, ".start")));
    if (lock->get() < 0) return false;
    if (LockFile(lock->get(), StartLockWaitMs())) return true;
    if (errno != ETIMEDOUT) return false;
    char line[600];
    std::snprintf(line, sizeof line, "kvtftp: start lock of %s not granted in %d ms\n",
                  name.c_str(), StartLockWaitMs());
    OutputDebugStringA(line);
    return FailWith(kErrorServiceRequestTimeout);
}

bool IsLocked(const std::string& path) {
    std::string dir;
    if (!StateSubdir("run", false, &dir)) return false;
    Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return false;
    struct flock fl = WholeFile(F_WRLCK);
    return ::fcntl(fd.get(), F_OFD_GETLK, &fl) == 0 && fl.l_type != F_UNLCK;
}

bool HostAlive(const std::string& name) {
    return IsLocked(RunFile(name, ".host"));
}

bool DatabaseLocked() {
    return IsLocked(DatabaseLockPath());
}

}  // namespace internal

namespace {

std::mutex g_locks_mu;
std::unordered_set<ScLockState*>* g_locks = nullptr;  // while a lock is held

}  // namespace

ScLock LockServiceDatabase(ScHandle manager) {
    ScHandleState* h = internal::CheckHandle(manager, true);
    if (!h || !internal::HasAccess(h, kScManagerLock)) return nullptr;
    internal::Fd fd(internal::OpenLockFile(internal::DatabaseLockPath()));
    if (fd.get() < 0) return nullptr;
    if (!internal::LockFile(fd.get(), 0)) {
        if (errno == EAGAIN) internal::FailWith(kErrorServiceDatabaseLocked);
        return nullptr;
    }
    ScLock lock = new ScLockState{fd.release()};
    std::lock_guard<std::mutex> g(g_locks_mu);
    if (!g_locks) g_locks = new std::unordered_set<ScLockState*>;
    g_locks->insert(lock);
    return lock;
}

bool UnlockServiceDatabase(ScLock lock) {
    {
        std::lock_guard<std::mutex> g(g_locks_mu);
        if (!lock || !g_locks || g_locks->erase(lock) == 0)
            return internal::FailWith(kErrorInvalidServiceLock);
        // The last lock takes the set with it: a library that locked the database and
        // is unloaded leaves nothing behind that no one can reach.
        if (g_locks->empty()) {
            delete g_locks;
            g_locks = nullptr;
        }
    }
    ::close(lock->fd);
    delete lock;
    return true;
}

}  // namespace kvp
