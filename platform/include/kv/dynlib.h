// Run-time loading of shared libraries by file name.
#pragma once

namespace kvp {

struct LibraryState;
using HLibrary = LibraryState*;

// Loads a library; a plain name is looked for beside the calling program first, then on
// the system search path. Null on failure.
HLibrary LoadLibraryA(const char* name);
void* GetProcAddress(HLibrary lib, const char* name);
bool FreeLibrary(HLibrary lib);
// Full path of the running program.
bool GetModuleFileNameA(char* buf, unsigned size);

}  // namespace kvp
