#include "kv/dynlib.h"

#include <cstring>
#include <vector>

#include "win32.h"

namespace kvp {

// A library handle is the module handle itself.
HLibrary LoadLibraryA(const char* name) {
    if (!name || !*name) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<HLibrary>(::LoadLibraryA(name));
}

void* GetProcAddress(HLibrary lib, const char* name) {
    if (!lib || !name) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(reinterpret_cast<HMODULE>(lib), name));
}

bool FreeLibrary(HLibrary lib) {
    if (!lib) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::FreeLibrary(reinterpret_cast<HMODULE>(lib));
}

bool GetModuleFileNameA(char* buf, unsigned size) {
    std::vector<char> tmp(MAX_PATH + 1);
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, tmp.data(), static_cast<DWORD>(tmp.size()));
        if (n == 0) return false;
        if (n < tmp.size()) {
            if (!buf || n + 1 > size) {
                ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
                return false;
            }
            std::memcpy(buf, tmp.data(), n + 1);
            return true;
        }
        if (tmp.size() >= 32768) return false;
        tmp.resize(tmp.size() * 2);
    }
}

}  // namespace kvp
