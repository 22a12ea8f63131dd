// Run-time loading of shared libraries by file name, and the string tables they carry.
#pragma once

#include <cstdint>

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

// The string resource `id` of a loaded library into buf (size bytes with the terminator;
// a longer text is cut to fit): the number of characters copied, 0 (buf emptied) when
// the library has no such string.
int LoadStringA(HLibrary lib, uint32_t id, char* buf, int size);

// Owns a loaded library and frees it on every path.
class ScopedLibrary {
  public:
    explicit ScopedLibrary(HLibrary lib = nullptr) : lib_(lib) {}
    ~ScopedLibrary() {
        if (lib_) FreeLibrary(lib_);
    }
    ScopedLibrary(const ScopedLibrary&) = delete;
    ScopedLibrary& operator=(const ScopedLibrary&) = delete;
    HLibrary get() const { return lib_; }
    explicit operator bool() const { return lib_ != nullptr; }

  private:
    HLibrary lib_;
};

}  // namespace kvp

// A module's string table, the texts that LoadStringA finds: pairs of a decimal
// identifier and its text, each ended by a NUL, as in
//   KV_STRING_TABLE(kStrings) = "116\0" "TFTP Server\0";
// (the Windows build takes them from the module's resource script instead).
#if defined(_WIN32)
#define KV_STRING_TABLE(name) [[maybe_unused]] static const char name[]
#else
#define KV_STRING_TABLE(name) __attribute__((section("kvstrtbl"), used)) static const char name[]
#endif
