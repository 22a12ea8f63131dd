// Debugger output.
#pragma once

namespace kvp {

// Writes the text as one unit to the debugger output: on POSIX standard error, or the
// file named by KVTFTP_DEBUG_LOG when that is set (appended); on Windows
// OutputDebugStringA, and that file too when it is named.
void OutputDebugStringA(const char* text);

// Writes the text to standard error as one line with the local date and time in front:
// what a program run from a console shows of its work.
void WriteConsoleLine(const char* text);

}  // namespace kvp
