// The registry stand-in's store. Every call reads the hive file afresh under a shared
// lock; every change is a read-modify-write under an exclusive lock that writes a
// temporary file, syncs it and renames it over the hive, so readers and a process killed
// mid-write only ever leave the old or the new file behind.
#include "registry_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include "kv/debug.h"
#include "kv/errors.h"
#include "posix_io.h"

namespace kvp::internal {

namespace {

long ErrnoToResult(int err) {
    if (err == EACCES || err == EPERM || err == EROFS) return kErrorAccessDenied;
    return kErrorRegistryIo;
}

std::string HivePath(const std::string& dir, int hive) {
    return dir + "/" + kHiveNames[hive] + ".reg";
}

// Opens the hive's lock file and takes the lock within the lock bound; -1 with errno set
// on failure (ETIMEDOUT when another process kept it).
int TakeLock(const std::string& dir, int hive, bool exclusive) {
    std::string path = dir + "/" + kHiveNames[hive] + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::fchmod(fd, 0600);
    if (fd < 0 && !exclusive) fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    if (!LockFdWithin(fd, exclusive ? LOCK_EX : LOCK_SH, LockWaitMs())) {
        int err = errno;
        ::close(fd);
        if (err == ETIMEDOUT) {
            char line[600];
            std::snprintf(line, sizeof line, "kvtftp: registry lock %s not granted in %d ms\n",
                          path.c_str(), LockWaitMs());
            OutputDebugStringA(line);
        }
        errno = err;
        return -1;
    }
    return fd;
}

// Reads the whole hive file; an absent file is an empty hive.
bool ReadHiveText(const std::string& dir, int hive, std::string* text) {
    text->clear();
    Fd fd(::open(HivePath(dir, hive).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT;
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        text->append(buf, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the hive file with the text: a new temporary file (created exclusively, so
// nothing standing at its name is followed), sync, rename, sync the directory.
bool StoreHiveText(const std::string& dir, int hive, const std::string& text) {
    std::string path = HivePath(dir, hive);
    std::string tmp;
    Fd fd(CreateTempBeside(path, 0600, &tmp));
    if (fd.get() < 0) return false;
    if (!WriteAll(fd.get(), text) || ::fsync(fd.get()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        return false;
    }
    if (::close(fd.release()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        return false;
    }
    Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (d.get() >= 0) ::fsync(d.get());
    return true;
}

}  // namespace

long LoadHive(int hive, Hive* out) {
    std::string dir;
    if (!StateSubdir("registry", false, &dir)) {
        if (errno != ENOENT) return ErrnoToResult(errno);
        // No registry yet: an empty hive.
        *out = ParseHive("", kHiveNames[hive]);
        return kErrorSuccess;
    }
    // Without a lock file (no right to create one) there is only a file that rename keeps
    // whole anyway; a lock that another process keeps fails the read.
    Fd lock(TakeLock(dir, hive, false));
    if (lock.get() < 0 && errno == ETIMEDOUT) return ErrnoToResult(errno);
    std::string text;
    if (!ReadHiveText(dir, hive, &text)) return ErrnoToResult(errno);
    *out = ParseHive(text, kHiveNames[hive]);
    return kErrorSuccess;
}

long ModifyHive(int hive, const std::function<long(Hive&, bool*)>& change) {
    std::string dir;
    if (!StateSubdir("registry", true, &dir)) return ErrnoToResult(errno);
    Fd lock(TakeLock(dir, hive, true));
    if (lock.get() < 0) return ErrnoToResult(errno);
    std::string text;
    // A hive that cannot be read must not be replaced by one holding only this change.
    if (!ReadHiveText(dir, hive, &text)) return ErrnoToResult(errno);
    Hive model = ParseHive(text, kHiveNames[hive]);
    bool changed = false;
    long r = change(model, &changed);
    if (r != kErrorSuccess || !changed) return r;
    if (!StoreHiveText(dir, hive, SerializeHive(model, kHiveNames[hive])))
        return ErrnoToResult(errno);
    return kErrorSuccess;
}

}  // namespace kvp::internal
