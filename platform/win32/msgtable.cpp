// Message tables of module files, through the system's own formatter.
#include "kv/msgtable.h"

#include <cstdio>
#include <string>
#include <vector>

#include "win32.h"

namespace kvp {

bool FormatModuleMessage(const char* module_path, uint32_t id, const char* const* inserts,
                         size_t count, std::string* out) {
    if (!module_path || !out || (count && !inserts)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    // Read as data, never run.
    HMODULE module = ::LoadLibraryExA(module_path, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) return false;
    // FormatMessageA reads every insert the text names: those beyond `count` stand for
    // themselves ("%5"), as the interface promises, instead of reading past the array.
    constexpr size_t kMaxInserts = 99;
    char own[kMaxInserts][4];
    std::vector<char*> args(kMaxInserts);
    for (size_t i = 0; i < kMaxInserts; ++i) {
        if (i < count) {
            args[i] = const_cast<char*>(inserts[i] ? inserts[i] : "");
        } else {
            std::snprintf(own[i], sizeof own[i], "%%%u", static_cast<unsigned>(i + 1));
            args[i] = own[i];
        }
    }
    char* text = nullptr;
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                         FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                     module, id, 0, reinterpret_cast<char*>(&text), 0,
                                     reinterpret_cast<va_list*>(args.data()));
    const DWORD err = ::GetLastError();
    ::FreeLibrary(module);
    if (n == 0) {
        ::SetLastError(err);
        return false;
    }
    // The text is cut at 64 KiB, the limit of FormatMessageA's buffer.
    out->assign(text, n > 65535 ? 65535 : n);
    ::LocalFree(text);
    return true;
}

}  // namespace kvp
