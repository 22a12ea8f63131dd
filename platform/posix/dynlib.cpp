#include "kv/dynlib.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "elf_section.h"
#include "win_names.h"

namespace kvp {

struct LibraryState {
    void* handle = nullptr;
};

namespace {

std::string ProgramPath() {
    std::vector<char> buf(4096);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<size_t>(n));
        if (buf.size() >= (1u << 16)) return {};
        buf.resize(buf.size() * 2);
    }
}

using internal::LinuxFileName;

void* OpenOne(const std::string& name, bool* seen) {
    const bool plain = name.find('/') == std::string::npos;
    if (plain) {
        // Beside the running program first, as Windows searches the application's directory.
        std::string exe = ProgramPath();
        const size_t slash = exe.rfind('/');
        if (slash != std::string::npos) {
            std::string path = exe.substr(0, slash + 1) + name;
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0) {
                *seen = true;
                if (void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
            }
        }
    } else {
        struct stat st {};
        if (::stat(name.c_str(), &st) == 0) *seen = true;
    }
    return ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
}

constexpr uint64_t kMaxStringTable = 1u << 20;

// The text of `id` in a string table: "id\0text\0" pairs. Null when there is none.
const char* FindString(const std::vector<uint8_t>& table, uint32_t id) {
    const char* p = reinterpret_cast<const char*>(table.data());
    const char* end = p + table.size();
    while (p < end) {
        const char* idEnd = static_cast<const char*>(std::memchr(p, '\0', end - p));
        if (!idEnd || idEnd + 1 >= end) return nullptr;
        const char* text = idEnd + 1;
        const char* textEnd = static_cast<const char*>(std::memchr(text, '\0', end - text));
        if (!textEnd) return nullptr;
        char* parsed = nullptr;
        const unsigned long n = std::strtoul(p, &parsed, 10);
        if (parsed == idEnd && idEnd != p && n == id) return text;
        p = textEnd + 1;
        // Sections are padded with NULs after the last pair.
        while (p < end && *p == '\0') ++p;
    }
    return nullptr;
}

}  // namespace

HLibrary LoadLibraryA(const char* name) {
    if (!name || !*name) {
        errno = EINVAL;
        return nullptr;
    }
    std::vector<std::string> candidates{name};
    const std::string mapped = internal::LinuxFileName(name);
    if (mapped != candidates.front()) candidates.push_back(mapped);
    bool seen = false;
    for (const std::string& c : candidates) {
        if (void* h = OpenOne(c, &seen)) {
            LibraryState* lib = new (std::nothrow) LibraryState;
            if (!lib) {
                ::dlclose(h);
                errno = ENOMEM;
                return nullptr;
            }
            lib->handle = h;
            return lib;
        }
    }
    // A file that exists but cannot be loaded is reported differently from none at all.
    errno = seen ? ENOEXEC : ENOENT;
    return nullptr;
}

void* GetProcAddress(HLibrary lib, const char* name) {
    if (!lib || !name) {
        errno = EINVAL;
        return nullptr;
    }
    ::dlerror();
    void* p = ::dlsym(lib->handle, name);
    if (!p) errno = ENOENT;
    return p;
}

bool FreeLibrary(HLibrary lib) {
    if (!lib) {
        errno = EINVAL;
        return false;
    }
    const int rc = ::dlclose(lib->handle);
    delete lib;
    if (rc != 0) {
        errno = EINVAL;
        return false;
    }
    return true;
}

int LoadStringA(HLibrary lib, uint32_t id, char* buf, int size) {
    if (buf && size > 0) buf[0] = '\0';
    if (!lib || !buf || size <= 0) {
        errno = EINVAL;
        return 0;
    }
    try {
        struct link_map* map = nullptr;
        if (::dlinfo(lib->handle, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name ||
            !*map->l_name) {
            errno = ENOENT;
            return 0;
        }
        std::vector<uint8_t> table;
        if (!internal::ReadElfSection(map->l_name, "kvstrtbl", kMaxStringTable, &table)) return 0;
        const char* text = FindString(table, id);
        if (!text) {
            errno = ENOENT;
            return 0;
        }
        const size_t n = std::min(std::strlen(text), static_cast<size_t>(size - 1));
        std::memcpy(buf, text, n);
        buf[n] = '\0';
        return static_cast<int>(n);
    } catch (...) {
        errno = ENOMEM;
        return 0;
    }
}

bool GetModuleFileNameA(char* buf, unsigned size) {
    const std::string path = ProgramPath();
    if (path.empty()) return false;
    if (!buf || path.size() + 1 > size) {
        errno = ERANGE;
        return false;
    }
    std::memcpy(buf, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace kvp
