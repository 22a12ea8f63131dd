#include "kv/debug.h"

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

}  // namespace kvp
