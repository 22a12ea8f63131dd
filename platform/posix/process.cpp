#include "kv/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "win_names.h"

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

bool CreateProcessA(const char* commandLine) {
    if (commandLine == nullptr) return false;
    std::vector<std::string> argv;
    std::string word;
    for (const char* p = commandLine;; ++p) {
        if (*p == ' ' || *p == '\0') {
            if (!word.empty()) argv.push_back(internal::LinuxFileName(word));
            word.clear();
            if (*p == '\0') break;
        } else {
            word += *p;
        }
    }
    if (argv.empty()) return false;
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        // The grandchild runs the program; the child ends at once, so the program never
        // stays a child of the caller.
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        std::vector<char*> args;
        for (auto& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        const int err = errno;
        (void)!::write(pipefd[1], &err, sizeof err);
        ::_exit(127);
    }
    ::close(pipefd[1]);
    WaitProcess(child);
    int err = 0;
    const ssize_t n = ::read(pipefd[0], &err, sizeof err);
    ::close(pipefd[0]);
    if (n == static_cast<ssize_t>(sizeof err)) {
        errno = err;
        return false;
    }
    return true;
}

long CurrentProcessId() {
    return static_cast<long>(::getpid());
}

}  // namespace kvp
