// Debugger output.
#pragma once

namespace kvp {

// Writes the text as one unit to the debugger output: standard error, or the file
// named by KVTFTP_DEBUG_LOG when that is set (appended).
void OutputDebugStringA(const char* text);

}  // namespace kvp
