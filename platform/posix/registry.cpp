// The registry calls on the stand-in's store: handles (a hive and a key path, checked
// against the set of open ones on every call), access rights, and the Windows calls'
// result codes and size semantics.
#include "kv/registry.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "kv/text.h"
#include "registry_store.h"

namespace kvp {

struct RegKeyState {
    int hive;          // index into kHiveNames
    std::string path;  // components joined by '\', as first written; "" is the hive root
    uint32_t sam;
};

namespace {

using internal::ChildPath;
using internal::Hive;
using internal::HiveKey;
using internal::HiveValue;
using internal::kErrorRegistryIo;
using internal::LoadHive;
using internal::ModifyHive;

constexpr long kErrorKeyDeleted = 1018;

constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;

// A key that every Windows machine has and that programs open without creating it (the
// control panel's list of applets): opening it creates it when it is not there yet.
constexpr const char* kWellKnownMachineKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";

RegKeyState g_hklm{0, std::string(), kKeyAllAccess};
RegKeyState g_hkcu{1, std::string(), kKeyAllAccess};

std::mutex g_handles_mu;
std::unordered_set<RegKeyState*>* g_handles = nullptr;  // while a handle is open

bool ValidHandle(HKey key) {
    if (!key) return false;
    if (key == &g_hklm || key == &g_hkcu) return true;
    std::lock_guard<std::mutex> lock(g_handles_mu);
    return g_handles && g_handles->count(key) != 0;
}

HKey NewHandle(int hive, const std::string& path, uint32_t sam) {
    HKey h = new RegKeyState{hive, path, sam};
    std::lock_guard<std::mutex> lock(g_handles_mu);
    if (!g_handles) g_handles = new std::unordered_set<RegKeyState*>;
    g_handles->insert(h);
    return h;
}

// A handle's key as it is in the file now; a key deleted since it was opened is gone.
long LoadKey(HKey key, Hive* hive, HiveKey** out) {
    long r = LoadHive(key->hive, hive);
    if (r != kErrorSuccess) return r;
    *out = hive->find(key->path);
    return *out ? kErrorSuccess : kErrorKeyDeleted;
}

bool ValidKeyName(const char* subkey) {
    for (const char* p = subkey; *p; ++p)
        if (*p == '\n' || *p == '\r') return false;
    return true;
}

// Sets the system's last error to match a refusal that no system call made, so that a
// caller who reports the last error shows a fitting text.
long Fail(long code) {
    switch (code) {
        case kErrorFileNotFound:
        case kErrorKeyDeleted:
            errno = ENOENT;
            break;
        case kErrorAccessDenied:
            errno = EACCES;
            break;
        case kErrorInvalidHandle:
            errno = EBADF;
            break;
        default:
            errno = EINVAL;
    }
    return code;
}

// Copies data out with the query semantics: room in *size, needed size back in *size.
long CopyOut(const std::string& src, uint8_t* data, uint32_t* size) {
    uint32_t len = static_cast<uint32_t>(src.size());
    if (!data) {
        if (size) *size = len;
        return kErrorSuccess;
    }
    if (!size) return Fail(kErrorInvalidParameter);
    if (*size < len) {
        *size = len;
        return kErrorMoreData;
    }
    if (len) std::memcpy(data, src.data(), len);
    *size = len;
    return kErrorSuccess;
}

}  // namespace

const HKey kHkeyLocalMachine = &g_hklm;
const HKey kHkeyCurrentUser = &g_hkcu;

long RegOpenKeyExA(HKey root, const char* subkey, uint32_t sam, HKey* out) {
    if (!out) return Fail(kErrorInvalidParameter);
    *out = nullptr;
    if (!ValidHandle(root)) return Fail(kErrorInvalidHandle);
    try {
        Hive hive;
        long r = LoadHive(root->hive, &hive);
        if (r != kErrorSuccess) return r;
        if (!hive.find(root->path)) return Fail(kErrorKeyDeleted);
        const std::string path = ChildPath(root->path, subkey);
        HiveKey* key = hive.find(path);
        if (!key && root->hive == g_hklm.hive && EqualNoCase(path, kWellKnownMachineKey)) {
            uint32_t disposition = 0;
            return RegCreateKeyExA(&g_hklm, kWellKnownMachineKey, sam, out, &disposition);
        }
        if (!key) return Fail(kErrorFileNotFound);
        *out = NewHandle(root->hive, key->path, sam);
        return kErrorSuccess;
    } catch (...) {
        return kErrorRegistryIo;
    }
}

long RegCreateKeyExA(HKey root, const char* subkey, uint32_t sam, HKey* out,
                     uint32_t* disposition) {
    if (!out) return Fail(kErrorInvalidParameter);
    *out = nullptr;
    if (!ValidHandle(root)) return Fail(kErrorInvalidHandle);
    if (subkey && !ValidKeyName(subkey)) return Fail(kErrorInvalidParameter);
    try {
        std::string path = ChildPath(root->path, subkey);
        std::string stored;
        bool created = false;
        long r = ModifyHive(root->hive, [&](Hive& hive, bool* changed) {
            if (!hive.find(root->path)) return Fail(kErrorKeyDeleted);
            if (HiveKey* existing = hive.find(path)) {
                stored = existing->path;
                return kErrorSuccess;
            }
            if (!(root->sam & kKeyCreateSubKey)) return Fail(kErrorAccessDenied);
            HiveKey* key = nullptr;
            created = hive.create(path, &key);
            stored = key->path;
            *changed = created;
            return kErrorSuccess;
        });
        if (r != kErrorSuccess) return r;
        if (disposition) *disposition = created ? kRegCreatedNewKey : kRegOpenedExistingKey;
        *out = NewHandle(root->hive, stored, sam);
        return kErrorSuccess;
    } catch (...) {
        return kErrorRegistryIo;
    }
}

long RegCloseKey(HKey key) {
    if (!key) return Fail(kErrorInvalidHandle);
    if (key == &g_hklm || key == &g_hkcu) return kErrorSuccess;
    {
        std::lock_guard<std::mutex> lock(g_handles_mu);
        if (!g_handles || g_handles->erase(key) == 0) return Fail(kErrorInvalidHandle);
        // The last handle takes the set with it: a library that used handles and is
        // unloaded leaves nothing behind that no one can reach.
        if (g_handles->empty()) {
            delete g_handles;
            g_handles = nullptr;
        }
    }
    delete key;
    return kErrorSuccess;
}

long RegQueryValueExA(HKey key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) {
    if (!ValidHandle(key)) return Fail(kErrorInvalidHandle);
    if (data && !size) return Fail(kErrorInvalidParameter);
    if (!(key->sam & kKeyQueryValue)) return Fail(kErrorAccessDenied);
    try {
        Hive hive;
        HiveKey* k = nullptr;
        long r = LoadKey(key, &hive, &k);
        if (r != kErrorSuccess) return r;
        HiveValue* v = k->find(name ? name : "");
        if (!v) return Fail(kErrorFileNotFound);
        if (type) *type = v->type;
        return CopyOut(v->data, data, size);
    } catch (...) {
        return kErrorRegistryIo;
    }
}

long RegSetValueExA(HKey key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) {
    if (!ValidHandle(key)) return Fail(kErrorInvalidHandle);
    if (!data && size) return Fail(kErrorInvalidParameter);
    if (!(key->sam & kKeySetValue)) return Fail(kErrorAccessDenied);
    try {
        std::string value_name = name ? name : "";
        std::string bytes = data ? std::string(reinterpret_cast<const char*>(data), size) : "";
        return ModifyHive(key->hive, [&](Hive& hive, bool* changed) {
            HiveKey* k = hive.find(key->path);
            if (!k) return Fail(kErrorKeyDeleted);
            if (HiveValue* v = k->find(value_name)) {
                v->type = type;
                v->data = bytes;
            } else {
                k->values.push_back(HiveValue{value_name, type, bytes});
            }
            *changed = true;
            return kErrorSuccess;
        });
    } catch (...) {
        return kErrorRegistryIo;
    }
}

long RegDeleteValueA(HKey key, const char* name) {
    if (!ValidHandle(key)) return Fail(kErrorInvalidHandle);
    if (!(key->sam & kKeySetValue)) return Fail(kErrorAccessDenied);
    try {
        std::string value_name = name ? name : "";
        return ModifyHive(key->hive, [&](Hive& hive, bool* changed) {
            HiveKey* k = hive.find(key->path);
            if (!k) return Fail(kErrorKeyDeleted);
            HiveValue* v = k->find(value_name);
            if (!v) return Fail(kErrorFileNotFound);
            k->values.erase(k->values.begin() + (v - k->values.data()));
            *changed = true;
            return kErrorSuccess;
        });
    } catch (...) {
        return kErrorRegistryIo;
    }
}

long RegDeleteKeyA(HKey root, const char* subkey) {
    if (!ValidHandle(root)) return Fail(kErrorInvalidHandle);
    if (!subkey) return Fail(kErrorInvalidParameter);
    try {
        std::string path = ChildPath(root->path, subkey);
        if (path.empty()) return Fail(kErrorAccessDenied);  // a hive's root stays
        return ModifyHive(root->hive, [&](Hive& hive, bool* changed) {
            if (!hive.find(root->path)) return Fail(kErrorKeyDeleted);
            if (!hive.find(path)) return Fail(kErrorFileNotFound);
            if (hive.hasSubkeys(path)) return Fail(kErrorAccessDenied);
            hive.keys.erase(ToAsciiLower(path));
            *changed = true;
            return kErrorSuccess;
        });
    } catch (...) {
        return kErrorRegistryIo;
    }
}

long RegEnumKeyA(HKey key, uint32_t index, char* name, uint32_t name_size) {
    if (!ValidHandle(key)) return Fail(kErrorInvalidHandle);
    if (!name) return Fail(kErrorInvalidParameter);
    if (!(key->sam & kKeyEnumerateSubKeys)) return Fail(kErrorAccessDenied);
    try {
        Hive hive;
        HiveKey* k = nullptr;
        long r = LoadKey(key, &hive, &k);
        if (r != kErrorSuccess) return r;
        std::vector<std::string> names = hive.subkeys(k->path);
        if (index >= names.size()) return kErrorNoMoreItems;
        const std::string& n = names[index];
        if (name_size < n.size() + 1) return kErrorMoreData;
        std::memcpy(name, n.c_str(), n.size() + 1);
        return kErrorSuccess;
    } catch (...) {
        return kErrorRegistryIo;
    }
}

long RegEnumValueA(HKey key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                   uint8_t* data, uint32_t* data_size) {
    if (!ValidHandle(key)) return Fail(kErrorInvalidHandle);
    if (!name || !name_size || (data && !data_size)) return Fail(kErrorInvalidParameter);
    if (!(key->sam & kKeyQueryValue)) return Fail(kErrorAccessDenied);
    try {
        Hive hive;
        HiveKey* k = nullptr;
        long r = LoadKey(key, &hive, &k);
        if (r != kErrorSuccess) return r;
        if (index >= k->values.size()) return kErrorNoMoreItems;
        const HiveValue& v = k->values[index];
        if (*name_size < v.name.size() + 1) return kErrorMoreData;
        std::memcpy(name, v.name.c_str(), v.name.size() + 1);
        *name_size = static_cast<uint32_t>(v.name.size());
        if (type) *type = v.type;
        return CopyOut(v.data, data, data_size);
    } catch (...) {
        return kErrorRegistryIo;
    }
}

}  // namespace kvp
