// StartServiceA: runs the program of a service's ImagePath detached from the caller (its
// own session, no terminal, standard input /dev/null, output appended to
// run/<name>.log, no descriptor of the caller but the start socket) and waits until its
// dispatcher answers on that socket. The program is started through an intermediate
// process that ends at once, so a long-lived caller is left with no child to reap.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "kv/time.h"
#include "posix_io.h"
#include "service_internal.h"
#include "win_names.h"

extern char** environ;

namespace kvp {

namespace {

// Windows gives a service this long to connect its dispatcher.
constexpr int kConnectMs = 30000;
// How long a start waits for a dispatcher that reported stopped to end.
constexpr uint32_t kPreviousHostMs = 5000;
constexpr size_t kMaxStartArgBytes = 32768;

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// %NAME% becomes the variable's value; an unset variable stays as written.
std::string ExpandEnvironment(const std::string& s) {
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        const size_t end = s[i] == '%' ? s.find('%', i + 1) : std::string::npos;
        if (end != std::string::npos && end > i + 1) {
            if (const char* v = std::getenv(s.substr(i + 1, end - i - 1).c_str())) {
                out += v;
                i = end + 1;
                continue;
            }
        }
        out.push_back(s[i++]);
    }
    return out;
}

// Splits the arguments of a command line as the Windows C run-time does: blanks separate,
// double quotes group, backslashes escape only a double quote.
std::vector<std::string> SplitArguments(const std::string& s, size_t i) {
    std::vector<std::string> out;
    for (;;) {
        while (i < s.size() && IsBlank(s[i])) ++i;
        if (i >= s.size()) return out;
        std::string arg;
        bool quoted = false;
        while (i < s.size() && (quoted || !IsBlank(s[i]))) {
            if (s[i] == '\\') {
                size_t n = 0;
                while (i < s.size() && s[i] == '\\') ++n, ++i;
                const bool quote_follows = i < s.size() && s[i] == '"';
                arg.append(quote_follows ? n / 2 : n, '\\');
                if (quote_follows && n % 2) arg.push_back(s[i++]);
            } else if (s[i] == '"') {
                if (quoted && i + 1 < s.size() && s[i + 1] == '"') {
                    arg.push_back('"');
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                arg.push_back(s[i++]);
            }
        }
        out.push_back(arg);
    }
}

// The program of a command line: the quoted text at its start, else the text up to the
// first blank (so an unquoted path with a blank names another program, as on Windows).
// *rest receives where the arguments begin.
std::string ProgramOf(const std::string& line, size_t* rest) {
    size_t i = 0;
    while (i < line.size() && IsBlank(line[i])) ++i;
    if (i < line.size() && line[i] == '"') {
        const size_t close = line.find('"', i + 1);
        *rest = close == std::string::npos ? line.size() : close + 1;
        return line.substr(i + 1, (close == std::string::npos ? line.size() : close) - i - 1);
    }
    size_t end = i;
    while (end < line.size() && !IsBlank(line[end])) ++end;
    *rest = end;
    return line.substr(i, end - i);
}

// The file to run: the path as written, else its Linux name; a plain name is looked for
// in the system directory, then on PATH. A relative path is taken from the caller's
// directory, since the service itself runs in "/".
std::string ResolveProgram(const std::string& program) {
    std::vector<std::string> names{program};
    const std::string linux_name = internal::LinuxFileName(program);
    if (linux_name != program) names.push_back(linux_name);
    for (const std::string& name : names) {
        if (name.find('/') != std::string::npos) {
            if (::access(name.c_str(), F_OK) != 0) continue;
            if (name[0] == '/') return name;
            char cwd[4096];
            return GetCurrentDirectoryA(cwd, sizeof cwd) ? std::string(cwd) + "/" + name : name;
        }
        // The system directory only when it is this user's alone.
        std::string system;
        if (!internal::StateSubdir("system", false, &system)) system.clear();
        const std::string dirs = system + ":" + GetEnv("PATH");
        size_t start = 0;
        while (start <= dirs.size()) {
            size_t colon = dirs.find(':', start);
            if (colon == std::string::npos) colon = dirs.size();
            const std::string candidate = dirs.substr(start, colon - start) + "/" + name;
            if (colon > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
            start = colon + 1;
        }
    }
    return program;
}

long ExecErrorToWindows(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return kErrorFileNotFound;
        case EACCES:
        case EPERM:
            return kErrorAccessDenied;
        case ENOEXEC:
            return kErrorBadExeFormat;
        default:
            return err;
    }
}

// Everything the new process needs, made before the fork: after it only calls that are
// safe in the child of a threaded process are made.
struct Launch {
    std::string program;
    std::vector<std::string> args;
    std::vector<std::string> env;
    std::string log;
    std::vector<char*> argv;
    std::vector<char*> envp;
    int max_fd = 1024;

    void Seal() {
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        const long open_max = ::sysconf(_SC_OPEN_MAX);
        if (open_max > 0) max_fd = static_cast<int>(open_max < 65536 ? open_max : 65536);
    }
};

Launch PrepareLaunch(const internal::ServiceRecord& rec) {
    Launch l;
    const std::string line = ExpandEnvironment(rec.imagePath);
    size_t rest = 0;
    l.program = ResolveProgram(ProgramOf(line, &rest));
    l.args = SplitArguments(line, rest);
    l.args.insert(l.args.begin(), l.program);
    const std::string name_var = std::string(internal::kServiceNameVar) + "=";
    const std::string fd_var = std::string(internal::kServiceFdVar) + "=";
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, name_var.c_str(), name_var.size()) == 0) continue;
        if (std::strncmp(*e, fd_var.c_str(), fd_var.size()) == 0) continue;
        l.env.push_back(*e);
    }
    l.env.push_back(name_var + rec.name);
    l.env.push_back(fd_var + "3");
    l.log = internal::RunFile(rec.name, ".log");
    l.Seal();
    return l;
}

[[noreturn]] void ChildFail(int chan) {
    const uint32_t word = internal::kExecFailed | static_cast<uint32_t>(errno);
    ssize_t n = ::write(chan, &word, sizeof word);
    (void)n;
    ::_exit(127);
}

[[noreturn]] void RunProgram(const Launch& l, int chan) {
    const int null_fd = ::open("/dev/null", O_RDONLY);
    if (null_fd < 0 || ::dup2(null_fd, STDIN_FILENO) < 0) ChildFail(chan);
    const int log = ::open(l.log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW, 0600);
    if (log < 0 || ::fchmod(log, 0600) != 0 || ::dup2(log, STDOUT_FILENO) < 0 ||
        ::dup2(log, STDERR_FILENO) < 0)
        ChildFail(chan);
    if (::dup2(chan, 3) < 0) ChildFail(chan);
    chan = 3;
    if (::close_range(4, ~0U, 0) != 0)
        for (int fd = 4; fd < l.max_fd; ++fd) ::close(fd);
    if (::chdir("/") != 0) ChildFail(chan);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);
    ::execve(l.program.c_str(), l.argv.data(), l.envp.data());
    ChildFail(chan);
}

// Starts the program and waits for its dispatcher's answer; a Windows code.
long Run(const Launch& l, const std::string& start_args) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return errno;
    internal::Fd ours(pair[0]);
    // Above the standard descriptors, which the child replaces before it moves this one.
    internal::Fd theirs(::fcntl(pair[1], F_DUPFD_CLOEXEC, 10));
    ::close(pair[1]);
    if (theirs.get() < 0) return errno;
    const pid_t pid = ::fork();
    if (pid < 0) return errno;
    if (pid == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild < 0) ChildFail(theirs.get());
        if (grandchild == 0) RunProgram(l, theirs.get());
        ::_exit(0);
    }
    theirs.reset();
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (!start_args.empty())
        ::send(ours.get(), start_args.data(), start_args.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(ours.get(), SHUT_WR);
    uint32_t word = 0;
    if (internal::ReadWithin(ours.get(), &word, sizeof word, kConnectMs) != sizeof word)
        return kErrorServiceRequestTimeout;  // ended, or silent, before it connected
    if (word & internal::kExecFailed)
        return ExecErrorToWindows(static_cast<int>(word & ~internal::kExecFailed));
    return static_cast<long>(word);
}

// A dispatcher that has reported stopped may still be on its way out; a new one can
// only start once it is gone.
bool PreviousHostGone(const std::string& name) {
    ServiceStatus st;
    if (!internal::CurrentStatus(name, &st)) return true;
    if (st.currentState != kServiceStopped) return false;
    for (uint32_t waited = 0; waited < kPreviousHostMs; waited += 10) {
        Sleep(10);
        if (!internal::HostAlive(name)) return true;
    }
    return false;
}

// Whether the service can be started now: a Windows code.
long CheckStartable(const ScHandleState* h, internal::ServiceRecord* rec) {
    long r = internal::ReadRecord(h->name, rec);
    if (r == kErrorServiceDoesNotExist && h->hasRecord) return kErrorServiceMarkedForDelete;
    if (r == kErrorServiceDoesNotExist && internal::HostAlive(h->name))
        return kErrorServiceAlreadyRunning;  // a foreground dispatcher without a record
    if (r != kErrorSuccess) return r;
    if (rec->markedForDelete) return kErrorServiceMarkedForDelete;
    if (rec->start == kServiceDisabled) return kErrorServiceDisabled;
    if (internal::DatabaseLocked()) return kErrorServiceDatabaseLocked;
    return kErrorSuccess;
}

}  // namespace

bool StartServiceA(ScHandle service, uint32_t argc, const char** argv) {
    ScHandleState* h = internal::CheckHandle(service, false);
    if (!h || !internal::HasAccess(h, kServiceStart)) return false;
    std::string start_args;
    for (uint32_t i = 0; i < argc; ++i) {
        if (!argv || !argv[i]) return internal::FailWith(kErrorInvalidParameter);
        start_args.append(argv[i]).push_back('\0');
    }
    if (start_args.size() > kMaxStartArgBytes) return internal::FailWith(kErrorInvalidParameter);
    internal::ServiceRecord rec;
    long r = CheckStartable(h, &rec);
    if (r != kErrorSuccess) return internal::FailWith(r);
    // One start at a time per service, so that two starters never both find it stopped.
    internal::Fd start_lock;
    if (!internal::TakeStartLock(rec.name, &start_lock)) return false;
    if (!PreviousHostGone(rec.name)) return internal::FailWith(kErrorServiceAlreadyRunning);
    // Looked at again under the lock: a delete or a change may have come meanwhile.
    r = CheckStartable(h, &rec);
    if (r == kErrorSuccess) r = Run(PrepareLaunch(rec), start_args);
    return r == kErrorSuccess || internal::FailWith(r);
}

}  // namespace kvp
