// The Windows rules of a root to serve and of device names, kept portable for the tests.
#include <cctype>
#include <string>

#include "kv/serve_root.h"
#include "kv/text.h"

namespace kvp {

const char* ServeRootConcernText(ServeRootConcern concern) {
    switch (concern) {
        case ServeRootConcern::kFileSystemRoot:
            return "the top of a file system";
        case ServeRootConcern::kSystemDirectory:
            return "a system directory";
        case ServeRootConcern::kServerState:
            return "a directory that holds the server's own state";
        case ServeRootConcern::kNone:
            break;
    }
    return "a directory";
}

namespace internal {

namespace {

// Backslashes, no trailing separator (except a lone one), ASCII lower case, and the
// "\\?\" forms as their plain ones: "\\?\C:\" and "\\?\UNC\host\share" name the same
// places as "C:\" and "\\host\share".
std::string Normalised(const std::string& path) {
    std::string s = ToAsciiLower(path);
    for (char& c : s) {
        if (c == '/') c = '\\';
    }
    if (s.rfind("\\\\?\\unc\\", 0) == 0) {
        s = "\\\\" + s.substr(8);
    } else if (s.rfind("\\\\?\\", 0) == 0 || s.rfind("\\\\.\\", 0) == 0) {
        s = s.substr(4);
    }
    while (s.size() > 1 && s.back() == '\\') s.pop_back();
    return s;
}

bool EqualOrBelow(const std::string& path, const std::string& dir) {
    if (dir.empty()) return false;
    if (path.size() < dir.size() || path.compare(0, dir.size(), dir) != 0) return false;
    return path.size() == dir.size() || path[dir.size()] == '\\';
}

size_t CountSteps(const std::string& s) {
    size_t steps = 0;
    bool inStep = false;
    for (char c : s) {
        if (c == '\\') {
            inStep = false;
        } else if (!inStep) {
            inStep = true;
            ++steps;
        }
    }
    return steps;
}

bool IsDriveRoot(const std::string& s) {
    return (s.size() == 2 || (s.size() == 3 && s[2] == '\\')) &&
           std::isalpha(static_cast<unsigned char>(s[0])) && s[1] == ':';
}

}  // namespace

ServeRootConcern ClassifyWindowsRoot(const std::string& fullPath, const std::string& windowsDir,
                                     const std::string& systemDir) {
    const std::string p = Normalised(fullPath);
    if (p.empty() || p == "\\" || IsDriveRoot(p)) return ServeRootConcern::kFileSystemRoot;
    if (p.rfind("\\\\", 0) == 0 && CountSteps(p) <= 2) return ServeRootConcern::kFileSystemRoot;
    if (EqualOrBelow(p, Normalised(windowsDir)) || EqualOrBelow(p, Normalised(systemDir)))
        return ServeRootConcern::kSystemDirectory;
    return ServeRootConcern::kNone;
}

bool IsWindowsDeviceName(const std::string& step) {
    // Windows drops trailing dots and blanks, and the device is the name before any dot.
    std::string base = step;
    while (!base.empty() && (base.back() == '.' || base.back() == ' ')) base.pop_back();
    const size_t dot = base.find('.');
    if (dot != std::string::npos) base.resize(dot);
    while (!base.empty() && base.back() == ' ') base.pop_back();
    base = ToAsciiLower(base);
    static const char* const kDevices[] = {"con",    "prn",     "aux",   "nul",
                                           "conin$", "conout$", "clock$"};
    for (const char* d : kDevices) {
        if (base == d) return true;
    }
    // COM1-9 and LPT1-9, also with the superscript digits ¹²³ of code page 1252.
    if (base.size() == 4 && (base.compare(0, 3, "com") == 0 || base.compare(0, 3, "lpt") == 0)) {
        const unsigned char d = static_cast<unsigned char>(base[3]);
        return (d >= '1' && d <= '9') || d == 0xB9 || d == 0xB2 || d == 0xB3;
    }
    return false;
}

}  // namespace internal

}  // namespace kvp
