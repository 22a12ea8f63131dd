// Whether a directory may be the root that a server hands out to anyone who asks.
#pragma once

#include <string>

namespace kvp {

// Why a directory is no root to serve. A TFTP server has no authentication: below the
// top of a file system lies everything, and the system's own directories hold what
// runs (a new DLL there is code that the next program loads).
enum class ServeRootConcern {
    kNone,
    kFileSystemRoot,   // "/", a drive root ("C:\"), a share root ("\\host\share")
    kSystemDirectory,  // the Windows or system directory or below it
    kServerState,      // the server's state directory, below it or above it: its settings
                       // and service records would be served and could be replaced
};

// Looks at the directory as the system resolves it (links, "." and ".." followed). A
// root that cannot be resolved is kNone: nothing can be opened below it either.
ServeRootConcern ClassifyServeRoot(const char* root);

// A short English phrase for a concern ("the top of a file system"), for log lines.
const char* ServeRootConcernText(ServeRootConcern concern);

namespace internal {

// The Windows rules over full paths (as GetFullPathName gives them), apart from the
// system calls so that they can be checked anywhere: a drive root, a share root (also
// in their "\\?\" forms), or a path equal to or below one of the system directories
// (compared without regard to case, '/' and '\' alike).
ServeRootConcern ClassifyWindowsRoot(const std::string& fullPath, const std::string& windowsDir,
                                     const std::string& systemDir);

// True for a name step that Windows opens as a device in every directory: CON, PRN, AUX,
// NUL, COM1-9, LPT1-9, CONIN$, CONOUT$ and CLOCK$, without regard to case, also with an
// extension ("NUL.txt") and with the trailing dots and blanks that Windows strips.
bool IsWindowsDeviceName(const std::string& step);

}  // namespace internal

}  // namespace kvp
