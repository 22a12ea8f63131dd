#include "loader.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/registry.h"
#include "kv/ui.h"

namespace {

constexpr const char* kServerKey = "SOFTWARE\\Korvane\\TFTP Server";
constexpr const char* kSupportLibrary = "KVTFTPASC.DLL";
constexpr size_t kPathRoom = 261;

char g_installLocation[kPathRoom];

void RegistryWarning(const char* text) {
    kvp::MessageBoxA(nullptr, text, "Registry error", kvp::kMbIconWarning);
}

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// "RootDirectory" into buf (kPathRoom bytes); false when the key or the value cannot be
// read, or when the value is no terminated text within the room.
long ReadRootDirectory(char* buf, bool* keyOpened) {
    buf[0] = '\0';
    kvp::RegKey key;
    long rc = kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyRead, key.out());
    *keyOpened = rc == kvp::kErrorSuccess;
    if (rc != kvp::kErrorSuccess) return rc;
    uint32_t size = kPathRoom;
    rc = kvp::RegQueryValueExA(key.get(), "RootDirectory", nullptr, reinterpret_cast<uint8_t*>(buf),
                               &size);
    if (rc == kvp::kErrorSuccess && strnlen(buf, kPathRoom) == kPathRoom) rc = kvp::kErrorMoreData;
    if (rc != kvp::kErrorSuccess) buf[0] = '\0';
    return rc;
}

// Loads dir + name; a path that does not fit is not tried.
kvp::HLibrary LoadFrom(const char* dir, const char* separator, const char* name) {
    char path[kPathRoom + 16];
    const int n = std::snprintf(path, sizeof path, "%s%s%s", dir, separator, name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path) return nullptr;
    return kvp::LoadLibraryA(path);
}

}  // namespace

const char* InstallLocation() {
    return g_installLocation;
}

void ReadInstallLocation() {
    char dir[kPathRoom];
    bool keyOpened = false;
    if (ReadRootDirectory(dir, &keyOpened) != kvp::kErrorSuccess) {
        RegistryWarning(keyOpened ? "Unable to get the TFTP server install location."
                                  : "Unable to open the TFTP server registry key.");
        return;
    }
    const size_t len = std::strlen(dir);
    if (len > 0 && len < kPathRoom - 1 && !IsSeparator(dir[len - 1])) {
        dir[len] = kvp::kPathSep;
        dir[len + 1] = '\0';
    }
    std::memcpy(g_installLocation, dir, std::strlen(dir) + 1);
}

kvp::HLibrary LoadSupportLibrary() {
    if (kvp::HLibrary lib = kvp::LoadLibraryA(kSupportLibrary)) return lib;
    ReadInstallLocation();
    if (kvp::HLibrary lib = LoadFrom(g_installLocation, "", kSupportLibrary)) return lib;
    kvp::MessageBoxA(nullptr, "Failed to find the resource library. Aborting.",
                     "Load TFTP server DLL", kvp::kMbIconWarning);
    return nullptr;
}

kvp::HLibrary LoadServerEngine() {
    if (kvp::HLibrary lib = kvp::LoadLibraryA("kvtftptsv.dll")) return lib;
    char dir[kPathRoom];
    bool keyOpened = false;
    ReadRootDirectory(dir, &keyOpened);
    // A directory that ends with a separator gets a second one, which the system takes.
    const char separator[2] = {kvp::kPathSep, '\0'};
    return LoadFrom(dir, separator, "KVTFTPTSV.DLL");
}

bool BindExports(kvp::HLibrary lib, const ExportBinding* bindings, size_t count,
                 const char** missing) {
    for (size_t i = 0; i < count; ++i) {
        void* p = kvp::GetProcAddress(lib, bindings[i].name);
        if (p == nullptr) {
            if (missing != nullptr) *missing = bindings[i].name;
            return false;
        }
        *bindings[i].slot = p;
    }
    return true;
}
