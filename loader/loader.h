// Finding the suite's libraries at run time: the support library and the server engine
// are loaded by their plain names first (the program's own directory comes first), then
// from the install directory recorded in the server key.
#pragma once

#include <cstddef>

#include "kv/dynlib.h"

// The install location as last read, ending with a separator (or empty).
const char* InstallLocation();
// Reads "RootDirectory" of the server key into the install location, with a warning
// box when the key or the value cannot be read (the location then stays as it was).
void ReadInstallLocation();
// The support library, or null after the warning box "Load TFTP server DLL".
kvp::HLibrary LoadSupportLibrary();
// The server engine, or null (no message).
kvp::HLibrary LoadServerEngine();

// One function to look up: its name and where its address goes.
struct ExportBinding {
    const char* name;
    void** slot;
};
// Looks every name up; false at the first one missing, with *missing naming it.
bool BindExports(kvp::HLibrary lib, const ExportBinding* bindings, size_t count,
                 const char** missing);

// Binds a typed pointer: ExportBinding{"Name", Slot(&fn)}.
template <class Fn>
void** Slot(Fn* fn) {
    return reinterpret_cast<void**>(fn);
}
