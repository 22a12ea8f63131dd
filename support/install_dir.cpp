#include "install_dir.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kv/paths.h"
#include "kv/registry.h"

namespace {

char g_installDirectory[kPathRoom];

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

}  // namespace

const char* ReadSvcInstallDirectory() {
    char* dir = g_installDirectory;
    dir[0] = '\0';
    kvp::RegKey key;
    long rc = kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKeyPath, kvp::kKeyRead, key.out());
    if (rc != kvp::kErrorSuccess) {
        std::printf("Open key failed, error code %ld.\n", rc);
        return dir;
    }
    uint32_t size = kPathRoom;
    rc = kvp::RegQueryValueExA(key.get(), "RootDirectory", nullptr, reinterpret_cast<uint8_t*>(dir),
                               &size);
    if (rc != kvp::kErrorSuccess) {
        dir[0] = '\0';
        std::printf("Query value failed, error code %ld.\n", rc);
        return dir;
    }
    // A value that fills the buffer without a terminator is no text: take it as missing.
    const size_t len = strnlen(dir, kPathRoom);
    if (len == kPathRoom) {
        dir[0] = '\0';
        return dir;
    }
    if (len > 0 && !IsSeparator(dir[len - 1])) {
        // No room for the separator: a directory cut short would name another one.
        if (len + 1 >= kPathRoom) {
            dir[0] = '\0';
            return dir;
        }
        dir[len] = kvp::kPathSep;
        dir[len + 1] = '\0';
    }
    return dir;
}

bool ComposeInstalledPath(char* out, size_t room, const char* fileName) {
    const char* dir = ReadSvcInstallDirectory();
    const int n = std::snprintf(out, room, "%s%s", dir, fileName);
    if (n < 0 || static_cast<size_t>(n) >= room) {
        if (room > 0) out[0] = '\0';
        return false;
    }
    return true;
}
