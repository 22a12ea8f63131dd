#include "kv/debug.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

}  // namespace kvp
