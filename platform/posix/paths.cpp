#include "kv/paths.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <pwd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

#include "console_internal.h"
#include "paths_internal.h"
#include "posix_io.h"

namespace kvp {

namespace {

std::string HomeDir() {
    const char* home = std::getenv("HOME");
    if (home && *home) return home;
    passwd pw{};
    passwd* result = nullptr;
    std::vector<char> buf(4096);
    if (::getpwuid_r(::geteuid(), &pw, buf.data(), buf.size(), &result) == 0 && result &&
        result->pw_dir) {
        return result->pw_dir;
    }
    return "/tmp";
}

// Turns a descriptor into a stream for a regular file only: a FIFO, device or directory
// is refused (the descriptor was opened with O_NONBLOCK, so opening one never blocked).
std::FILE* StreamForRegular(int fd, const char* mode) {
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) < 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return nullptr;
    }
    int fl = ::fcntl(fd, F_GETFL);
    if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
    std::FILE* f = ::fdopen(fd, mode);
    if (!f) {
        int err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}

// Opens a regular file through a descriptor first, so that a FIFO or device is refused
// without blocking in open (O_NONBLOCK) and before any stream exists.
std::FILE* OpenRegular(const char* path, int flags, const char* mode) {
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK, 0666);
    } while (fd < 0 && errno == EINTR);
    return StreamForRegular(fd, mode);
}

// openat2 with RESOLVE_BENEATH: the kernel refuses any step that leaves the directory
// (parent references above it, absolute names, links pointing out); -1 with ENOSYS where
// the kernel (or a sandbox) lacks the call.
int OpenBeneathKernel(int dirfd, const char* rel, int flags) {
#ifdef SYS_openat2
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & O_CREAT) != 0 ? 0666 : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, dirfd, rel, &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    return static_cast<int>(fd);
#else
    (void)dirfd;
    (void)rel;
    (void)flags;
    errno = ENOSYS;
    return -1;
#endif
}

// Opens rel below the directory dirfd one step at a time, following no link at all and
// refusing "..": for where the kernel cannot confine a path walk itself.
int OpenBeneathByComponents(int dirfd, const char* rel, int flags) {
    std::vector<std::string> parts;
    std::string cur;
    for (const char* p = rel;; ++p) {
        if (*p == '/' || *p == '\0') {
            if (cur == "..") {
                errno = EXDEV;
                return -1;
            }
            if (!cur.empty() && cur != ".") parts.push_back(cur);
            cur.clear();
            if (*p == '\0') break;
        } else {
            cur.push_back(*p);
        }
    }
    // Every step is opened without following a link, so nothing can lead outside.
    int at = dirfd;
    int owned = -1;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        const int next =
            ::openat(at, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const int err = errno;
        if (owned >= 0) ::close(owned);
        if (next < 0) {
            errno = err;
            return -1;
        }
        at = owned = next;
    }
    const char* last = parts.empty() ? "." : parts.back().c_str();
    int fd;
    do {
        fd = ::openat(at, last, flags | O_NOFOLLOW, 0666);
    } while (fd < 0 && errno == EINTR);
    const int err = errno;
    if (owned >= 0) ::close(owned);
    errno = err;
    return fd;
}

int OpenBeneath(int dirfd, const char* rel, int flags, bool kernelWalk) {
    // An empty name is the root itself.
    if (*rel == '\0') rel = ".";
    if (kernelWalk) {
        const int fd = OpenBeneathKernel(dirfd, rel, flags);
        if (fd >= 0 || (errno != ENOSYS && errno != EPERM)) return fd;
    }
    // Without the kernel's help no link is followed at all: stricter, never looser.
    return OpenBeneathByComponents(dirfd, rel, flags);
}

std::FILE* OpenBelow(const char* root, const char* name, BelowMode mode, bool kernelWalk) {
    if (!root || !*root || !name) {
        errno = EINVAL;
        return nullptr;
    }
    int flags = O_RDONLY;
    const char* stream = "rb";
    if (mode == BelowMode::kWriteTruncate) {
        flags = O_WRONLY | O_CREAT | O_TRUNC;
        stream = "wb";
    } else if (mode == BelowMode::kWriteNew) {
        // O_EXCL also refuses a link standing at the name, dangling or not.
        flags = O_WRONLY | O_CREAT | O_EXCL;
        stream = "wb";
    }
    const int dir = ::open(root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return nullptr;
    while (*name == '/') ++name;
    const int fd = OpenBeneath(dir, name, flags | O_CLOEXEC | O_NONBLOCK, kernelWalk);
    const int err = errno;
    ::close(dir);
    errno = err;
    return StreamForRegular(fd, stream);
}

// A name for a staged file: the prefix and 16 hex digits, random where the system gives
// randomness, else unique within the process and hard to guess from outside.
std::string StagedName() {
    static std::atomic<uint64_t> counter{0};
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        bits = (static_cast<uint64_t>(ts.tv_nsec) << 20) ^ static_cast<uint64_t>(ts.tv_sec) ^
               (static_cast<uint64_t>(::getpid()) << 40) ^
               (counter.fetch_add(1) * 0x9E3779B97F4A7C15u);
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    return std::string(kStagedNamePrefix) + hex;
}

// Why the directory at path may not hold the suite's state ("" when it may): another
// user could change or replace what the suite reads and writes there.
std::string StateDirProblem(const std::string& path, const struct stat& st) {
    char why[160] = "";
    const uid_t me = ::geteuid();
    if (S_ISLNK(st.st_mode))
        std::snprintf(why, sizeof why, "is a symbolic link");
    else if (!S_ISDIR(st.st_mode))
        std::snprintf(why, sizeof why, "is not a directory");
    else if (st.st_uid != me)
        std::snprintf(why, sizeof why, "is owned by uid %u, not by this user (%u)",
                      static_cast<unsigned>(st.st_uid), static_cast<unsigned>(me));
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        std::snprintf(why, sizeof why, "is writable by group or others (mode %04o)",
                      static_cast<unsigned>(st.st_mode & 07777));
    if (!*why) return {};
    return "kvtftp: state directory " + path + " " + why + "; refusing to use it";
}

// Reports a refusal on standard error, once for as long as it stays the latest one, so a
// program that polls does not repeat it on every call.
void ReportRefusal(const std::string& message) {
    static std::mutex mu;
    static char last[1024] = "";
    std::lock_guard<std::mutex> lock(mu);
    if (std::strncmp(last, message.c_str(), sizeof last - 1) == 0) return;
    std::snprintf(last, sizeof last, "%s", message.c_str());
    const std::string line =
        internal::ConsoleText((message + "\n").c_str(), internal::kConsoleError);
    internal::WriteAll(STDERR_FILENO, line.data(), line.size());
}

// Makes the directory owner-only: mkdir's mode is cut by the umask, so it is set again
// on the directory just made (opened without following a link).
bool MakeOwnerOnlyDir(const std::string& path) {
    if (::mkdir(path.c_str(), 0700) != 0) return errno == EEXIST;
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fchmod(fd, 0700) == 0;
    const int err = errno;
    ::close(fd);
    errno = err;
    return ok;
}

// Checks (and with create makes) one directory of the state; the message of a refusal
// in *problem.
bool CheckStateDir(const std::string& given, bool create, bool parents, std::string* problem) {
    // A trailing slash would make lstat follow a link at the name.
    std::string path = given;
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        if (errno != ENOENT || !create) return false;
        if (parents) {
            // Missing parents are the user's, made owner-only as the state itself.
            for (size_t slash = path.find('/', 1); slash != std::string::npos;
                 slash = path.find('/', slash + 1)) {
                if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST)
                    return false;
            }
        }
        if (!MakeOwnerOnlyDir(path) || ::lstat(path.c_str(), &st) != 0) return false;
    }
    *problem = StateDirProblem(path, st);
    if (problem->empty()) return true;
    errno = S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode) ? EACCES : ENOTDIR;
    return false;
}

std::atomic<int> g_lock_wait_ms{internal::kLockWaitMs};

}  // namespace

// No descriptor is kept for the directory (an upload costs its file and its socket, no
// more): it is found again below the root, with the same confinement, to commit or
// remove the temporary file.
struct StagedFile::State {
    std::FILE* file = nullptr;
    std::string root;
    std::string parent;
    std::string temp;
    std::string target;
    bool replace = false;
};

namespace {

int OpenStagedDir(const std::string& root, const std::string& parent) {
    internal::Fd rootDir(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (rootDir.get() < 0) return -1;
    return OpenBeneath(rootDir.get(), parent.c_str(),
                       O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK, true);
}

}  // namespace

StagedFile::StagedFile() : s_(new State) {}

StagedFile::~StagedFile() {
    Discard();
}

std::FILE* StagedFile::get() const {
    return s_->file;
}

bool StagedFile::Open(const char* root, const char* name, bool replace) {
    Discard();
    if (!root || !*root || !name) {
        errno = EINVAL;
        return false;
    }
    while (*name == '/') ++name;
    const char* slash = std::strrchr(name, '/');
    const std::string parent = slash ? std::string(name, static_cast<size_t>(slash - name)) : "";
    const std::string last = slash ? slash + 1 : name;
    if (last.empty() || last == "." || last == "..") {
        errno = EISDIR;
        return false;
    }
    internal::Fd dir(OpenStagedDir(root, parent));
    if (dir.get() < 0) return false;
    // What stands at the name now: it decides the refusals and the mode of the new file.
    struct stat st {};
    mode_t keepMode = 0;
    if (::fstatat(dir.get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (!replace) {
            errno = EEXIST;
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            // A link would be replaced, not written through: refused, as a directory is.
            errno = S_ISDIR(st.st_mode) ? EISDIR : S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
            return false;
        }
        keepMode = st.st_mode & 0777;
    } else if (errno != ENOENT) {
        return false;
    }
    int fd = -1;
    std::string temp;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        temp = StagedName();
        do {
            fd = ::openat(dir.get(), temp.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    // A replaced file's permissions carry over; a new one has what the umask leaves.
    if (keepMode != 0) (void)::fchmod(fd, keepMode);
    std::FILE* f = ::fdopen(fd, "wb");
    if (!f) {
        const int err = errno;
        ::close(fd);
        ::unlinkat(dir.get(), temp.c_str(), 0);
        errno = err;
        return false;
    }
    s_->file = f;
    s_->root = root;
    s_->parent = parent;
    s_->temp = temp;
    s_->target = last;
    s_->replace = replace;
    return true;
}

bool StagedFile::Commit() {
    if (!s_->file) {
        errno = EBADF;
        return false;
    }
    std::FILE* f = std::exchange(s_->file, nullptr);
    bool ok = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    int err = errno;
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        err = errno;
    }
    internal::Fd dir(ok ? OpenStagedDir(s_->root, s_->parent) : -1);
    if (ok && dir.get() < 0) {
        ok = false;
        err = errno;
    }
    if (ok) {
        const int d = dir.get();
        if (s_->replace) {
            ok = ::renameat(d, s_->temp.c_str(), d, s_->target.c_str()) == 0;
        } else {
            ok = ::renameat2(d, s_->temp.c_str(), d, s_->target.c_str(), RENAME_NOREPLACE) == 0;
            // A file system without the flag: a new hard link fails just as well when
            // the name is taken.
            if (!ok && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
                ok = ::linkat(d, s_->temp.c_str(), d, s_->target.c_str(), 0) == 0;
                if (ok) ::unlinkat(d, s_->temp.c_str(), 0);
            }
        }
        err = errno;
    }
    if (ok) s_->temp.clear();
    Discard();
    errno = err;
    return ok;
}

void StagedFile::Discard() {
    const int err = errno;
    if (s_->file) std::fclose(std::exchange(s_->file, nullptr));
    if (!s_->temp.empty()) {
        internal::Fd dir(OpenStagedDir(s_->root, s_->parent));
        if (dir.get() >= 0) ::unlinkat(dir.get(), s_->temp.c_str(), 0);
        s_->temp.clear();
    }
    errno = err;
}

bool GetStreamFileSize(std::FILE* f, uint64_t* size) {
    struct stat st {};
    if (f == nullptr || ::fstat(::fileno(f), &st) != 0 || st.st_size < 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool GetDiskSpace(const char* path, uint64_t* available, uint64_t* total) {
    struct statvfs vfs {};
    if (!path || ::statvfs(path, &vfs) != 0) return false;
    if (available) *available = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    if (total) *total = static_cast<uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    return true;
}

std::string StateDir() {
    const char* dir = std::getenv("KVTFTP_STATE_DIR");
    if (dir && *dir) return dir;
    if (::geteuid() == 0) return "/var/lib/kvtftp";
    const char* xdg = std::getenv("XDG_STATE_HOME");
    // The XDG rules ignore a relative value.
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/kvtftp";
    return HomeDir() + "/.local/state/kvtftp";
}

unsigned GetCurrentDirectoryA(char* buf, unsigned size) {
    std::vector<char> tmp(4096);
    while (!::getcwd(tmp.data(), tmp.size())) {
        if (errno != ERANGE || tmp.size() >= (1u << 20)) return 0;
        tmp.resize(tmp.size() * 2);
    }
    const size_t len = std::strlen(tmp.data());
    if (!buf || len + 1 > size) {
        errno = ERANGE;
        return 0;
    }
    std::memcpy(buf, tmp.data(), len + 1);
    return static_cast<unsigned>(len);
}

bool PathExists(const char* path) {
    struct stat st {};
    return path && ::stat(path, &st) == 0;
}

std::FILE* OpenFileForRead(const char* path) {
    return OpenRegular(path, O_RDONLY, "rb");
}

std::FILE* OpenFileForWrite(const char* path) {
    return OpenRegular(path, O_WRONLY | O_CREAT | O_TRUNC, "wb");
}

std::FILE* OpenFileBelow(const char* root, const char* name, BelowMode mode) {
    return OpenBelow(root, name, mode, true);
}

bool PrepareStateDir(std::string* error) {
    std::string path, problem;
    if (CheckStateDir(StateDir(), true, true, &problem)) return true;
    if (error) {
        *error = problem;
        if (problem.empty())
            *error = "kvtftp: cannot create the state directory " + StateDir() + ": " +
                     std::strerror(errno);
    }
    return false;
}

bool IsAlreadyExistsError(int err) {
    return err == EEXIST;
}

}  // namespace kvp

namespace kvp::internal {

std::FILE* OpenFileBelowStepwise(const char* root, const char* name, BelowMode mode) {
    return OpenBelow(root, name, mode, false);
}

bool MakeDirs(const std::string& path) {
    size_t i = 0;
    while (i <= path.size()) {
        size_t slash = path.find('/', i);
        if (slash == std::string::npos) slash = path.size();
        std::string cur = path.substr(0, slash);
        i = slash + 1;
        if (cur.empty()) continue;
        if (::mkdir(cur.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return true;
}

}  // namespace kvp::internal

namespace kvp::internal {

bool StateSubdir(const char* sub, bool create, std::string* path) {
    const std::string dir = StateDir();
    std::string problem;
    bool ok = CheckStateDir(dir, create, true, &problem);
    *path = dir;
    if (ok && sub && *sub) {
        *path = dir + "/" + sub;
        ok = CheckStateDir(*path, create, false, &problem);
    }
    if (!ok && !problem.empty()) {
        const int err = errno;
        ReportRefusal(problem);
        errno = err;
    }
    return ok;
}

int CreateTempBeside(const std::string& target, unsigned mode, std::string* temp) {
    static const char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char rnd[6] = {};
        if (::getrandom(rnd, sizeof rnd, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof rnd)) {
            // Unique enough without the pool: the exclusive create settles any clash.
            const auto t = std::chrono::steady_clock::now().time_since_epoch().count();
            const unsigned long long mix = static_cast<unsigned long long>(t) ^
                                           (static_cast<unsigned long long>(::getpid()) << 20) ^
                                           (counter.fetch_add(1) * 2654435761u);
            for (size_t i = 0; i < sizeof rnd; ++i)
                rnd[i] = static_cast<unsigned char>(mix >> (8 * i));
        }
        std::string name = target + ".";
        for (unsigned char c : rnd) name.push_back(kDigits[c % 36]);
        int fd;
        do {
            fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        } while (fd < 0 && errno == EINTR);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return -1;
        }
        if (::fchmod(fd, static_cast<mode_t>(mode & 0777)) != 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(name.c_str());
            errno = err;
            return -1;
        }
        *temp = name;
        return fd;
    }
    errno = EEXIST;
    return -1;
}

int LockWaitMs() {
    return g_lock_wait_ms.load();
}

void SetLockWaitMsForTests(int ms) {
    g_lock_wait_ms.store(ms);
}

bool LockFdWithin(int fd, int op, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    long pause_us = 1000;
    for (;;) {
        if (::flock(fd, op | LOCK_NB) == 0) return true;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            errno = ETIMEDOUT;
            return false;
        }
        // Short at first, since a holder usually lets go within milliseconds.
        const timespec pause{0, pause_us * 1000};
        ::nanosleep(&pause, nullptr);
        if (pause_us < 50000) pause_us *= 2;
    }
}

}  // namespace kvp::internal
