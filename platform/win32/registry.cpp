// The registry through the real Reg* calls. With a state directory set, the two roots are
// keys of their own below HKEY_CURRENT_USER\Software\Korvane\State\<directory>, so that
// every test has a registry of its own, as it has on POSIX, and never touches the
// machine's settings.
#include "kv/registry.h"

#include <string>

#include "win32.h"

namespace kvp {

const HKey kHkeyLocalMachine = reinterpret_cast<HKey>(HKEY_LOCAL_MACHINE);
const HKey kHkeyCurrentUser = reinterpret_cast<HKey>(HKEY_CURRENT_USER);

namespace {

constexpr const char* kStateKeys = "Software\\Korvane\\State\\";

HKEY Native(HKey key) {
    return reinterpret_cast<HKEY>(key);
}

// A root as the calls see it: the predefined key itself, or the state directory's key
// that stands for it (opened here, closed with this object).
class Root {
  public:
    // create: make the state directory's key when it does not exist yet.
    Root(HKey key, bool create) : h_(Native(key)) {
        if (h_ != HKEY_LOCAL_MACHINE && h_ != HKEY_CURRENT_USER) return;
        std::string dir = internal::EnvVar("KVTFTP_STATE_DIR");
        if (dir.empty()) return;
        // A key name cannot hold a backslash.
        for (char& c : dir) {
            if (c == '\\') c = '/';
        }
        const std::string path =
            kStateKeys + dir + "\\" +
            (h_ == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER");
        HKEY mapped = nullptr;
        result_ =
            create ? ::RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                       KEY_ALL_ACCESS, nullptr, &mapped, nullptr)
                   : ::RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &mapped);
        h_ = mapped;
        owned_ = result_ == ERROR_SUCCESS;
    }
    ~Root() {
        if (owned_) ::RegCloseKey(h_);
    }
    Root(const Root&) = delete;
    Root& operator=(const Root&) = delete;

    HKEY get() const { return h_; }
    long result() const { return result_; }

  private:
    HKEY h_;
    long result_ = ERROR_SUCCESS;
    bool owned_ = false;
};

// Keeps the result as the system's last error too, as a failed call leaves it on POSIX.
long Done(long rc) {
    if (rc != ERROR_SUCCESS) ::SetLastError(static_cast<DWORD>(rc));
    return rc;
}

}  // namespace

long RegOpenKeyExA(HKey root, const char* subkey, uint32_t sam, HKey* out) {
    if (!out) return Done(ERROR_INVALID_PARAMETER);
    *out = nullptr;
    Root r(root, false);
    if (r.result() != ERROR_SUCCESS) return Done(r.result());
    HKEY h = nullptr;
    const long rc = ::RegOpenKeyExA(r.get(), subkey, 0, sam, &h);
    if (rc == ERROR_SUCCESS) *out = reinterpret_cast<HKey>(h);
    return Done(rc);
}

long RegCreateKeyExA(HKey root, const char* subkey, uint32_t sam, HKey* out,
                     uint32_t* disposition) {
    if (!out) return Done(ERROR_INVALID_PARAMETER);
    *out = nullptr;
    Root r(root, true);
    if (r.result() != ERROR_SUCCESS) return Done(r.result());
    HKEY h = nullptr;
    DWORD disp = 0;
    const long rc =
        ::RegCreateKeyExA(r.get(), subkey ? subkey : "", 0, nullptr, 0, sam, nullptr, &h, &disp);
    if (rc == ERROR_SUCCESS) {
        *out = reinterpret_cast<HKey>(h);
        if (disposition) *disposition = disp;
    }
    return Done(rc);
}

long RegCloseKey(HKey key) {
    if (!key) return Done(ERROR_INVALID_HANDLE);
    return Done(::RegCloseKey(Native(key)));
}

long RegQueryValueExA(HKey key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size) {
    if (data && !size) return Done(ERROR_INVALID_PARAMETER);
    Root r(key, false);
    if (r.result() != ERROR_SUCCESS) return Done(r.result());
    DWORD t = 0;
    DWORD s = size ? *size : 0;
    const long rc =
        ::RegQueryValueExA(r.get(), name, nullptr, type ? &t : nullptr, data, size ? &s : nullptr);
    if (type && (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)) *type = t;
    if (size && (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA)) *size = s;
    return Done(rc);
}

long RegSetValueExA(HKey key, const char* name, uint32_t type, const uint8_t* data, uint32_t size) {
    Root r(key, true);
    if (r.result() != ERROR_SUCCESS) return Done(r.result());
    return Done(::RegSetValueExA(r.get(), name, 0, type, data, size));
}

long RegDeleteValueA(HKey key, const char* name) {
    Root r(key, false);
    if (r.result() != ERROR_SUCCESS) return Done(r.result());
    return Done(::RegDeleteValueA(r.get(), name));
}

long RegDeleteKeyA(HKey root, const char* subkey) {
    Root r(root, false);
    if (r.result() != ERROR_SUCCESS) return Done(r.result());
    return Done(::RegDeleteKeyA(r.get(), subkey));
}

long RegEnumKeyA(HKey key, uint32_t index, char* name, uint32_t name_size) {
    Root r(key, false);
    if (r.result() != ERROR_SUCCESS) {
        return Done(r.result() == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : r.result());
    }
    return Done(::RegEnumKeyA(r.get(), index, name, name_size));
}

long RegEnumValueA(HKey key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                   uint8_t* data, uint32_t* data_size) {
    if (!name_size || (data && !data_size)) return Done(ERROR_INVALID_PARAMETER);
    Root r(key, false);
    if (r.result() != ERROR_SUCCESS) {
        return Done(r.result() == ERROR_FILE_NOT_FOUND ? ERROR_NO_MORE_ITEMS : r.result());
    }
    DWORD ns = *name_size;
    DWORD t = 0;
    DWORD ds = data_size ? *data_size : 0;
    const long rc = ::RegEnumValueA(r.get(), index, name, &ns, nullptr, type ? &t : nullptr, data,
                                    data_size ? &ds : nullptr);
    if (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        *name_size = ns;
        if (type) *type = t;
        if (data_size) *data_size = ds;
    }
    return Done(rc);
}

}  // namespace kvp
