#include "kv/paths.h"

#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <vector>

#include "win32.h"

namespace kvp {

namespace {

// Opens a file on disk as a stream. A directory fails in CreateFileA; a device, console
// or pipe (CON, NUL, COM1 exist in every directory) is refused before any stream exists.
std::FILE* OpenDiskFile(const char* path, DWORD access, DWORD disposition, bool truncate, int flags,
                        const char* mode) {
    if (!path) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HANDLE h = ::CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    if (::GetFileType(h) != FILE_TYPE_DISK) {
        ::CloseHandle(h);
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (truncate && !::SetEndOfFile(h)) {
        const DWORD err = ::GetLastError();
        ::CloseHandle(h);
        ::SetLastError(err);
        return nullptr;
    }
    return internal::StreamOverHandle(h, flags, mode);
}

}  // namespace

std::string StateDir() {
    std::string dir = internal::EnvVar("KVTFTP_STATE_DIR");
    if (!dir.empty()) return dir;
    dir = internal::EnvVar("LOCALAPPDATA");
    if (dir.empty()) dir = internal::EnvVar("APPDATA");
    if (dir.empty()) dir = "C:";
    return dir + "\\kvtftp";
}

bool PrepareStateDir(std::string* error) {
    // The per-user profile directory is already the user's alone.
    const std::string dir = StateDir();
    if (internal::MakeDirs(dir)) return true;
    if (error) *error = "kvtftp: cannot create the state directory " + dir;
    return false;
}

unsigned GetCurrentDirectoryA(char* buf, unsigned size) {
    std::vector<char> tmp(MAX_PATH + 1);
    for (;;) {
        const DWORD n = ::GetCurrentDirectoryA(static_cast<DWORD>(tmp.size()), tmp.data());
        if (n == 0) return 0;
        if (n < tmp.size()) {
            if (!buf || n + 1 > size) {
                ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return 0;
            }
            std::memcpy(buf, tmp.data(), n + 1);
            return n;
        }
        tmp.resize(n + 1);
    }
}

bool PathExists(const char* path) {
    return path && ::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

std::FILE* OpenFileForRead(const char* path) {
    return OpenDiskFile(path, GENERIC_READ, OPEN_EXISTING, false, _O_RDONLY, "rb");
}

std::FILE* OpenFileForWrite(const char* path) {
    return OpenDiskFile(path, GENERIC_WRITE, OPEN_ALWAYS, true, _O_WRONLY, "wb");
}

}  // namespace kvp

namespace kvp::internal {

std::FILE* StreamOverHandle(HANDLE h, int flags, const char* mode) {
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        ::SetLastError(ERROR_TOO_MANY_OPEN_FILES);
        return nullptr;
    }
    std::FILE* f = ::_fdopen(fd, mode);
    if (!f) {
        ::_close(fd);
        ::SetLastError(ERROR_TOO_MANY_OPEN_FILES);
    }
    return f;
}

bool AppendToFile(const std::string& path, const std::string& text) {
    // Append access alone: every write goes to the end of the file as one piece.
    HANDLE h = ::CreateFileA(path.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    // Windows appends each write whole; under Wine concurrent appends were seen to lose
    // records, so writers also lock the file around their write.
    OVERLAPPED whole{};
    const BOOL locked = ::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole);
    DWORD written = 0;
    const BOOL ok = ::WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    const DWORD err = ::GetLastError();
    if (locked) ::UnlockFileEx(h, 0, MAXDWORD, MAXDWORD, &whole);
    ::CloseHandle(h);
    if (!ok || written != text.size()) {
        ::SetLastError(ok ? ERROR_DISK_FULL : err);
        return false;
    }
    return true;
}

bool MakeDirs(const std::string& path) {
    for (size_t i = 0; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '/' && path[i] != '\\') continue;
        const std::string cur = path.substr(0, i);
        // A drive ("C:") or the root itself needs no creating; failures on the way are
        // judged by what stands at the end.
        if (cur.empty() || cur.back() == ':') continue;
        ::CreateDirectoryA(cur.c_str(), nullptr);
    }
    const DWORD attrs = ::GetFileAttributesA(path.c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) return false;
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return true;
}

}  // namespace kvp::internal
