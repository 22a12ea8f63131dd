// The registry, with the Windows calls' semantics: result codes, value types, sizes
// and ERROR_MORE_DATA. On POSIX each hive is a REGEDIT4 text file under
// $KVTFTP_STATE_DIR/registry/ (HKEY_LOCAL_MACHINE.reg, HKEY_CURRENT_USER.reg); reads
// take a shared lock, writes an exclusive one and replace the file atomically. On
// Windows the real registry; but when KVTFTP_STATE_DIR is set (tests set it), the two
// roots stand for keys of that directory's own below
// HKEY_CURRENT_USER\Software\Korvane\State\<directory, '\' written as '/'>.
#pragma once

#include <cstdint>
#include <utility>

#include "kv/errors.h"

namespace kvp {

struct RegKeyState;
using HKey = RegKeyState*;

// The two predefined roots.
extern const HKey kHkeyLocalMachine;
extern const HKey kHkeyCurrentUser;

constexpr uint32_t kRegNone = 0;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

constexpr uint32_t kKeyRead = 0x20019;
constexpr uint32_t kKeyWrite = 0x20006;
constexpr uint32_t kKeyAllAccess = 0xF003F;

constexpr uint32_t kRegCreatedNewKey = 1;
constexpr uint32_t kRegOpenedExistingKey = 2;

// All return a Windows result code (kErrorSuccess, kErrorFileNotFound, kErrorMoreData,
// kErrorInvalidHandle, kErrorAccessDenied, ...; a result code in the sense of errors.h:
// SystemErrorOfResult makes it a system error number for a report or an export's
// result). Key and value names ignore case.
long RegOpenKeyExA(HKey root, const char* subkey, uint32_t sam, HKey* out);
long RegCreateKeyExA(HKey root, const char* subkey, uint32_t sam, HKey* out, uint32_t* disposition);
long RegCloseKey(HKey key);
// type, data and size may each be null. *size holds the room on entry and the value's
// size on return; too little room gives kErrorMoreData with the needed size, and data
// null gives the size alone.
long RegQueryValueExA(HKey key, const char* name, uint32_t* type, uint8_t* data, uint32_t* size);
long RegSetValueExA(HKey key, const char* name, uint32_t type, const uint8_t* data, uint32_t size);
long RegDeleteValueA(HKey key, const char* name);
// Deletes a key that has no subkeys.
long RegDeleteKeyA(HKey root, const char* subkey);
// The index-th subkey name / value name, kErrorNoMoreItems past the end.
long RegEnumKeyA(HKey key, uint32_t index, char* name, uint32_t name_size);
long RegEnumValueA(HKey key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                   uint8_t* data, uint32_t* data_size);

// Owns an open key and closes it on every path.
class RegKey {
  public:
    RegKey() = default;
    ~RegKey() { reset(); }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    RegKey(RegKey&& o) noexcept : k_(std::exchange(o.k_, nullptr)) {}
    HKey get() const { return k_; }
    HKey* out() {
        reset();
        return &k_;
    }
    void reset() {
        if (k_) RegCloseKey(k_);
        k_ = nullptr;
    }

  private:
    HKey k_ = nullptr;
};

}  // namespace kvp
