#include "kv/debug.h"

#include <cstdio>
#include <string>

#include "win32.h"

namespace kvp {

void OutputDebugStringA(const char* text) {
    if (!text) return;
    const DWORD saved = ::GetLastError();
    ::OutputDebugStringA(text);
    // Tests point the variable at a file of their own per process.
    const std::string path = internal::EnvVar("KVTFTP_DEBUG_LOG");
    if (!path.empty()) internal::AppendToFile(path, text);
    ::SetLastError(saved);
}

void WriteConsoleLine(const char* text) {
    if (!text) return;
    const DWORD saved = ::GetLastError();
    SYSTEMTIME t{};
    ::GetLocalTime(&t);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u ", t.wYear, t.wMonth, t.wDay,
                  t.wHour, t.wMinute, t.wSecond);
    // One write per line, so that lines of concurrent transfers never interleave.
    const std::string line = std::string(stamp) + text + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
    ::SetLastError(saved);
}

}  // namespace kvp
