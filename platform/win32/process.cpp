#include "kv/process.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "win32.h"

#include <shellapi.h>

namespace kvp {

namespace {

// Handles of the children started here, by process id, so that a wait or a kill reaches
// that very child even when its id is reused after it ends.
std::mutex g_children_mu;
std::map<pid_type, HANDLE>& Children() {
    static auto* children = new std::map<pid_type, HANDLE>;
    return *children;
}

// One argument as the C run time's command-line parser reads it back.
void AppendQuoted(std::string* line, const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) {
        *line += arg;
        return;
    }
    *line += '"';
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled, and the quote escaped.
        if (c == '"') backslashes = backslashes * 2 + 1;
        line->append(backslashes, '\\');
        backslashes = 0;
        *line += c;
    }
    line->append(backslashes * 2, '\\');
    *line += '"';
}

pid_type Spawn(const std::vector<std::string>& argv, const char* stdout_path) {
    if (argv.empty()) return -1;
    std::string program = argv[0];
    for (char& c : program) {
        if (c == '/') c = '\\';
    }
    std::string line;
    for (size_t i = 0; i < argv.size(); ++i) {
        if (i > 0) line += ' ';
        AppendQuoted(&line, i == 0 ? program : argv[i]);
    }
    STARTUPINFOA si{};
    si.cb = sizeof si;
    HANDLE out = INVALID_HANDLE_VALUE;
    if (stdout_path) {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
        out = ::CreateFileA(stdout_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE) return -1;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        si.hStdOutput = out;
        si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    }
    PROCESS_INFORMATION pi{};
    const BOOL ok = ::CreateProcessA(program.c_str(), line.data(), nullptr, nullptr,
                                     stdout_path ? TRUE : FALSE, 0, nullptr, nullptr, &si, &pi);
    const DWORD err = ::GetLastError();
    if (out != INVALID_HANDLE_VALUE) ::CloseHandle(out);
    if (!ok) {
        ::SetLastError(err);
        return -1;
    }
    ::CloseHandle(pi.hThread);
    std::lock_guard<std::mutex> lk(g_children_mu);
    Children()[static_cast<pid_type>(pi.dwProcessId)] = pi.hProcess;
    return static_cast<pid_type>(pi.dwProcessId);
}

// The child's handle, taken out of the table when `take`; opened by id when it is not a
// child of ours.
HANDLE ChildHandle(pid_type pid, bool take, bool* owned) {
    {
        std::lock_guard<std::mutex> lk(g_children_mu);
        auto it = Children().find(pid);
        if (it != Children().end()) {
            HANDLE h = it->second;
            if (take) Children().erase(it);
            *owned = take;
            return h;
        }
    }
    *owned = true;
    return ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                         static_cast<DWORD>(pid));
}

}  // namespace

std::string GetEnv(const char* name) {
    return internal::EnvVar(name);
}

bool IsEnvSet(const char* name) {
    char c;
    ::SetLastError(ERROR_SUCCESS);
    return ::GetEnvironmentVariableA(name, &c, 1) > 0 || ::GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

bool SetEnv(const char* name, const char* value) {
    // The process's block, which this layer reads, and the C run time's copy, which
    // getenv reads.
    return ::SetEnvironmentVariableA(name, value) && ::_putenv_s(name, value) == 0;
}

pid_type SpawnProcess(const std::vector<std::string>& argv) {
    return Spawn(argv, nullptr);
}

pid_type SpawnProcess(const std::vector<std::string>& argv, const std::string& stdout_path) {
    return Spawn(argv, stdout_path.c_str());
}

uint32_t ExpandEnvironmentStringsA(const char* src, char* dst, uint32_t size) {
    if (!src) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return ::ExpandEnvironmentStringsA(src, size ? dst : nullptr, size);
}

bool CreateProcessA(const char* command_line, pid_type* pid) {
    if (!command_line) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string line = command_line;  // CreateProcessA may write into the line
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                          &pi))
        return false;
    ::CloseHandle(pi.hThread);
    if (!pid) {
        ::CloseHandle(pi.hProcess);
        return true;
    }
    std::lock_guard<std::mutex> lk(g_children_mu);
    Children()[static_cast<pid_type>(pi.dwProcessId)] = pi.hProcess;
    *pid = static_cast<pid_type>(pi.dwProcessId);
    return true;
}

int WaitProcess(pid_type pid) {
    bool owned = false;
    HANDLE h = ChildHandle(pid, true, &owned);
    if (!h) return -1;
    DWORD code = 0;
    const bool ok =
        ::WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0 && ::GetExitCodeProcess(h, &code);
    if (owned) ::CloseHandle(h);
    return ok ? static_cast<int>(code) : -1;
}

bool KillProcess(pid_type pid) {
    bool owned = false;
    HANDLE h = ChildHandle(pid, false, &owned);
    if (!h) return false;
    // The status a POSIX child killed by SIGKILL reports.
    const bool ok = ::TerminateProcess(h, 128 + 9);
    if (owned) ::CloseHandle(h);
    return ok;
}

long CurrentProcessId() {
    return static_cast<long>(::GetCurrentProcessId());
}

}  // namespace kvp

namespace kvp::internal {

std::string EnvVar(const char* name) {
    if (!name) return {};
    std::string value(256, '\0');
    for (;;) {
        const DWORD n =
            ::GetEnvironmentVariableA(name, value.data(), static_cast<DWORD>(value.size()));
        if (n == 0) return {};
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);
    }
}

}  // namespace kvp::internal

namespace kvp {

intptr_t ShellExecuteA(void* owner, const char* verb, const char* file, const char* params,
                       const char* dir, int show) {
    // The shell's own call, by its real name outside this namespace.
    return reinterpret_cast<intptr_t>(::ShellExecuteA(static_cast<HWND>(owner), verb, file, params,
                                                      dir, show));
}

}  // namespace kvp
