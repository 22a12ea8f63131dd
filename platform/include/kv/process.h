// Environment and child processes.
#pragma once

#include <string>
#include <vector>

namespace kvp {

// The variable's value, or "" when it is not set.
std::string GetEnv(const char* name);
bool IsEnvSet(const char* name);
bool SetEnv(const char* name, const char* value);

using pid_type = long;

// Starts a program with the arguments (argv[0] is the program path); -1 on failure.
pid_type SpawnProcess(const std::vector<std::string>& argv);
// The same with the child's standard output written to a file (created or emptied), so
// that a caller can read what a console program printed.
pid_type SpawnProcess(const std::vector<std::string>& argv, const std::string& stdout_path);
// Waits for the child to end; its exit status (128 + signal when killed), or -1.
int WaitProcess(pid_type pid);
// Ends the child at once (SIGKILL on POSIX).
bool KillProcess(pid_type pid);
long CurrentProcessId();

// Starts a program from a command line, without waiting for it and without keeping it
// as a child; true when it was started.
bool CreateProcessA(const char* commandLine);

}  // namespace kvp
