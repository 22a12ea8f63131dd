// Opening below a root, the system directory and whole-file operations.
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
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

// Opens the directory for as long as a file is made in it, unable to be renamed or
// replaced by a junction meanwhile (no FILE_SHARE_DELETE), and checks that it is the root
// or lies below it as it is now: a directory swapped since the checks of the steps would
// have the file created elsewhere. INVALID_HANDLE_VALUE, last error set, otherwise.
HANDLE HoldDirectoryBelowRoot(const std::string& dir, const char* root) {
    HANDLE h = ::CreateFileA(dir.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return h;
    const std::string rootPath = FinalPathOfDirectory(root);
    if (rootPath.empty() || (!EqualNoCase(FinalPathOf(h), rootPath) && !OpenedBelowRoot(h, root))) {
        ::CloseHandle(h);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

// The full path of `name` below the root after checking every step: no reparse point
// (symbolic link, junction, mount point) is followed at any step, so nothing can lead
// outside the root; stricter than following those that stay below it. False with the
// last error set.
bool WalkBelow(const char* root, const char* name, BelowMode mode, std::string* out) {
    if (!root || !*root || !name) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::vector<std::string> parts;
    if (!SplitBelow(name, &parts)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    std::string path = root;
    const DWORD rootAttrs = ::GetFileAttributesA(path.c_str());
    if (rootAttrs == INVALID_FILE_ATTRIBUTES) return false;
    if (!(rootAttrs & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        if (path.back() != '\\' && path.back() != '/') path += '\\';
        path += parts[i];
        const DWORD attrs = ::GetFileAttributesA(path.c_str());
        const bool last = i + 1 == parts.size();
        if (attrs == INVALID_FILE_ATTRIBUTES) {
            // Only the file itself may be missing, and only for a write.
            if (last && mode != BelowMode::kRead) break;
            return false;
        }
        // A new file: anything at the name, a directory or a link too, is taken.
        if (last && mode == BelowMode::kWriteNew) {
            ::SetLastError(ERROR_FILE_EXISTS);
            return false;
        }
        if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        if (!last && !(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            ::SetLastError(ERROR_PATH_NOT_FOUND);
            return false;
        }
        if (last && (attrs & FILE_ATTRIBUTE_DIRECTORY)) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
    }
    *out = path;
    return true;
}

// A name for a staged file: the prefix and 16 hex digits, unique within the process and
// hard to guess from outside; a taken one is simply tried again.
std::string StagedName() {
    static volatile LONG counter = 0;
    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    const uint64_t bits = (static_cast<uint64_t>(now.QuadPart) * 0x9E3779B97F4A7C15u) ^
                          (static_cast<uint64_t>(::GetCurrentProcessId()) << 32) ^
                          static_cast<uint64_t>(::InterlockedIncrement(&counter));
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    return std::string(kStagedNamePrefix) + hex;
}

}  // namespace

std::FILE* OpenFileBelow(const char* root, const char* name, BelowMode mode) {
    std::string path;
    if (!WalkBelow(root, name, mode, &path)) return nullptr;
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
    HANDLE dir = HoldDirectoryBelowRoot(path.substr(0, path.find_last_of("\\/")), root);
    if (dir == INVALID_HANDLE_VALUE) return nullptr;
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

struct StagedFile::State {
    std::FILE* file = nullptr;
    std::string temp;
    std::string target;
    bool replace = false;
    // The target's directory, held from the creation of the file to its move.
    HANDLE dir = INVALID_HANDLE_VALUE;
};

StagedFile::StagedFile() : s_(new State) {}

StagedFile::~StagedFile() {
    Discard();
}

std::FILE* StagedFile::get() const {
    return s_->file;
}

bool StagedFile::Open(const char* root, const char* name, bool replace) {
    Discard();
    std::string target;
    if (!WalkBelow(root, name, replace ? BelowMode::kWriteTruncate : BelowMode::kWriteNew,
                   &target)) {
        return false;
    }
    const size_t sep = target.find_last_of("\\/");
    const std::string dir = target.substr(0, sep + 1);
    s_->dir = HoldDirectoryBelowRoot(target.substr(0, sep), root);
    if (s_->dir == INVALID_HANDLE_VALUE) return false;
    HANDLE h = INVALID_HANDLE_VALUE;
    std::string temp;
    for (int attempt = 0; h == INVALID_HANDLE_VALUE && attempt < 16; ++attempt) {
        temp = dir + StagedName();
        h = ::CreateFileA(
            temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE && !IsAlreadyExistsError(static_cast<int>(::GetLastError())))
            return false;
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    std::FILE* f = internal::StreamOverHandle(h, _O_WRONLY, "wb");
    if (!f) {
        const DWORD err = ::GetLastError();
        ::DeleteFileA(temp.c_str());
        ::SetLastError(err);
        return false;
    }
    s_->file = f;
    s_->temp = temp;
    s_->target = target;
    s_->replace = replace;
    return true;
}

bool StagedFile::Commit() {
    if (!s_->file) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    std::FILE* f = s_->file;
    s_->file = nullptr;
    bool ok = std::fflush(f) == 0 &&
              ::FlushFileBuffers(reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(f))));
    DWORD err = ::GetLastError();
    if (std::fclose(f) != 0 && ok) {
        ok = false;
        err = ERROR_WRITE_FAULT;
    }
    if (ok) {
        // Without MOVEFILE_REPLACE_EXISTING a taken name fails the move.
        const DWORD flags = MOVEFILE_WRITE_THROUGH | (s_->replace ? MOVEFILE_REPLACE_EXISTING : 0);
        ok = ::MoveFileExA(s_->temp.c_str(), s_->target.c_str(), flags) != 0;
        err = ::GetLastError();
    }
    if (ok) s_->temp.clear();
    Discard();
    ::SetLastError(err);
    return ok;
}

void StagedFile::Discard() {
    const DWORD err = ::GetLastError();
    if (s_->file) {
        std::fclose(s_->file);
        s_->file = nullptr;
    }
    if (!s_->temp.empty()) ::DeleteFileA(s_->temp.c_str());
    s_->temp.clear();
    if (s_->dir != INVALID_HANDLE_VALUE) ::CloseHandle(s_->dir);
    s_->dir = INVALID_HANDLE_VALUE;
    ::SetLastError(err);
}

bool GetStreamFileSize(std::FILE* f, uint64_t* size) {
    if (f == nullptr) return false;
    const __int64 n = ::_filelengthi64(::_fileno(f));
    if (n < 0) return false;
    *size = static_cast<uint64_t>(n);
    return true;
}

bool GetDiskSpace(const char* path, uint64_t* available, uint64_t* total) {
    ULARGE_INTEGER avail{};
    ULARGE_INTEGER size{};
    if (!path || !::GetDiskFreeSpaceExA(path, &avail, &size, nullptr)) return false;
    if (available) *available = avail.QuadPart;
    if (total) *total = size.QuadPart;
    return true;
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
