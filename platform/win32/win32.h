// What every file of the Win32 backend includes first: the Windows headers, with the
// Windows Sockets 1.1 header, and the backend's small shared helpers.
#pragma once

// clang-format off
#include <windows.h>
#include <winsock.h>
// clang-format on

#include <cstdio>
#include <string>

// <windows.h> makes these names macros of its A/W pairs; ours are not the Windows calls.
#undef ReadEventLog

namespace kvp::internal {

// An environment variable as the process holds it ("" when unset); read on every call,
// since tests change them between cases.
std::string EnvVar(const char* name);

// Appends the text to the file in one write; files opened this way by several threads
// and processes get whole appends that never mix.
bool AppendToFile(const std::string& path, const std::string& text);

// Creates the directory and its missing parents (either separator); false (last error
// set) when that fails or something other than a directory stands at the path.
bool MakeDirs(const std::string& path);

// A stream over an open file handle (_O_RDONLY or _O_WRONLY, binary; stream mode "rb" or
// "wb"); it owns the handle from here on, and on failure the handle is closed and the last
// error set.
std::FILE* StreamOverHandle(HANDLE h, int flags, const char* mode);

}  // namespace kvp::internal
