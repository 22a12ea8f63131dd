// Which roots a server on Windows must not serve.
#include "kv/serve_root.h"

#include <string>

#include "win32.h"

namespace kvp {

namespace {

std::string FullPath(const char* path) {
    char buf[MAX_PATH + 1];
    const DWORD n = ::GetFullPathNameA(path, sizeof buf, buf, nullptr);
    if (n == 0 || n >= sizeof buf) return {};
    return std::string(buf, n);
}

// The directory as the system resolves it, junctions and links followed; the full path
// when the directory cannot be opened.
std::string FinalPath(const char* path) {
    HANDLE h = ::CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return FullPath(path);
    char buf[MAX_PATH + 8];
    const DWORD n = ::GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED);
    ::CloseHandle(h);
    if (n == 0 || n >= sizeof buf) return FullPath(path);
    return std::string(buf, n);
}

template <typename Get>
std::string SystemPath(Get get) {
    char buf[MAX_PATH + 1];
    const UINT n = get(buf, sizeof buf);
    if (n == 0 || n >= sizeof buf) return {};
    return FinalPath(buf);
}

}  // namespace

ServeRootConcern ClassifyServeRoot(const char* root) {
    if (!root || !*root) return ServeRootConcern::kNone;
    const std::string full = FullPath(root);
    if (full.empty()) return ServeRootConcern::kNone;
    const std::string windowsDir = SystemPath(::GetWindowsDirectoryA);
    const std::string systemDir = SystemPath(::GetSystemDirectoryA);
    // The name as given and the place it leads to: either may be the concern.
    ServeRootConcern concern = internal::ClassifyWindowsRoot(full, windowsDir, systemDir);
    if (concern == ServeRootConcern::kNone)
        concern = internal::ClassifyWindowsRoot(FinalPath(root), windowsDir, systemDir);
    if (concern == ServeRootConcern::kNone)
        concern = internal::ClassifyWindowsRoot(full, SystemPath(::GetSystemWindowsDirectoryA),
                                                std::string());
    return concern;
}

}  // namespace kvp
