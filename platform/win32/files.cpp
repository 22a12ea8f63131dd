// Opening below a root, the system directory and whole-file operations.
#include <fcntl.h>
#include <io.h>

#include <cstring>
#include <string>
#include <vector>

#include "kv/paths.h"
#include "win32.h"

namespace kvp {

namespace {

// The steps of a name below the root; false for a name that may not be opened there: a
// parent reference, a drive or stream (':'), or nothing left after the separators.
bool SplitBelow(const char* name, std::vector<std::string>* parts) {
    std::string cur;
    for (const char* p = name;; ++p) {
        if (*p == '/' || *p == '\\' || *p == '\0') {
            if (cur == "..") return false;
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
    // A reparse point put at the name since the check is opened itself, not followed.
    HANDLE h = ::CreateFileA(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info{};
    DWORD err = ERROR_ACCESS_DENIED;
    // Only a regular file on disk: no device (CON, NUL exist in every directory), no link.
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
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
