// Windows names on POSIX, and the rule that maps the Windows file names of the
// deliverables to their Linux names: lower case; ".DLL" becomes ".so"; ".EXE" is
// dropped; ".CPL" stays.
#pragma once

#include <string>
#include <vector>

#include "kv/dynlib.h"
#include "kv/text.h"

namespace kvp::internal {

// Only the last path component changes.
inline std::string LinuxFileName(const std::string& name) {
    const size_t slash = name.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    std::string base = ToAsciiLower(name.substr(start));
    if (EndsWithNoCase(base, ".dll")) {
        base.replace(base.size() - 4, 4, ".so");
    } else if (EndsWithNoCase(base, ".exe")) {
        base.resize(base.size() - 4);
    }
    return name.substr(0, start) + base;
}

// The running program's directory with a trailing '/', or "" when it is unknown.
inline std::string ProgramDirectory() {
    char path[4096];
    if (!GetModuleFileNameA(path, sizeof path)) return {};
    std::string dir = path;
    dir.resize(dir.rfind('/') + 1);
    return dir;
}

// The directories of a colon-separated list such as PATH, empty entries left out.
inline std::vector<std::string> DirectoryList(const std::string& list) {
    std::vector<std::string> dirs;
    for (size_t start = 0; start <= list.size();) {
        size_t colon = list.find(':', start);
        if (colon == std::string::npos) colon = list.size();
        if (colon > start) dirs.push_back(list.substr(start, colon - start));
        start = colon + 1;
    }
    return dirs;
}

// The first directory/name of the list for which `fits` holds, or "".
template <typename Fits>
std::string FindInDirectories(const std::vector<std::string>& dirs, const std::string& name,
                              Fits fits) {
    for (const std::string& d : dirs) {
        if (d.empty()) continue;
        const std::string path = d + (d.back() == '/' ? "" : "/") + name;
        if (fits(path)) return path;
    }
    return {};
}

}  // namespace kvp::internal
