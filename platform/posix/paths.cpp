#include "kv/paths.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

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

}  // namespace

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

}  // namespace kvp

namespace kvp::internal {

bool MakeDirs(const std::string& path) {
    size_t i = 0;
    while (i <= path.size()) {
        size_t slash = path.find('/', i);
        if (slash == std::string::npos) slash = path.size();
        std::string cur = path.substr(0, slash);
        i = slash + 1;
        if (cur.empty()) continue;
        if (::mkdir(cur.c_str(), 0755) != 0 && errno != EEXIST) return false;
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
