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
