// The text side of kvreg: key names as reg.exe takes them, value data as it prints and
// reads them, and REGEDIT4 scripts written and parsed. No registry calls here, so that
// all of it can be checked without a registry or files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvreg {

enum class Root { kLocalMachine, kCurrentUser };

struct KeyName {
    Root root = Root::kLocalMachine;
    std::string path;  // below the root, without leading or trailing '\'; empty: the root
};

// "HKLM\A\B", "HKEY_CURRENT_USER\A" (any case, one trailing '\' allowed); false for other
// roots, remote names and empty parts.
bool ParseKeyName(const std::string& text, KeyName* out);
// "HKEY_LOCAL_MACHINE" or "HKEY_LOCAL_MACHINE\A\B".
std::string FullKeyName(const KeyName& key);

// "REG_SZ" and the others; "REG_NONE" and "REG_UNKNOWN(N)" where no name fits.
std::string TypeName(uint32_t type);
// The type of a /t argument (any case); false for a type kvreg does not write.
bool TypeOfName(const std::string& name, uint32_t* type);

// The data as reg query shows it: text, 0x%x, upper-case hex digits, strings joined by
// "\0".
std::string DisplayData(uint32_t type, const std::vector<uint8_t>& data);

enum class DataError { kNone, kNumber, kHex };
// The bytes a /d argument stands for under the type: strings with their terminator
// (multi-strings split at separator), a DWORD in decimal or 0x hex, hex digit pairs.
DataError DataOfText(uint32_t type, const std::string& text, const std::string& separator,
                     std::vector<uint8_t>* out);

// One line of an exported key: "Name"="text", @=dword:00001388, "Name"=hex(7):61,00,...
std::string ScriptValueLine(const std::string& name, uint32_t type,
                            const std::vector<uint8_t>& data);

// What one line of a script asks for.
struct ScriptOp {
    enum Kind { kCreateKey, kDeleteKey, kSetValue, kDeleteValue } kind = kCreateKey;
    KeyName key;
    std::string name;  // the value's; empty for the default value
    uint32_t type = 0;
    std::vector<uint8_t> data;
};

// A REGEDIT4 (or "Windows Registry Editor Version 5.00") script's operations in order.
// False, with the 1-based line that is wrong in *bad_line (0: no such header), when the
// text is not such a script.
bool ParseScript(const std::string& text, std::vector<ScriptOp>* ops, int* bad_line);

}  // namespace kvreg
