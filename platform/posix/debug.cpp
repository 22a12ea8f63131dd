#include "kv/debug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "console_internal.h"
#include "posix_io.h"

namespace kvp::internal {

bool ConsoleIsJournal() {
    // systemd names the stream it connected (device:inode); standard error is the
    // journal only while it is still that stream, not a file or pipe it was sent to since.
    const char* v = std::getenv("JOURNAL_STREAM");
    unsigned long long dev = 0, ino = 0;
    if (!v || std::sscanf(v, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
           static_cast<unsigned long long>(st.st_ino) == ino;
}

std::string ConsoleText(const char* text, int priority) {
    if (!ConsoleIsJournal()) return text;
    char prefix[8];
    std::snprintf(prefix, sizeof prefix, "<%d>", priority);
    std::string out;
    for (const char* p = text; *p;) {
        const char* end = std::strchr(p, '\n');
        const size_t len = end ? static_cast<size_t>(end - p) + 1 : std::strlen(p);
        out.append(prefix).append(p, len);
        p += len;
    }
    return out;
}

}  // namespace kvp::internal

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
        // What programs say of their failures: a warning for the journal.
        const std::string shown = internal::ConsoleText(text, internal::kConsoleWarning);
        internal::WriteAll(STDERR_FILENO, shown.data(), shown.size());
    }
    errno = saved;
}

void WriteConsoleLine(const char* text) {
    if (!text) return;
    const int saved = errno;
    if (internal::ConsoleIsJournal()) {
        // The journal stamps each line itself; the server's log lines are information.
        const std::string line = internal::ConsoleText(text, internal::kConsoleInfo) + "\n";
        internal::WriteAll(STDERR_FILENO, line.data(), line.size());
        errno = saved;
        return;
    }
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
