#include "kv/process.h"

#include <fcntl.h>
#include <signal.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "win_names.h"

extern char** environ;

namespace kvp {

std::string GetEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

bool IsEnvSet(const char* name) {
    return std::getenv(name) != nullptr;
}

bool SetEnv(const char* name, const char* value) {
    return ::setenv(name, value, 1) == 0;
}

namespace {

// The value of an environment variable whose name matches, ignoring case.
const char* FindEnvNoCase(const std::string& name) {
    if (const char* v = std::getenv(name.c_str())) return v;
    for (char** e = environ; e && *e; ++e) {
        const char* eq = std::strchr(*e, '=');
        if (eq && static_cast<size_t>(eq - *e) == name.size() &&
            ::strncasecmp(*e, name.c_str(), name.size()) == 0)
            return eq + 1;
    }
    return nullptr;
}

}  // namespace

uint32_t ExpandEnvironmentStringsA(const char* src, char* dst, uint32_t size) {
    if (!src) {
        errno = EINVAL;
        return 0;
    }
    try {
        std::string out;
        const std::string in = src;
        size_t i = 0;
        while (i < in.size()) {
            const size_t pct = in.find('%', i);
            const size_t close = pct == std::string::npos ? pct : in.find('%', pct + 1);
            if (close == std::string::npos) {
                out.append(in, i, std::string::npos);
                break;
            }
            out.append(in, i, pct - i);
            const char* value =
                close > pct + 1 ? FindEnvNoCase(in.substr(pct + 1, close - pct - 1)) : nullptr;
            if (value) {
                out += value;
                i = close + 1;
            } else {
                // Not a variable: the text stays, and the second '%' may open a reference.
                out.append(in, pct, close - pct);
                i = close;
            }
        }
        if (out.size() + 1 > UINT32_MAX) {
            errno = E2BIG;
            return 0;
        }
        const uint32_t needed = static_cast<uint32_t>(out.size() + 1);
        if (dst && needed <= size) std::memcpy(dst, out.c_str(), needed);
        return needed;
    } catch (...) {
        errno = ENOMEM;
        return 0;
    }
}

namespace {

// A command line split as Windows programs split it: blanks separate words, double
// quotes group them, 2n backslashes before a quote give n and the quote toggles, 2n+1
// give n and a literal quote, "" inside quotes is a quote, other backslashes are plain.
// The program name, first, knows no escapes: quotes only group.
std::vector<std::string> SplitCommandLine(const char* cmd) {
    std::vector<std::string> words;
    const char* p = cmd;
    std::string word;
    bool quoted = false;
    while (*p == ' ' || *p == '\t') ++p;
    for (; *p && (quoted || (*p != ' ' && *p != '\t')); ++p) {
        if (*p == '"')
            quoted = !quoted;
        else
            word.push_back(*p);
    }
    words.push_back(word);
    for (;;) {
        while (*p == ' ' || *p == '\t') ++p;
        if (!*p) break;
        word.clear();
        quoted = false;
        while (*p && (quoted || (*p != ' ' && *p != '\t'))) {
            size_t slashes = 0;
            while (*p == '\\') {
                ++slashes;
                ++p;
            }
            if (*p == '"') {
                word.append(slashes / 2, '\\');
                if (slashes % 2) {
                    word.push_back('"');
                } else if (quoted && p[1] == '"') {
                    word.push_back('"');
                    ++p;
                } else {
                    quoted = !quoted;
                }
                ++p;
            } else {
                word.append(slashes, '\\');
                if (*p && (quoted || (*p != ' ' && *p != '\t'))) word.push_back(*p++);
            }
        }
        words.push_back(word);
    }
    return words;
}

bool IsProgram(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           ::access(path.c_str(), X_OK) == 0;
}

// The file that a Windows program name starts; "" (errno set) when there is none.
std::string FindProgram(std::string name) {
    for (char& c : name)
        if (c == '\\') c = '/';
    std::string mapped = internal::LinuxFileName(name);
    if (mapped.find('/') != std::string::npos) {
        for (const std::string& c : {name, mapped})
            if (IsProgram(c)) return c;
        errno = ENOENT;
        return {};
    }
    // Windows system programs that have a stand-in of ours.
    static const char* const kStandIns[][2] = {
        {"eventvwr", "kveventvwr"}, {"control", "kvcontrol"}, {"sc", "kvsc"}};
    for (const auto& s : kStandIns)
        if (mapped == s[0]) mapped = s[1];
    std::vector<std::string> dirs = internal::DirectoryList(GetEnv("PATH"));
    dirs.insert(dirs.begin(), internal::ProgramDirectory());
    std::string found = internal::FindInDirectories(dirs, mapped, IsProgram);
    if (!found.empty()) return found;
    errno = ENOENT;
    return {};
}

// The child's part between fork and exec: only calls that are safe after a fork.
// Windows programs start with no signal blocked and no handle of their parent.
[[noreturn]] void ExecChild(char* const* argv, int report_fd) {
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::close_range(3, ~0u, CLOSE_RANGE_CLOEXEC);
    ::execv(argv[0], argv);
    int err = errno;
    ssize_t ignored = ::write(report_fd, &err, sizeof err);
    (void)ignored;
    ::_exit(127);
}

pid_type Spawn(const std::vector<std::string>& argv, const char* stdout_path) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (stdout_path != nullptr) {
            int fd = ::open(stdout_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::dup2(fd, STDOUT_FILENO) < 0) ::_exit(127);
            if (fd != STDOUT_FILENO) ::close(fd);
        }
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

}  // namespace

pid_type SpawnProcess(const std::vector<std::string>& argv) {
    return Spawn(argv, nullptr);
}

pid_type SpawnProcess(const std::vector<std::string>& argv, const std::string& stdout_path) {
    return Spawn(argv, stdout_path.c_str());
}

bool CreateProcessA(const char* command_line, pid_type* pid) {
    if (!command_line) {
        errno = EINVAL;
        return false;
    }
    try {
        std::vector<std::string> words = SplitCommandLine(command_line);
        if (words[0].empty()) {
            errno = ENOENT;
            return false;
        }
        words[0] = FindProgram(words[0]);
        if (words[0].empty()) return false;
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);

        // The exec's outcome comes back through a pipe that the exec closes.
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        pid_t child = ::fork();
        if (child == 0) {
            ::close(fds[0]);
            if (pid) ExecChild(argv.data(), fds[1]);
            // Started through a short-lived middle process, the program becomes the
            // init process's child, so a long-lived caller never collects a zombie.
            pid_t grandchild = ::fork();
            if (grandchild == 0) ExecChild(argv.data(), fds[1]);
            if (grandchild < 0) {
                int err = errno;
                ssize_t ignored = ::write(fds[1], &err, sizeof err);
                (void)ignored;
            }
            ::_exit(0);
        }
        if (child < 0) {
            const int err = errno;
            ::close(fds[0]);
            ::close(fds[1]);
            errno = err;
            return false;
        }
        ::close(fds[1]);
        int err = 0;
        ssize_t n;
        do {
            n = ::read(fds[0], &err, sizeof err);
        } while (n < 0 && errno == EINTR);
        ::close(fds[0]);
        // Without `pid` the child waited for is the middle process, which ends at once.
        if (!pid || n != 0) WaitProcess(child);
        if (n != 0) {
            errno = n == static_cast<ssize_t>(sizeof err) ? err : EIO;
            return false;
        }
        if (pid) *pid = child;
        return true;
    } catch (...) {
        errno = ENOMEM;
        return false;
    }
}

int WaitProcess(pid_type pid) {
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(static_cast<pid_t>(pid), &status, 0);
    } while (r < 0 && errno == EINTR);
    if (r < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

bool KillProcess(pid_type pid) {
    return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

long CurrentProcessId() {
    return static_cast<long>(::getpid());
}

intptr_t ShellExecuteA(void*, const char*, const char* file, const char* params, const char* dir,
                       int) {
    constexpr intptr_t kFileNotFound = 2;
    constexpr intptr_t kNoAssociation = 31;
    constexpr intptr_t kStarted = 33;
    if (!file || !*file) {
        errno = ENOENT;
        return kFileNotFound;
    }
    try {
        std::string name = file;
        for (char& c : name)
            if (c == '\\') c = '/';
        std::string base = dir ? dir : "";
        for (char& c : base)
            if (c == '\\') c = '/';
        if (name[0] != '/' && !base.empty()) {
            if (base.back() != '/') base += '/';
            name = base + name;
        }
        std::string found;
        for (const std::string& c : {name, internal::LinuxFileName(name)}) {
            struct stat st {};
            if (::stat(c.c_str(), &st) == 0) {
                found = c;
                break;
            }
        }
        if (found.empty()) {
            errno = ENOENT;
            return kFileNotFound;
        }
        std::string command = "xdg-open \"" + found + "\"";
        if (params && *params) command += std::string(" ") + params;
        return CreateProcessA(command.c_str()) ? kStarted : kNoAssociation;
    } catch (...) {
        errno = ENOMEM;
        return kNoAssociation;
    }
}

}  // namespace kvp
