// Files, directories and the state directory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace kvp {

// The state directory: $KVTFTP_STATE_DIR, else the per-user or system default.
std::string StateDir();

// Creates the state directory when missing (owner-only) and checks that no other user can
// change it: on Linux one that is a link, owned by another user or writable by group or
// others is refused. False with *error (if given) naming the path and the reason.
bool PrepareStateDir(std::string* error);

// Current directory into buf (size bytes with the terminator); length, or 0 on failure.
unsigned GetCurrentDirectoryA(char* buf, unsigned size);

// True when something (file or directory) exists at the path.
bool PathExists(const char* path);

// Opens a regular file for binary reading (a directory or device is refused with the
// system's last error set); null on failure.
std::FILE* OpenFileForRead(const char* path);
// Creates or truncates a file for binary writing; null on failure.
std::FILE* OpenFileForWrite(const char* path);

// How OpenFileBelow opens its file.
enum class BelowMode {
    kRead,           // an existing regular file, for reading
    kWriteTruncate,  // created, or truncated to 0 bytes, for writing
    kWriteNew,       // created for writing; fails when anything exists at the name
};

// Opens the file `name` below the directory `root`, for a server that serves that
// directory and nothing else. Separators are '/'; leading ones mean the root itself.
// No step of the name may lead out of the root: a parent reference that climbs above
// it, or a symbolic link (on Windows also a junction or other reparse point) whose
// target lies outside it, makes the open fail before any file outside is opened,
// created or truncated. Links that stay below the root are followed. Only regular
// files are opened. kWriteNew creates exclusively: of two callers racing for one new
// name, one gets the file and the other fails with an error that
// IsAlreadyExistsError recognises. An empty root is refused. Null on failure, with the
// system's last error set.
std::FILE* OpenFileBelow(const char* root, const char* name, BelowMode mode);
// True for the system error number of a creation that found its name taken.
bool IsAlreadyExistsError(int err);

// How the names of files still being received begin; nothing serves a name that does.
constexpr const char kStagedNamePrefix[] = ".kvtftp-upload-";

// A file received under a temporary name beside its target and put at the target's name
// whole, or not at all: dropped without Commit, the temporary file is removed and
// whatever was at the name stays as it was.
class StagedFile {
  public:
    StagedFile();
    ~StagedFile();
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;

    // Creates the temporary file (exclusively, a unique name starting with
    // kStagedNamePrefix, no link followed) in the directory of `name` below `root`, with
    // the confinement of OpenFileBelow. Refused like OpenFileBelow's writes: a directory,
    // a link or anything but a regular file at the name; with !replace anything at all
    // (IsAlreadyExistsError). False on failure, with the system's last error set.
    bool Open(const char* root, const char* name, bool replace);
    std::FILE* get() const;
    // Flushes the data to disk, closes the file and gives it the target's name in one
    // step: replacing what is there, or, with !replace, failing (IsAlreadyExistsError)
    // when the name was taken meanwhile. On failure the temporary file is removed.
    bool Commit();
    // Closes and removes the temporary file (the destructor does so unless committed).
    void Discard();

  private:
    struct State;
    std::unique_ptr<State> s_;
};

// The bytes this process may still write, and the size, of the file system that holds
// path; false when the system cannot tell.
bool GetDiskSpace(const char* path, uint64_t* available, uint64_t* total);
// The size in bytes of the open file behind the stream; false when the system cannot tell.
bool GetStreamFileSize(std::FILE* f, uint64_t* size);
// The system directory ($KVTFTP_STATE_DIR/system on POSIX, created when missing) into
// buf; its length, or 0 on failure (also when it does not fit).
unsigned GetSystemDirectoryA(char* buf, unsigned size);
// Copies a file, replacing the target unless failIfExists. Windows file names of the
// deliverables ("KVTFTPCPL.CPL") stand for their local names.
bool CopyFileA(const char* from, const char* to, bool failIfExists);
bool DeleteFileA(const char* path);

// The directory separator of the platform.
constexpr char kPathSep =
#if defined(_WIN32)
    '\\';
#else
    '/';
#endif

// Owns a FILE* and closes it on every path.
class File {
  public:
    File() = default;
    explicit File(std::FILE* f) : f_(f) {}
    ~File() { reset(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    std::FILE* get() const { return f_; }
    explicit operator bool() const { return f_ != nullptr; }
    void reset(std::FILE* f = nullptr) {
        if (f_) std::fclose(f_);
        f_ = f;
    }
    std::FILE* release() {
        std::FILE* f = f_;
        f_ = nullptr;
        return f;
    }

  private:
    std::FILE* f_ = nullptr;
};

}  // namespace kvp
