// Environment and child processes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvp {

// The variable's value, or "" when it is not set.
std::string GetEnv(const char* name);
bool IsEnvSet(const char* name);
bool SetEnv(const char* name, const char* value);

// Replaces each %NAME% of src by the variable's value (names ignore case, as Windows
// environment names do); a reference to an unset variable stays as written. Writes the
// result with its terminator when it fits into size bytes; returns the size the result
// needs, terminator included (larger than size: nothing written), or 0 on failure.
uint32_t ExpandEnvironmentStringsA(const char* src, char* dst, uint32_t size);

using pid_type = long;

// Starts a program with the arguments (argv[0] is the program path); -1 on failure.
pid_type SpawnProcess(const std::vector<std::string>& argv);
// The same with the child's standard output written to a file (created or emptied), so
// that a caller can read what a console program printed.
pid_type SpawnProcess(const std::vector<std::string>& argv, const std::string& stdout_path);
// Starts a program from a Windows command line, as CreateProcessA(NULL, command_line,
// ...) with no inherited handles, no creation flags and default start-up information:
// the first word (in double quotes when it holds blanks) names the program, the rest are
// its arguments by the Windows quoting rules. The program name follows the file name
// rule of LoadLibraryA, a Windows system program maps to its stand-in ("eventvwr.exe" to
// kveventvwr, "control.exe" to kvcontrol, "sc.exe" to kvsc), and a name without a
// directory is looked for beside the calling program, then on the PATH. True once the
// program runs; false (system's last error set) when it cannot be found or started. The
// caller does not wait: without `pid` the child is never left to the caller to reap;
// with it the child is the caller's, to end with WaitProcess.
bool CreateProcessA(const char* command_line, pid_type* pid = nullptr);
// Waits for the child to end; its exit status (128 + signal when killed), or -1.
int WaitProcess(pid_type pid);
// Ends the child at once (SIGKILL on POSIX).
bool KillProcess(pid_type pid);
long CurrentProcessId();

// Opens a document with the program the desktop associates with it (the shell's
// default action), as ShellExecuteA does: file is taken relative to dir when it has no
// directory, and Windows file names follow the file name rule. A result above 32 means
// the program was started; 2 (the file was not found) or 31 (nothing opens it)
// otherwise. The caller does not wait.
constexpr int kSwShowNormal = 1;
intptr_t ShellExecuteA(void* owner, const char* verb, const char* file, const char* params,
                       const char* dir, int show);

}  // namespace kvp
