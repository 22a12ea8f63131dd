#include "kv/debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "posix_io.h"

namespace kvp {

void OutputDebugStringA(const char* text) {
    if (!text) return;
    const int saved = errno;
    const size_t len = std::strlen(text);
    // Read each time: tests point the variable at a file of their own per process.
    const char* path = std::getenv("KVTFTP_DEBUG_LOG");
    int fd = -1;
    if (path && *path) fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        internal::WriteAll(fd, text, len);
        ::close(fd);
    } else {
        internal::WriteAll(STDERR_FILENO, text, len);
    }
    errno = saved;
}

void WriteConsoleLine(const char* text) {
    if (!text) return;
    const int saved = errno;
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    struct tm local {};
    if (::localtime_r(&now, &local) != nullptr)
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    // One write per line, so that lines of concurrent transfers never interleave.
    std::string line = stamp;
    line += text;
    line += '\n';
    internal::WriteAll(STDERR_FILENO, line.data(), line.size());
    errno = saved;
}

}  // namespace kvp
