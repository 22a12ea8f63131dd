// Service records, kept where Windows keeps them: one key per service under
// HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services in the registry stand-in.
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/registry.h"
#include "service_internal.h"
#include "win_names.h"

namespace kvp::internal {

namespace {

constexpr char kServicesKey[] = "SYSTEM\\CurrentControlSet\\Services";
constexpr size_t kMaxServiceName = 256;

std::string KeyPath(const std::string& name) {
    return std::string(kServicesKey) + "\\" + name;
}

long ReadDword(HKey key, const char* value, uint32_t* out) {
    uint32_t v = 0, size = sizeof v, type = 0;
    long r = RegQueryValueExA(key, value, &type, reinterpret_cast<uint8_t*>(&v), &size);
    if (r == kErrorSuccess && type == kRegDword && size == sizeof v) *out = v;
    return r;
}

long ReadText(HKey key, const char* value, std::string* out) {
    uint32_t size = 0;
    long r = RegQueryValueExA(key, value, nullptr, nullptr, &size);
    if (r != kErrorSuccess) return r;
    std::string data(size, '\0');
    r = RegQueryValueExA(key, value, nullptr, reinterpret_cast<uint8_t*>(data.data()), &size);
    if (r != kErrorSuccess) return r;
    data.resize(size);
    *out = data.substr(0, data.find('\0'));
    return kErrorSuccess;
}

long WriteDword(HKey key, const char* value, uint32_t v) {
    return RegSetValueExA(key, value, kRegDword, reinterpret_cast<const uint8_t*>(&v), sizeof v);
}

long WriteText(HKey key, const char* value, uint32_t type, const std::string& text) {
    return RegSetValueExA(key, value, type, reinterpret_cast<const uint8_t*>(text.c_str()),
                          static_cast<uint32_t>(text.size() + 1));
}

// The record key's own spelling of a name given in any case.
long FindRecordName(const std::string& name, std::string* stored) {
    RegKey key;
    long r = RegOpenKeyExA(kHkeyLocalMachine, KeyPath(name).c_str(), kKeyRead, key.out());
    if (r == kErrorFileNotFound) return kErrorServiceDoesNotExist;
    if (r != kErrorSuccess) return r;
    RegKey services;
    r = RegOpenKeyExA(kHkeyLocalMachine, kServicesKey, kKeyRead, services.out());
    if (r != kErrorSuccess) return r;
    char sub[kMaxServiceName + 1];
    for (uint32_t i = 0; RegEnumKeyA(services.get(), i, sub, sizeof sub) == kErrorSuccess; ++i) {
        if (EqualNoCase(sub, name)) {
            *stored = sub;
            return kErrorSuccess;
        }
    }
    *stored = name;
    return kErrorSuccess;
}

long DeleteTree(const std::string& path) {
    {
        RegKey key;
        if (RegOpenKeyExA(kHkeyLocalMachine, path.c_str(), kKeyRead, key.out()) == kErrorSuccess) {
            char sub[kMaxServiceName + 1];
            while (RegEnumKeyA(key.get(), 0, sub, sizeof sub) == kErrorSuccess) {
                long r = DeleteTree(path + "\\" + sub);
                if (r != kErrorSuccess) return r;
            }
        }
    }
    return RegDeleteKeyA(kHkeyLocalMachine, path.c_str());
}

long WriteAllValues(HKey key, const ServiceRecord& rec) {
    long r = WriteDword(key, "Type", rec.type);
    if (r == kErrorSuccess) r = WriteDword(key, "Start", rec.start);
    if (r == kErrorSuccess) r = WriteDword(key, "ErrorControl", rec.errorControl);
    if (r == kErrorSuccess) r = WriteText(key, "ImagePath", kRegExpandSz, rec.imagePath);
    if (r == kErrorSuccess) r = WriteText(key, "DisplayName", kRegSz, rec.displayName);
    if (r == kErrorSuccess) r = WriteText(key, "ObjectName", kRegSz, rec.objectName);
    if (r == kErrorSuccess && !rec.description.empty())
        r = WriteText(key, "Description", kRegSz, rec.description);
    return r;
}

}  // namespace

bool FailWith(long code) {
    SetLastSystemError(static_cast<int>(code));
    return false;
}

bool ValidServiceName(const char* name) {
    if (!name) return false;
    const size_t len = std::strlen(name);
    if (len == 0 || len > kMaxServiceName) return false;
    for (const char* p = name; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
    }
    return true;
}

std::string RunDir() {
    return StateDir() + "/run";
}

std::string RunFile(const std::string& name, const char* suffix) {
    return RunDir() + "/" + name + suffix;
}

long ReadRecord(const std::string& name, ServiceRecord* rec) {
    std::string stored;
    long r = FindRecordName(name, &stored);
    if (r != kErrorSuccess) return r;
    RegKey key;
    r = RegOpenKeyExA(kHkeyLocalMachine, KeyPath(stored).c_str(), kKeyRead, key.out());
    if (r == kErrorFileNotFound) return kErrorServiceDoesNotExist;
    if (r != kErrorSuccess) return r;
    *rec = ServiceRecord{};
    rec->name = stored;
    ReadDword(key.get(), "Type", &rec->type);
    ReadDword(key.get(), "Start", &rec->start);
    ReadDword(key.get(), "ErrorControl", &rec->errorControl);
    ReadText(key.get(), "ImagePath", &rec->imagePath);
    ReadText(key.get(), "DisplayName", &rec->displayName);
    ReadText(key.get(), "Description", &rec->description);
    ReadText(key.get(), "ObjectName", &rec->objectName);
    uint32_t flag = 0;
    ReadDword(key.get(), "DeleteFlag", &flag);
    rec->markedForDelete = flag != 0;
    if (rec->markedForDelete && !HostAlive(stored)) {
        // Its dispatcher died without removing it.
        key.reset();
        RemoveRecord(stored);
        return kErrorServiceDoesNotExist;
    }
    return kErrorSuccess;
}

long CreateRecord(const ServiceRecord& rec) {
    RegKey key;
    uint32_t disposition = 0;
    long r = RegCreateKeyExA(kHkeyLocalMachine, KeyPath(rec.name).c_str(), kKeyAllAccess, key.out(),
                             &disposition);
    if (r != kErrorSuccess) return r;
    if (disposition != kRegCreatedNewKey) return kErrorServiceExists;
    r = WriteAllValues(key.get(), rec);
    if (r != kErrorSuccess) {
        key.reset();
        DeleteTree(KeyPath(rec.name));
    }
    return r;
}

long UpdateRecord(const ServiceRecord& old, const ServiceRecord& now) {
    RegKey key;
    long r = RegOpenKeyExA(kHkeyLocalMachine, KeyPath(old.name).c_str(), kKeyAllAccess, key.out());
    if (r == kErrorFileNotFound) return kErrorServiceMarkedForDelete;
    if (r != kErrorSuccess) return r;
    HKey k = key.get();
    if (r == kErrorSuccess && now.type != old.type) r = WriteDword(k, "Type", now.type);
    if (r == kErrorSuccess && now.start != old.start) r = WriteDword(k, "Start", now.start);
    if (r == kErrorSuccess && now.errorControl != old.errorControl)
        r = WriteDword(k, "ErrorControl", now.errorControl);
    if (r == kErrorSuccess && now.imagePath != old.imagePath)
        r = WriteText(k, "ImagePath", kRegExpandSz, now.imagePath);
    if (r == kErrorSuccess && now.displayName != old.displayName)
        r = WriteText(k, "DisplayName", kRegSz, now.displayName);
    if (r == kErrorSuccess && now.objectName != old.objectName)
        r = WriteText(k, "ObjectName", kRegSz, now.objectName);
    if (r == kErrorSuccess && now.description != old.description) {
        if (now.description.empty()) {
            r = RegDeleteValueA(k, "Description");
            if (r == kErrorFileNotFound) r = kErrorSuccess;
        } else {
            r = WriteText(k, "Description", kRegSz, now.description);
        }
    }
    return r;
}

long MarkRecordForDelete(const std::string& name) {
    RegKey key;
    long r = RegOpenKeyExA(kHkeyLocalMachine, KeyPath(name).c_str(), kKeyAllAccess, key.out());
    if (r == kErrorFileNotFound) return kErrorServiceMarkedForDelete;
    if (r != kErrorSuccess) return r;
    return WriteDword(key.get(), "DeleteFlag", 1);
}

long RemoveRecord(const std::string& name) {
    long r = DeleteTree(KeyPath(name));
    if (r == kErrorFileNotFound) r = kErrorSuccess;
    ::unlink(RunFile(name, ".status").c_str());
    ::unlink(RunFile(name, ".sock").c_str());
    return r;
}

std::string KnownServiceName(const std::string& name) {
    std::string stored;
    if (FindRecordName(name, &stored) == kErrorSuccess) return stored;
    DIR* dir = ::opendir(RunDir().c_str());
    if (!dir) return {};
    std::string found;
    while (dirent* e = ::readdir(dir)) {
        std::string file = e->d_name;
        if (!EndsWithNoCase(file, ".host")) continue;
        std::string stem = file.substr(0, file.size() - 5);
        if (EqualNoCase(stem, name) && HostAlive(stem)) {
            found = stem;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

}  // namespace kvp::internal
