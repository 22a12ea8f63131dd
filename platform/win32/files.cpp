// Opening below a root, the system directory and whole-file operations.
#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <string>
#include <vector>

#include "kv/paths.h"
#include "kv/serve_root.h"
#include "kv/text.h"
#include "win32.h"

namespace kvp {

namespace {

// The steps of a name below the root; false for a name that may not be opened there: a
// parent reference, a drive or stream (':'), a device name (refused before anything is
// opened: "NUL.txt" is the device in every directory), or nothing left after the
// separators.
bool SplitBelow(const char* name, std::vector<std::string>* parts) {
    std::string cur;
    for (const char* p = name;; ++p) {
        if (*p == '/' || *p == '\\' || *p == '\0') {
            if (cur == "..") return false;
            if (!cur.empty() && cur != "." && internal::IsWindowsDeviceName(cur)) return false;
            if (!cur.empty() && cur != ".") parts->push_back(cur);
            cur.clear();
            if (*p == '\0') break;
        } else {
            if (*p == ':') return false;
            cur.push_back(*p);
        }
    }
    return !parts->empty();
}

// The path that the handle's file has now, "\\?\" form; empty when unknown.
std::string FinalPathOf(HANDLE h) {
    char buf[MAX_PATH + 8];
    const DWORD n = ::GetFinalPathNameByHandleA(h, buf, sizeof buf, FILE_NAME_NORMALIZED);
    if (n == 0 || n >= sizeof buf) return {};
    return std::string(buf, n);
}

std::string FinalPathOfDirectory(const std::string& dir) {
    HANDLE h = ::CreateFileA(dir.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return {};
    std::string path = FinalPathOf(h);
    ::CloseHandle(h);
    return path;
}

// True when the opened file lies below the root as it is now: a directory of the name
// swapped for a junction between the checks of its steps and the open would lead
// elsewhere, and the file opened there is not served.
bool OpenedBelowRoot(HANDLE h, const std::string& root) {
    std::string base = FinalPathOfDirectory(root);
    const std::string file = FinalPathOf(h);
    if (base.empty() || file.empty()) return false;
    if (base.back() != '\\') base += '\\';
    return file.size() > base.size() &&
           EqualNoCase(std::string_view(file).substr(0, base.size()), base);
}

}  // namespace

// No reparse point (symbolic link, junction, mount point) is followed at any step, so
// nothing can lead outside the root; stricter than following those that stay below it.
std::FILE* OpenFileBelow(const char* root, const char* name, BelowMode mode) {
    if (!root || !*root || !name) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::vector<std::string> parts;
    if (!SplitBelow(name, &parts)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    std::string path = root;
    const DWORD rootAttrs = ::GetFileAttributesA(path.c_str());
    if (rootAttrs == INVALID_FILE_ATTRIBUTES) return nullptr;
    if (!(rootAttrs & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetLastError(ERROR_DIRECTORY);
        return nullptr;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        if (path.back() != '\\' && path.back() != '/') path += '\\';
        path += parts[i];
        const DWORD attrs = ::GetFileAttributesA(path.c_str());
        const bool last = i + 1 == parts.size();
        if (attrs == INVALID_FILE_ATTRIBUTES) {
            // Only the file itself may be missing, and only for a write.
            if (last && mode != BelowMode::kRead) break;
            return nullptr;
        }
        // A new file: anything at the name, a directory or a link too, is taken.
        if (last && mode == BelowMode::kWriteNew) {
            ::SetLastError(ERROR_FILE_EXISTS);
            return nullptr;
        }
        if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        if (!last && !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            ::SetLastError(ERROR_PATH_NOT_FOUND);
            return nullptr;
        }
        if (last && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    int flags = _O_RDONLY;
    const char* stream = "rb";
    if (mode != BelowMode::kRead) {
        access = GENERIC_WRITE;
        disposition = mode == BelowMode::kWriteNew ? CREATE_NEW : OPEN_ALWAYS;
        flags = _O_WRONLY;
        stream = "wb";
    }
    // The file's directory is held open, and so cannot be renamed or replaced by a junction
    // while the file is opened in it; it must lie below the root as it is now, or a
    // directory swapped since the checks above would have the file created elsewhere.
    const std::string parent = path.substr(0, path.find_last_of("\\/"));
    HANDLE dir = ::CreateFileA(parent.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return nullptr;
    const bool parentBelow = parts.size() == 1 ? FinalPathOf(dir) == FinalPathOfDirectory(root)
                                               : OpenedBelowRoot(dir, root);
    if (!parentBelow) {
        ::CloseHandle(dir);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    // A reparse point put at the name since the check is opened itself, not followed.
    HANDLE h = ::CreateFileA(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    const DWORD openErr = ::GetLastError();
    ::CloseHandle(dir);
    if (h == INVALID_HANDLE_VALUE) {
        ::SetLastError(openErr);
        return nullptr;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    DWORD err = ERROR_ACCESS_DENIED;
    // Only a regular file on disk: no device (CON, NUL exist in every directory), no link.
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        !OpenedBelowRoot(h, root) ||
        (mode == BelowMode::kWriteTruncate && !::SetEndOfFile(h) && (err = ::GetLastError()))) {
        ::CloseHandle(h);
        ::SetLastError(err);
        return nullptr;
    }
    return internal::StreamOverHandle(h, flags, stream);
}

bool IsAlreadyExistsError(int err) {
    return err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS;
}

unsigned GetSystemDirectoryA(char* buf, unsigned size) {
    char dir[MAX_PATH + 1];
    const UINT n = ::GetSystemDirectoryA(dir, sizeof dir);
    if (n == 0 || n >= sizeof dir) return 0;
    if (!buf || n + 1 > size) {
        ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(buf, dir, n + 1);
    return n;
}

bool CopyFileA(const char* from, const char* to, bool failIfExists) {
    return ::CopyFileA(from, to, failIfExists ? TRUE : FALSE);
}

bool DeleteFileA(const char* path) {
    return ::DeleteFileA(path);
}

}  // namespace kvp
