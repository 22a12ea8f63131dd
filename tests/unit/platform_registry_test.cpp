#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "test_support.h"

namespace {

using kvp::HKey;
using kvp::RegKey;

const char kKey[] = "SOFTWARE\\Korvane\\TFTP Server";

std::string HiveFile(const char* hive) {
    return kvp::StateDir() + "/registry/" + hive + ".reg";
}

long Set(HKey k, const char* name, uint32_t type, const std::string& data) {
    return kvp::RegSetValueExA(k, name, type, reinterpret_cast<const uint8_t*>(data.data()),
                              static_cast<uint32_t>(data.size()));
}

// Reads a value in two steps, size first, as careful callers do.
long Get(HKey k, const char* name, uint32_t* type, std::string* data) {
    uint32_t size = 0;
    long r = kvp::RegQueryValueExA(k, name, type, nullptr, &size);
    if (r != kvp::kErrorSuccess) return r;
    std::vector<uint8_t> buf(size + 1);
    uint32_t room = size;
    r = kvp::RegQueryValueExA(k, name, type, buf.data(), &room);
    if (r == kvp::kErrorSuccess) data->assign(reinterpret_cast<char*>(buf.data()), room);
    return r;
}

// The literal's bytes, NULs included, without the compiler's terminator.
template <size_t N>
std::string Bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}

std::string Dword(uint32_t v) {
    std::string s(4, '\0');
    std::memcpy(s.data(), &v, 4);
    return s;
}

// ---- an independent, strict reader of the hive file -----------------------------------
// Accepts exactly the layout the store writes and nothing else, so any torn or garbled
// file is caught.

struct StrictValue {
    uint32_t type = 0;
    std::string data;
};
using StrictHive = std::map<std::string, std::map<std::string, StrictValue>>;

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool Quoted(const std::string& s, size_t* pos, std::string* out) {
    if (*pos >= s.size() || s[*pos] != '"') return false;
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); ++i) {
        if (s[i] == '"') {
            *pos = i + 1;
            return true;
        }
        if (s[i] == '\\') {
            if (++i >= s.size()) return false;
            char e = s[i];
            if (e == 'n')
                out->push_back('\n');
            else if (e == 'r')
                out->push_back('\r');
            else if (e == '\\' || e == '"')
                out->push_back(e);
            else
                return false;
        } else {
            out->push_back(s[i]);
        }
    }
    return false;
}

// An empty result means the text is a well-formed hive; otherwise it names the fault.
std::string StrictParse(const std::string& text, const std::string& hive, StrictHive* out) {
    out->clear();
    if (text.compare(0, 10, "REGEDIT4\n\n") != 0) return "bad header";
    if (text.back() != '\n') return "no final line end";
    std::vector<std::string> lines;
    for (size_t start = 10; start < text.size();) {
        size_t nl = text.find('\n', start);
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    std::map<std::string, StrictValue>* section = nullptr;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l.find('\r') != std::string::npos) return "carriage return in line " + l;
        if (!section) {
            if (l.empty()) return "blank line outside a key";
            std::string head = "[" + hive;
            if (l.compare(0, head.size(), head) != 0 || l.back() != ']')
                return "expected a key line: " + l;
            std::string path = l.substr(head.size(), l.size() - head.size() - 1);
            if (!path.empty() && path[0] != '\\') return "bad key line: " + l;
            if (!path.empty()) path.erase(0, 1);
            if (out->count(path)) return "key twice: " + l;
            section = &(*out)[path];
            continue;
        }
        if (l.empty()) {
            section = nullptr;
            continue;
        }
        size_t pos = 0;
        std::string name;
        if (l[0] == '@')
            pos = 1;
        else if (!Quoted(l, &pos, &name))
            return "bad value name: " + l;
        if (pos >= l.size() || l[pos] != '=') return "no '=': " + l;
        ++pos;
        StrictValue v;
        std::string rest = l.substr(pos);
        if (rest.compare(0, 1, "\"") == 0) {
            size_t p = 0;
            if (!Quoted(rest, &p, &v.data) || p != rest.size()) return "bad text: " + l;
            v.data.push_back('\0');
            v.type = kvp::kRegSz;
        } else if (rest.compare(0, 6, "dword:") == 0) {
            if (rest.size() != 14) return "bad dword: " + l;
            uint32_t x = 0;
            for (size_t k = 6; k < 14; ++k) {
                if (Hex(rest[k]) < 0) return "bad dword: " + l;
                x = x * 16 + static_cast<uint32_t>(Hex(rest[k]));
            }
            v.type = kvp::kRegDword;
            v.data = Dword(x);
        } else if (rest.compare(0, 3, "hex") == 0) {
            size_t p = 3;
            v.type = kvp::kRegBinary;
            if (rest[p] == '(') {
                size_t close = rest.find(')', p);
                if (close == std::string::npos || close == p + 1) return "bad type: " + l;
                v.type = 0;
                for (size_t k = p + 1; k < close; ++k) {
                    if (Hex(rest[k]) < 0) return "bad type: " + l;
                    v.type = v.type * 16 + static_cast<uint32_t>(Hex(rest[k]));
                }
                p = close + 1;
            }
            if (rest[p] != ':') return "bad hex: " + l;
            std::string list = rest.substr(p + 1);
            // Continuation: ",\" at the line end, next line indented by two blanks.
            while (list.size() >= 2 && list.compare(list.size() - 2, 2, ",\\") == 0) {
                if (++i >= lines.size() || lines[i].compare(0, 2, "  ") != 0)
                    return "bad continuation after: " + l;
                list.pop_back();
                list += lines[i].substr(2);
            }
            for (size_t k = 0; k < list.size(); k += 3) {
                if (k + 2 > list.size() || Hex(list[k]) < 0 || Hex(list[k + 1]) < 0)
                    return "bad byte list: " + l;
                if (k + 2 < list.size() && list[k + 2] != ',') return "bad byte list: " + l;
                if (k + 3 == list.size()) return "trailing comma: " + l;
                v.data.push_back(static_cast<char>(Hex(list[k]) * 16 + Hex(list[k + 1])));
            }
        } else {
            return "bad value: " + l;
        }
        if (section->count(name)) return "value twice: " + l;
        (*section)[name] = v;
    }
    if (section) return "last key not closed by a blank line";
    return "";
}

StrictHive ParseHiveFile(const char* hive) {
    StrictHive h;
    std::string err = StrictParse(kvtest::ReadFile(HiveFile(hive)), hive, &h);
    EXPECT_EQ(err, "");
    return h;
}

class RegistryTest : public ::testing::Test {
  protected:
    kvtest::TestEnv env_;

    RegKey Create(const char* path = kKey, uint32_t sam = kvp::kKeyAllAccess) {
        RegKey key;
        EXPECT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, path, sam, key.out(), nullptr),
                  kvp::kErrorSuccess);
        return key;
    }
};

// ---- values ---------------------------------------------------------------------------

struct Sample {
    const char* name;
    uint32_t type;
    std::string data;
};

std::vector<Sample> Samples() {
    std::string bin300;
    for (int i = 0; i < 300; ++i) bin300.push_back(static_cast<char>(i * 7 + 3));
    return {
        {"Plain", kvp::kRegSz, Bytes("hello world\0")},
        {"Empty text", kvp::kRegSz, Bytes("\0")},
        {"Odd chars", kvp::kRegSz, Bytes("C:\\dir\\ \"quoted\" \t;[x]=@ \xE9\xFF\x80\0")},
        {"Embedded NUL", kvp::kRegSz, Bytes("ab\0cd\0")},
        {"No terminator", kvp::kRegSz, "abc"},
        {"Line breaks", kvp::kRegSz, Bytes("one\r\ntwo\nthree\0")},
        {"Zero size text", kvp::kRegSz, ""},
        {"Two terminators", kvp::kRegSz, Bytes("x\0\0")},
        {"Expand", kvp::kRegExpandSz, Bytes("%SystemRoot%\\KVTFTPASC.DLL\0")},
        {"Binary empty", kvp::kRegBinary, ""},
        {"Binary 300", kvp::kRegBinary, bin300},
        {"Flag", kvp::kRegBinary, Bytes("\x01")},
        {"Dword", kvp::kRegDword, Dword(5000)},
        {"Dword max", kvp::kRegDword, Dword(0xFFFFFFFFu)},
        {"Short dword", kvp::kRegDword, Bytes("\x01\x02\x03")},
        {"Multi", kvp::kRegMultiSz, Bytes("first\0second\0\0")},
        {"None", kvp::kRegNone, Bytes("\x00\x01\xFE")},
        {"Odd type", 0x12345678u, "xyz"},
        {"Name \"with\" \\odd\\ = chars\n", kvp::kRegSz, Bytes("v\0")},
        {"", kvp::kRegSz, Bytes("default\0")},
    };
}

TEST_F(RegistryTest, EveryTypeRoundTripsByteForByte) {
    {
        RegKey key = Create();
        for (const Sample& s : Samples())
            ASSERT_EQ(Set(key.get(), s.name, s.type, s.data), kvp::kErrorSuccess) << s.name;
    }
    RegKey key;
    ASSERT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kKey, kvp::kKeyRead, key.out()),
              kvp::kErrorSuccess);
    for (const Sample& s : Samples()) {
        uint32_t type = 0xDEAD;
        std::string data;
        ASSERT_EQ(Get(key.get(), s.name, &type, &data), kvp::kErrorSuccess) << s.name;
        EXPECT_EQ(type, s.type) << s.name;
        EXPECT_EQ(data, s.data) << s.name;
    }
    // The file holds the same, in the export format.
    StrictHive h = ParseHiveFile("HKEY_LOCAL_MACHINE");
    const auto& values = h[kKey];
    ASSERT_EQ(values.size(), Samples().size());
    for (const Sample& s : Samples()) {
        auto it = values.find(s.name);
        ASSERT_NE(it, values.end()) << s.name;
        EXPECT_EQ(it->second.type, s.type) << s.name;
        EXPECT_EQ(it->second.data, s.data) << s.name;
    }
}

TEST_F(RegistryTest, FileUsesTheExportNotation) {
    {
        RegKey key = Create();
        ASSERT_EQ(Set(key.get(), "TFTPHome", kvp::kRegSz, Bytes("C:\\tftp \"x\"\0")),
                  kvp::kErrorSuccess);
        ASSERT_EQ(Set(key.get(), "Rexttimeout", kvp::kRegDword, Dword(5000)), kvp::kErrorSuccess);
        ASSERT_EQ(Set(key.get(), "AllowUploads", kvp::kRegBinary, "\x01"), kvp::kErrorSuccess);
        ASSERT_EQ(Set(key.get(), "Path", kvp::kRegExpandSz, Bytes("a\0")), kvp::kErrorSuccess);
        ASSERT_EQ(Set(key.get(), "Raw", kvp::kRegSz, "ab"), kvp::kErrorSuccess);
        // regedit reads no escapes but \\ and \" in a text, so line breaks go as bytes.
        ASSERT_EQ(Set(key.get(), "Lines", kvp::kRegSz, Bytes("a\r\nb\0")), kvp::kErrorSuccess);
        ASSERT_EQ(Set(key.get(), nullptr, kvp::kRegSz, Bytes("d\0")), kvp::kErrorSuccess);
    }
    std::string text = kvtest::ReadFile(HiveFile("HKEY_LOCAL_MACHINE"));
    EXPECT_EQ(text.compare(0, 10, "REGEDIT4\n\n"), 0) << text;
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\TFTP Server]\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane]\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"TFTPHome\"=\"C:\\\\tftp \\\"x\\\"\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Rexttimeout\"=dword:00001388\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"AllowUploads\"=hex:01\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Path\"=hex(2):61,00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Raw\"=hex(1):61,62\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Lines\"=hex(1):61,0d,0a,62,00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("@=\"d\"\n"), std::string::npos) << text;
}

TEST_F(RegistryTest, LongBinaryIsWrappedIntoShortLines) {
    RegKey key = Create();
    std::string data = kvtest::PatternData(1000);
    ASSERT_EQ(Set(key.get(), "Blob", kvp::kRegBinary, data), kvp::kErrorSuccess);
    std::string text = kvtest::ReadFile(HiveFile("HKEY_LOCAL_MACHINE"));
    size_t start = 0, longest = 0, lines = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        longest = std::max(longest, nl - start);
        ++lines;
        start = nl + 1;
    }
    EXPECT_LE(longest, 80u);
    EXPECT_GT(lines, 30u);
    StrictHive h = ParseHiveFile("HKEY_LOCAL_MACHINE");
    EXPECT_EQ(h[kKey]["Blob"].data, data);
}

TEST_F(RegistryTest, QuerySizesFollowTheWindowsRules) {
    RegKey key = Create();
    const std::string text("C:\\tftproot\0", 12);
    ASSERT_EQ(Set(key.get(), "TFTPHome", kvp::kRegSz, text), kvp::kErrorSuccess);

    uint32_t type = 0, size = 0;
    // No buffer: the size alone.
    EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "TFTPHome", &type, nullptr, &size),
              kvp::kErrorSuccess);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(type, kvp::kRegSz);
    // Neither buffer nor size: just whether it exists.
    EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "TFTPHome", nullptr, nullptr, nullptr),
              kvp::kErrorSuccess);

    // Too little room: more data, the needed size, the buffer untouched.
    uint8_t buf[32];
    std::memset(buf, 'Z', sizeof buf);
    size = 5;
    EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "TFTPHome", nullptr, buf, &size),
              kvp::kErrorMoreData);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(buf[5], 'Z');
    // One byte short of the terminator is still too little.
    size = 11;
    EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "TFTPHome", nullptr, buf, &size),
              kvp::kErrorMoreData);
    EXPECT_EQ(size, 12u);

    // Exactly enough, and more than enough: the value's size comes back.
    size = 12;
    EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "TFTPHome", nullptr, buf, &size), kvp::kErrorSuccess);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 12), text);
    std::memset(buf, 'Z', sizeof buf);
    size = sizeof buf;
    EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "TFTPHome", nullptr, buf, &size), kvp::kErrorSuccess);
    EXPECT_EQ(size, 12u);
    EXPECT_EQ(buf[12], 'Z');  // nothing written past the value

    // A buffer without a size is refused.
    EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "TFTPHome", nullptr, buf, nullptr),
              kvp::kErrorInvalidParameter);

    // Missing value.
    size = sizeof buf;
    EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "NoSuchValue", &type, buf, &size),
              kvp::kErrorFileNotFound);
    EXPECT_EQ(kvp::RegQueryValueExA(key.get(), nullptr, &type, buf, &size), kvp::kErrorFileNotFound);
}

TEST_F(RegistryTest, NamesIgnoreCaseAndKeepTheirFirstSpelling) {
    {
        RegKey key = Create("SOFTWARE\\Korvane\\TFTP Server");
        ASSERT_EQ(Set(key.get(), "AllowOverwrite", kvp::kRegBinary, "\x01"), kvp::kErrorSuccess);
        ASSERT_EQ(Set(key.get(), "ALLOWOVERWRITE", kvp::kRegBinary, "\x02"), kvp::kErrorSuccess);
    }
    RegKey key;
    uint32_t disp = 0;
    ASSERT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, "software\\KORVANE\\tftp server",
                                  kvp::kKeyAllAccess, key.out(), &disp),
              kvp::kErrorSuccess);
    EXPECT_EQ(disp, kvp::kRegOpenedExistingKey);
    uint32_t type = 0;
    std::string data;
    ASSERT_EQ(Get(key.get(), "allowoverwrite", &type, &data), kvp::kErrorSuccess);
    EXPECT_EQ(data, "\x02");

    char name[64];
    uint32_t name_size = sizeof name;
    ASSERT_EQ(kvp::RegEnumValueA(key.get(), 0, name, &name_size, nullptr, nullptr, nullptr),
              kvp::kErrorSuccess);
    EXPECT_STREQ(name, "AllowOverwrite");
    EXPECT_EQ(name_size, 14u);
    EXPECT_EQ(kvp::RegEnumValueA(key.get(), 1, name, &name_size, nullptr, nullptr, nullptr),
              kvp::kErrorNoMoreItems);

    RegKey parent;
    ASSERT_EQ(
        kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\korvane", kvp::kKeyRead, parent.out()),
        kvp::kErrorSuccess);
    ASSERT_EQ(kvp::RegEnumKeyA(parent.get(), 0, name, sizeof name), kvp::kErrorSuccess);
    EXPECT_STREQ(name, "TFTP Server");
    StrictHive h = ParseHiveFile("HKEY_LOCAL_MACHINE");
    EXPECT_EQ(h.size(), 3u);
    EXPECT_EQ(h[kKey].size(), 1u);
}

// ---- keys -----------------------------------------------------------------------------

TEST_F(RegistryTest, KeysAreCreatedWithTheirParentsAndExistWhenEmpty) {
    RegKey key;
    EXPECT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kKey, kvp::kKeyRead, key.out()),
              kvp::kErrorFileNotFound);
    EXPECT_EQ(key.get(), nullptr);

    uint32_t disp = 0;
    ASSERT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kKey, kvp::kKeyWrite, key.out(), &disp),
              kvp::kErrorSuccess);
    EXPECT_EQ(disp, kvp::kRegCreatedNewKey);
    ASSERT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kKey, kvp::kKeyWrite, key.out(), &disp),
              kvp::kErrorSuccess);
    EXPECT_EQ(disp, kvp::kRegOpenedExistingKey);
    key.reset();

    // Every level exists on its own, with no values.
    for (const char* path : {"SOFTWARE", "SOFTWARE\\Korvane", kKey}) {
        RegKey k;
        EXPECT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, path, kvp::kKeyRead, k.out()),
                  kvp::kErrorSuccess)
            << path;
    }
    StrictHive h = ParseHiveFile("HKEY_LOCAL_MACHINE");
    EXPECT_EQ(h.size(), 3u);
    EXPECT_TRUE(h.count(kKey));

    // A subkey relative to an open key.
    RegKey parent;
    ASSERT_EQ(
        kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE", kvp::kKeyAllAccess, parent.out()),
        kvp::kErrorSuccess);
    RegKey child;
    ASSERT_EQ(kvp::RegCreateKeyExA(parent.get(), "Korvane\\TFTP Client", kvp::kKeyAllAccess,
                                  child.out(), &disp),
              kvp::kErrorSuccess);
    EXPECT_EQ(disp, kvp::kRegCreatedNewKey);
    RegKey again;
    EXPECT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\Korvane\\TFTP Client",
                                kvp::kKeyRead, again.out()),
              kvp::kErrorSuccess);
}

TEST_F(RegistryTest, DeletingKeysAndValues) {
    {
        RegKey key = Create("SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KVTFTP");
        ASSERT_EQ(Set(key.get(), "TypesSupported", kvp::kRegDword, Dword(7)), kvp::kErrorSuccess);
        ASSERT_EQ(Set(key.get(), "EventMessageFile", kvp::kRegExpandSz, Bytes("KVTFTPASC.DLL\0")),
                  kvp::kErrorSuccess);
        EXPECT_EQ(kvp::RegDeleteValueA(key.get(), "typessupported"), kvp::kErrorSuccess);
        EXPECT_EQ(kvp::RegDeleteValueA(key.get(), "TypesSupported"), kvp::kErrorFileNotFound);
        uint32_t size = 0;
        EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "TypesSupported", nullptr, nullptr, &size),
                  kvp::kErrorFileNotFound);
        EXPECT_EQ(kvp::RegQueryValueExA(key.get(), "EventMessageFile", nullptr, nullptr, &size),
                  kvp::kErrorSuccess);
    }
    const char* app = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
    RegKey parent;
    ASSERT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, app, kvp::kKeyAllAccess, parent.out()),
              kvp::kErrorSuccess);
    // A key with subkeys stays.
    EXPECT_EQ(kvp::RegDeleteKeyA(kvp::kHkeyLocalMachine, app), kvp::kErrorAccessDenied);
    EXPECT_EQ(kvp::RegDeleteKeyA(parent.get(), "kvtftp"), kvp::kErrorSuccess);
    EXPECT_EQ(kvp::RegDeleteKeyA(parent.get(), "KVTFTP"), kvp::kErrorFileNotFound);
    RegKey gone;
    EXPECT_EQ(kvp::RegOpenKeyExA(parent.get(), "KVTFTP", kvp::kKeyRead, gone.out()),
              kvp::kErrorFileNotFound);
    char name[64];
    EXPECT_EQ(kvp::RegEnumKeyA(parent.get(), 0, name, sizeof name), kvp::kErrorNoMoreItems);
    // Now the parent is a leaf and may go.
    EXPECT_EQ(kvp::RegDeleteKeyA(kvp::kHkeyLocalMachine, app), kvp::kErrorSuccess);
    StrictHive h = ParseHiveFile("HKEY_LOCAL_MACHINE");
    EXPECT_FALSE(h.count(app));
    EXPECT_TRUE(h.count("SYSTEM\\CurrentControlSet\\Services\\EventLog"));
    // The open handle of the deleted key no longer reaches a key.
    uint32_t size = 0;
    EXPECT_NE(kvp::RegQueryValueExA(parent.get(), "x", nullptr, nullptr, &size), kvp::kErrorSuccess);
    EXPECT_NE(Set(parent.get(), "x", kvp::kRegBinary, "1"), kvp::kErrorSuccess);
    RegKey recreated;
    EXPECT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, app, kvp::kKeyRead, recreated.out()),
              kvp::kErrorFileNotFound);
}

TEST_F(RegistryTest, EnumeratesSubkeysAndValuesInOrder) {
    for (const char* sub : {"Beta", "alpha", "Gamma\\Deep", "Alpha2"}) {
        RegKey k = Create((std::string("SOFTWARE\\Enum\\") + sub).c_str());
    }
    RegKey key = Create("SOFTWARE\\Enum");
    ASSERT_EQ(Set(key.get(), "Second", kvp::kRegDword, Dword(2)), kvp::kErrorSuccess);
    ASSERT_EQ(Set(key.get(), "First", kvp::kRegSz, Bytes("long value\0")), kvp::kErrorSuccess);

    std::vector<std::string> names;
    char name[64];
    for (uint32_t i = 0; kvp::RegEnumKeyA(key.get(), i, name, sizeof name) == kvp::kErrorSuccess;
         ++i)
        names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "Alpha2", "Beta", "Gamma"}));
    EXPECT_EQ(kvp::RegEnumKeyA(key.get(), 1, name, 6), kvp::kErrorMoreData);

    uint32_t name_size = sizeof name, type = 0, size = 4;
    uint8_t data[64];
    EXPECT_EQ(kvp::RegEnumValueA(key.get(), 1, name, &name_size, &type, data, &size),
              kvp::kErrorMoreData);
    EXPECT_EQ(size, 11u);
    name_size = sizeof name;
    size = sizeof data;
    ASSERT_EQ(kvp::RegEnumValueA(key.get(), 1, name, &name_size, &type, data, &size),
              kvp::kErrorSuccess);
    EXPECT_STREQ(name, "First");
    EXPECT_EQ(name_size, 5u);
    EXPECT_EQ(type, kvp::kRegSz);
    EXPECT_EQ(size, 11u);
    name_size = 5;  // no room for the terminator
    EXPECT_EQ(kvp::RegEnumValueA(key.get(), 1, name, &name_size, nullptr, nullptr, nullptr),
              kvp::kErrorMoreData);
    name_size = sizeof name;
    EXPECT_EQ(kvp::RegEnumValueA(key.get(), 2, name, &name_size, nullptr, nullptr, nullptr),
              kvp::kErrorNoMoreItems);
}

TEST_F(RegistryTest, HandlesAreCheckedAndAccessIsEnforced) {
    uint32_t size = 0;
    EXPECT_EQ(kvp::RegQueryValueExA(nullptr, "x", nullptr, nullptr, &size),
              kvp::kErrorInvalidHandle);
    int not_a_key = 0;
    HKey bogus = reinterpret_cast<HKey>(&not_a_key);
    EXPECT_EQ(kvp::RegQueryValueExA(bogus, "x", nullptr, nullptr, &size), kvp::kErrorInvalidHandle);
    EXPECT_EQ(Set(bogus, "x", kvp::kRegBinary, "1"), kvp::kErrorInvalidHandle);
    RegKey out;
    EXPECT_EQ(kvp::RegOpenKeyExA(bogus, "x", kvp::kKeyRead, out.out()), kvp::kErrorInvalidHandle);
    EXPECT_EQ(kvp::RegCloseKey(bogus), kvp::kErrorInvalidHandle);
    EXPECT_EQ(kvp::RegCloseKey(nullptr), kvp::kErrorInvalidHandle);

    HKey raw = nullptr;
    ASSERT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kKey, kvp::kKeyAllAccess, &raw, nullptr),
              kvp::kErrorSuccess);
    ASSERT_EQ(Set(raw, "Retransmits", kvp::kRegDword, Dword(6)), kvp::kErrorSuccess);
    EXPECT_EQ(kvp::RegCloseKey(raw), kvp::kErrorSuccess);
    EXPECT_EQ(kvp::RegCloseKey(raw), kvp::kErrorInvalidHandle);
    EXPECT_EQ(kvp::RegQueryValueExA(raw, "Retransmits", nullptr, nullptr, &size),
              kvp::kErrorInvalidHandle);

    // Read access only: writes refused, the value unchanged.
    RegKey ro;
    ASSERT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kKey, kvp::kKeyRead, ro.out()),
              kvp::kErrorSuccess);
    EXPECT_EQ(Set(ro.get(), "Retransmits", kvp::kRegDword, Dword(9)), kvp::kErrorAccessDenied);
    EXPECT_EQ(kvp::RegDeleteValueA(ro.get(), "Retransmits"), kvp::kErrorAccessDenied);
    RegKey sub;
    EXPECT_EQ(kvp::RegCreateKeyExA(ro.get(), "Sub", kvp::kKeyAllAccess, sub.out(), nullptr),
              kvp::kErrorAccessDenied);
    uint32_t type = 0;
    std::string data;
    ASSERT_EQ(Get(ro.get(), "Retransmits", &type, &data), kvp::kErrorSuccess);
    EXPECT_EQ(data, Dword(6));

    // Write access only: reads refused.
    RegKey wo;
    ASSERT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kKey, kvp::kKeyWrite, wo.out()),
              kvp::kErrorSuccess);
    EXPECT_EQ(kvp::RegQueryValueExA(wo.get(), "Retransmits", nullptr, nullptr, &size),
              kvp::kErrorAccessDenied);
    EXPECT_EQ(Set(wo.get(), "Retransmits", kvp::kRegDword, Dword(8)), kvp::kErrorSuccess);

    // A key name that would break the file's line structure is refused.
    EXPECT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\Bad\nName", kvp::kKeyAllAccess,
                                  sub.out(), nullptr),
              kvp::kErrorInvalidParameter);
}

TEST_F(RegistryTest, HivesAreSeparateFiles) {
    {
        RegKey m = Create("Software\\Korvane\\TFTP Client");
        ASSERT_EQ(Set(m.get(), "Where", kvp::kRegSz, Bytes("machine\0")), kvp::kErrorSuccess);
        RegKey u;
        ASSERT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyCurrentUser, "Software\\Korvane\\TFTP Client",
                                      kvp::kKeyAllAccess, u.out(), nullptr),
                  kvp::kErrorSuccess);
        ASSERT_EQ(Set(u.get(), "Where", kvp::kRegSz, Bytes("user\0")), kvp::kErrorSuccess);
    }
    StrictHive hu;
    ASSERT_EQ(
        StrictParse(kvtest::ReadFile(HiveFile("HKEY_CURRENT_USER")), "HKEY_CURRENT_USER", &hu), "");
    EXPECT_EQ(hu["Software\\Korvane\\TFTP Client"]["Where"].data, Bytes("user\0"));
    StrictHive hm = ParseHiveFile("HKEY_LOCAL_MACHINE");
    EXPECT_EQ(hm["Software\\Korvane\\TFTP Client"]["Where"].data, Bytes("machine\0"));
}

// ---- reading files written by others --------------------------------------------------

TEST_F(RegistryTest, EveryQueryReadsTheCurrentFile) {
    RegKey key = Create();
    ASSERT_EQ(Set(key.get(), "Retransmits", kvp::kRegDword, Dword(6)), kvp::kErrorSuccess);
    std::string data;
    uint32_t type = 0;
    ASSERT_EQ(Get(key.get(), "Retransmits", &type, &data), kvp::kErrorSuccess);
    EXPECT_EQ(data, Dword(6));
    // Another program rewrites the hive behind the open handle.
    kvtest::WriteFile(HiveFile("HKEY_LOCAL_MACHINE"),
                      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\TFTP Server]\n"
                      "\"Retransmits\"=dword:00000009\n\n");
    ASSERT_EQ(Get(key.get(), "Retransmits", &type, &data), kvp::kErrorSuccess);
    EXPECT_EQ(data, Dword(9));
}

TEST_F(RegistryTest, HandWrittenFilesAreReadAsRegeditWouldAndBrokenLinesSkipped) {
    { RegKey made = Create(); }  // the registry directory now exists
    kvtest::WriteFile(HiveFile("HKEY_LOCAL_MACHINE"),
                      "REGEDIT4\r\n"
                      "\r\n"
                      "; a comment\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\TFTP Server]\r\n"
                      "\"TFTPHome\"=\"C:\\\\tftp\"\r\n"
                      "\"Broken\"=dword:xyz\r\n"
                      "\"Unclosed=\"abc\r\n"
                      "garbage line without meaning\r\n"
                      "\"Blob\"=hex:01,02,\\\r\n"
                      "  03,04,\\\r\n"
                      "  FF\r\n"
                      "\"Typed\"=hex(7):61,00,00\r\n"
                      "\"Number\" = dword:1388\r\n"
                      "\"Cut\"=hex:01,02,\\\r\n"
                      "\"After\"=\"still read\"\r\n"
                      "@=\"default\"\r\n"
                      "\r\n"
                      "[HKEY_CURRENT_USER\\Software\\Elsewhere]\r\n"
                      "\"Foreign\"=\"skipped\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Deep\\Er\r\n"
                      "\"Orphan\"=\"no section\"\r\n"
                      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Deep\\Est]\r\n"
                      "\"Last\"=hex:");
    RegKey key;
    ASSERT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kKey, kvp::kKeyAllAccess, key.out()),
              kvp::kErrorSuccess);
    struct Want {
        const char* name;
        uint32_t type;
        std::string data;
    };
    const Want wants[] = {
        {"TFTPHome", kvp::kRegSz, Bytes("C:\\tftp\0")},
        {"Blob", kvp::kRegBinary, "\x01\x02\x03\x04\xFF"},
        {"Typed", kvp::kRegMultiSz, Bytes("a\0\0")},
        {"Number", kvp::kRegDword, Dword(0x1388)},
        {"Cut", kvp::kRegBinary, "\x01\x02"},
        {"After", kvp::kRegSz, Bytes("still read\0")},
        {nullptr, kvp::kRegSz, Bytes("default\0")},
    };
    for (const Want& w : wants) {
        uint32_t type = 0;
        std::string data;
        ASSERT_EQ(Get(key.get(), w.name, &type, &data), kvp::kErrorSuccess)
            << (w.name ? w.name : "@");
        EXPECT_EQ(type, w.type) << (w.name ? w.name : "@");
        EXPECT_EQ(data, w.data) << (w.name ? w.name : "@");
    }
    uint32_t size = 0;
    for (const char* missing : {"Broken", "Unclosed", "Foreign", "Orphan"})
        EXPECT_EQ(kvp::RegQueryValueExA(key.get(), missing, nullptr, nullptr, &size),
                  kvp::kErrorFileNotFound)
            << missing;
    RegKey deep;
    ASSERT_EQ(
        kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\Deep\\Est", kvp::kKeyRead, deep.out()),
        kvp::kErrorSuccess);
    uint32_t type = 0;
    std::string data = "x";
    ASSERT_EQ(Get(deep.get(), "Last", &type, &data), kvp::kErrorSuccess);
    EXPECT_EQ(data, "");

    // A write keeps everything that was readable and leaves a well-formed file.
    ASSERT_EQ(Set(key.get(), "New", kvp::kRegBinary, "\x07"), kvp::kErrorSuccess);
    StrictHive h = ParseHiveFile("HKEY_LOCAL_MACHINE");
    EXPECT_EQ(h[kKey].size(), 8u);
    EXPECT_EQ(h[kKey]["Blob"].data, "\x01\x02\x03\x04\xFF");
    EXPECT_EQ(h["SOFTWARE\\Deep\\Est"]["Last"].type, kvp::kRegBinary);
}

TEST_F(RegistryTest, ReadingWithoutAnyStateCreatesNothing) {
    RegKey key;
    EXPECT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kKey, kvp::kKeyRead, key.out()),
              kvp::kErrorFileNotFound);
    EXPECT_FALSE(kvp::PathExists(HiveFile("HKEY_LOCAL_MACHINE").c_str()));
    // The hive root always exists.
    EXPECT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyCurrentUser, "", kvp::kKeyRead, key.out()),
              kvp::kErrorSuccess);
    char name[16];
    EXPECT_EQ(kvp::RegEnumKeyA(key.get(), 0, name, sizeof name), kvp::kErrorNoMoreItems);
}

// ---- several processes ----------------------------------------------------------------

std::string StressTool() {
    return std::string(KV_TESTBIN_DIR) + "/kvregstress";
}

const char kStressKey[] = "SOFTWARE\\Korvane\\Stress";

uint32_t AsDword(const std::string& data) {
    uint32_t v = 0;
    if (data.size() == 4) std::memcpy(&v, data.data(), 4);
    return v;
}

TEST_F(RegistryTest, TwoProcessesWritingOneHiveLoseNoWrite) {
    constexpr int kWrites = 1000;
    RegKey key = Create(kStressKey);
    std::atomic<int> running{2};
    int status[2] = {-1, -1};
    std::vector<std::thread> waiters;
    const char* names[2] = {"Alpha", "Beta"};
    for (int i = 0; i < 2; ++i) {
        kvp::pid_type pid =
            kvp::SpawnProcess({StressTool(), "count", names[i], std::to_string(kWrites)});
        ASSERT_GT(pid, 0);
        waiters.emplace_back([pid, i, &status, &running] {
            status[i] = kvp::WaitProcess(pid);
            --running;
        });
    }
    // While they write, every snapshot of the file is whole and no counter goes back.
    uint32_t seen[2] = {0, 0};
    int snapshots = 0;
    std::string fault;
    while (running > 0 && fault.empty()) {
        std::string text = kvtest::ReadFile(HiveFile("HKEY_LOCAL_MACHINE"));
        StrictHive h;
        fault = StrictParse(text, "HKEY_LOCAL_MACHINE", &h);
        if (!fault.empty()) break;
        ++snapshots;
        for (int i = 0; i < 2; ++i) {
            auto& values = h[kStressKey];
            auto it = values.find(names[i]);
            if (it == values.end()) {
                if (seen[i] != 0) fault = std::string(names[i]) + " vanished";
                continue;
            }
            uint32_t v = AsDword(it->second.data);
            if (v < seen[i])
                fault = std::string(names[i]) + " went back from " + std::to_string(seen[i]) +
                        " to " + std::to_string(v);
            seen[i] = v;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (auto& t : waiters) t.join();
    EXPECT_EQ(fault, "");
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);
    EXPECT_GT(snapshots, 0);
    for (const char* name : names) {
        uint32_t type = 0;
        std::string data;
        ASSERT_EQ(Get(key.get(), name, &type, &data), kvp::kErrorSuccess) << name;
        EXPECT_EQ(AsDword(data), static_cast<uint32_t>(kWrites)) << name;
    }
}

TEST_F(RegistryTest, ThreadsWritingThroughTheirOwnHandlesLoseNoWrite) {
    constexpr int kThreads = 4;
    constexpr int kWrites = 50;
    { RegKey key = Create(kStressKey); }
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            RegKey key;
            if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kStressKey, kvp::kKeyAllAccess,
                                  key.out()) != kvp::kErrorSuccess) {
                ++failures[t];
                return;
            }
            std::string name = "Thread" + std::to_string(t);
            for (int i = 1; i <= kWrites; ++i)
                if (Set(key.get(), name.c_str(), kvp::kRegDword, Dword(i)) != kvp::kErrorSuccess)
                    ++failures[t];
        });
    }
    for (auto& th : threads) th.join();
    StrictHive h = ParseHiveFile("HKEY_LOCAL_MACHINE");
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(failures[t], 0) << t;
        EXPECT_EQ(h[kStressKey]["Thread" + std::to_string(t)].data, Dword(kWrites)) << t;
    }
}

// The tool's payload: a counter and bytes derived from it.
bool PayloadConsistent(const std::string& data, uint32_t* counter) {
    if (data.size() != 3000) return false;
    uint32_t c = 0;
    std::memcpy(&c, data.data(), 4);
    uint32_t x = c * 2654435761u + 7;
    for (size_t i = 4; i < data.size(); ++i) {
        x = x * 1103515245u + 12345u;
        if (static_cast<uint8_t>(data[i]) != static_cast<uint8_t>(x >> 16)) return false;
    }
    *counter = c;
    return true;
}

TEST_F(RegistryTest, WriterKilledMidWriteLeavesOldOrNewFile) {
    constexpr int kFillers = 150;
    {
        RegKey key = Create(kStressKey);
        for (int i = 0; i < kFillers; ++i) {
            std::string name = "Filler" + std::to_string(i);
            ASSERT_EQ(Set(key.get(), name.c_str(), kvp::kRegSz,
                          "some text to make the file longer " + std::to_string(i) +
                              std::string(1, '\0')),
                      kvp::kErrorSuccess);
        }
    }
    std::mt19937 rng(12345);
    uint32_t last = 0;
    for (int round = 0; round < 20; ++round) {
        kvp::pid_type pid = kvp::SpawnProcess({StressTool(), "payload"});
        ASSERT_GT(pid, 0);
        // Wait until this writer got its first value through (a lock left by the
        // killed one would stop it here), then kill it at a random moment.
        bool advanced = false;
        for (int i = 0; i < 20000 && !advanced; ++i) {
            StrictHive h;
            std::string text = kvtest::ReadFile(HiveFile("HKEY_LOCAL_MACHINE"));
            uint32_t c = 0;
            if (StrictParse(text, "HKEY_LOCAL_MACHINE", &h).empty() &&
                PayloadConsistent(h[kStressKey]["Payload"].data, &c) && c > last)
                advanced = true;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 4000));
        kvp::KillProcess(pid);
        EXPECT_EQ(kvp::WaitProcess(pid), 128 + 9);
        ASSERT_TRUE(advanced) << "round " << round;

        StrictHive h;
        std::string text = kvtest::ReadFile(HiveFile("HKEY_LOCAL_MACHINE"));
        ASSERT_EQ(StrictParse(text, "HKEY_LOCAL_MACHINE", &h), "") << "round " << round;
        auto& values = h[kStressKey];
        EXPECT_EQ(values.size(), static_cast<size_t>(kFillers + 1)) << "round " << round;
        uint32_t c = 0;
        ASSERT_TRUE(PayloadConsistent(values["Payload"].data, &c)) << "round " << round;
        EXPECT_GE(c, last);
        last = c;
    }
    // The API still reads and writes the hive afterwards.
    RegKey key;
    ASSERT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kStressKey, kvp::kKeyAllAccess, key.out()),
              kvp::kErrorSuccess);
    EXPECT_EQ(Set(key.get(), "After", kvp::kRegDword, Dword(1)), kvp::kErrorSuccess);
    uint32_t type = 0;
    std::string data;
    ASSERT_EQ(Get(key.get(), "Payload", &type, &data), kvp::kErrorSuccess);
    uint32_t c = 0;
    EXPECT_TRUE(PayloadConsistent(data, &c));
    EXPECT_EQ(c, last);
}

}  // namespace
