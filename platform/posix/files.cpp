// Whole-file operations in the shape of the Windows ones.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "kv/paths.h"
#include "posix_io.h"
#include "win_names.h"

namespace kvp {

namespace {

// The path as given when something is there, else its local name.
std::string ExistingName(const char* path) {
    struct stat st {};
    if (::stat(path, &st) == 0) return path;
    return internal::LinuxFileName(path);
}

using internal::Fd;

}  // namespace

unsigned GetSystemDirectoryA(char* buf, unsigned size) {
    std::string dir;
    if (!internal::StateSubdir("system", true, &dir)) return 0;
    if (buf == nullptr || dir.size() + 1 > size) {
        errno = ERANGE;
        return 0;
    }
    std::memcpy(buf, dir.c_str(), dir.size() + 1);
    return static_cast<unsigned>(dir.size());
}

bool CopyFileA(const char* from, const char* to, bool failIfExists) {
    if (from == nullptr || to == nullptr) {
        errno = EINVAL;
        return false;
    }
    Fd in(::open(ExistingName(from).c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return false;
    struct stat st {};
    if (::fstat(in.get(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    // Written beside the target and renamed over it, so that a reader never sees half a
    // file and a failed copy leaves the old one in place.
    const std::string target = internal::LinuxFileName(to);
    if (failIfExists && ::access(target.c_str(), F_OK) == 0) {
        errno = EEXIST;
        return false;
    }
    std::string temp;
    Fd out(internal::CreateTempBeside(target, st.st_mode & 0777, &temp));
    if (out.get() < 0) return false;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(in.get(), buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            ::unlink(temp.c_str());
            errno = err;
            return false;
        }
        if (!internal::WriteAll(out.get(), buf, static_cast<size_t>(n))) {
            const int err = errno;
            ::unlink(temp.c_str());
            errno = err;
            return false;
        }
    }
    if (::close(out.release()) != 0 || ::rename(temp.c_str(), target.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        errno = err;
        return false;
    }
    return true;
}

bool DeleteFileA(const char* path) {
    if (path == nullptr) {
        errno = EINVAL;
        return false;
    }
    return ::unlink(ExistingName(path).c_str()) == 0;
}

}  // namespace kvp
