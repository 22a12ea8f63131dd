// Termination requests (SIGINT and SIGTERM on POSIX; on Windows Ctrl-C, Ctrl-Break and
// closing the console, reported as SIGINT, SIGBREAK and SIGTERM) for foreground
// programs that run until the operator stops them.
#pragma once

namespace kvp {

// Holds termination requests for WaitForTerminationSignal instead of letting them end
// the process. Call it before any thread starts: threads inherit the setting.
bool BlockTerminationSignals();

// Waits until a termination request arrives; returns its signal number (or -1 when
// the wait itself failed). BlockTerminationSignals must have been called first.
int WaitForTerminationSignal();

}  // namespace kvp
