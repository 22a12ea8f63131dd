// The registry stand-in: each hive is one REGEDIT4 text file. Every call reads the file
// afresh under a shared lock; every change is a read-modify-write under an exclusive lock
// that writes a temporary file, syncs it and renames it over the hive, so readers and a
// process killed mid-write only ever leave the old or the new file behind.
#include "kv/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "kv/debug.h"
#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/text.h"
#include "posix_io.h"

namespace kvp {

struct RegKeyState {
    int hive;          // index into kHiveNames
    std::string path;  // components joined by '\', as first written; "" is the hive root
    uint32_t sam;
};

namespace {

constexpr long kErrorKeyDeleted = 1018;
constexpr long kErrorRegistryIo = 1016;

constexpr uint32_t kKeyQueryValue = 0x0001;
constexpr uint32_t kKeySetValue = 0x0002;
constexpr uint32_t kKeyCreateSubKey = 0x0004;
constexpr uint32_t kKeyEnumerateSubKeys = 0x0008;

const char* const kHiveNames[] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER"};

// A key that every Windows machine has and that programs open without creating it (the
// control panel's list of applets): opening it creates it when it is not there yet.
constexpr const char* kWellKnownMachineKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";

RegKeyState g_hklm{0, std::string(), kKeyAllAccess};
RegKeyState g_hkcu{1, std::string(), kKeyAllAccess};

std::mutex g_handles_mu;
std::unordered_set<RegKeyState*>* g_handles = nullptr;  // while a handle is open

// ---- names ----------------------------------------------------------------------------

// Orders folded key paths so that a key's subkeys follow it directly, as regedit
// exports them: the separator sorts before every other character.
struct KeyOrder {
    bool operator()(const std::string& a, const std::string& b) const {
        size_t n = a.size() < b.size() ? a.size() : b.size();
        for (size_t i = 0; i < n; ++i) {
            unsigned char x = static_cast<unsigned char>(a[i]);
            unsigned char y = static_cast<unsigned char>(b[i]);
            if (x == y) continue;
            if (x == '\\') return true;
            if (y == '\\') return false;
            return x < y;
        }
        return a.size() < b.size();
    }
};

// Splits a subkey text into its components; empty components (doubled or leading and
// trailing separators) are ignored.
std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path) {
        if (c == '\\') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

std::string JoinPath(const std::vector<std::string>& parts, size_t count) {
    std::string r;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        if (i) r.push_back('\\');
        r += parts[i];
    }
    return r;
}

std::string ChildPath(const std::string& base, const char* subkey) {
    std::vector<std::string> parts = SplitPath(base);
    if (subkey) {
        std::vector<std::string> more = SplitPath(subkey);
        parts.insert(parts.end(), more.begin(), more.end());
    }
    return JoinPath(parts, parts.size());
}

// ---- the hive model -------------------------------------------------------------------

struct Value {
    std::string name;
    uint32_t type = kRegNone;
    std::string data;
};

struct Key {
    std::string path;  // as first written
    std::vector<Value> values;

    Value* find(const std::string& name) {
        for (Value& v : values)
            if (EqualNoCase(v.name, name)) return &v;
        return nullptr;
    }
};

struct Hive {
    std::map<std::string, Key, KeyOrder> keys;  // by folded path; the root is ""

    Hive() { keys[""]; }

    Key* find(const std::string& path) {
        auto it = keys.find(ToAsciiLower(path));
        return it == keys.end() ? nullptr : &it->second;
    }

    // Creates the key and every missing ancestor; true when anything was created.
    bool create(const std::string& path, Key** out) {
        std::vector<std::string> parts = SplitPath(path);
        bool created = false;
        Key* key = &keys[""];
        for (size_t n = 1; n <= parts.size(); ++n) {
            // A new key is spelled under its parent's first spelling.
            std::string p = key->path.empty() ? parts[n - 1] : key->path + "\\" + parts[n - 1];
            auto [it, inserted] = keys.try_emplace(ToAsciiLower(p));
            if (inserted) {
                it->second.path = p;
                created = true;
            }
            key = &it->second;
        }
        if (out) *out = key;
        return created;
    }

    bool hasSubkeys(const std::string& path) {
        const std::string folded = ToAsciiLower(path);
        const std::string prefix = folded.empty() ? folded : folded + '\\';
        auto it = keys.upper_bound(folded);
        return it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0 &&
               it->first.size() > prefix.size();
    }

    // The immediate subkeys' names, in key order.
    std::vector<std::string> subkeys(const std::string& path) {
        std::vector<std::string> names;
        const std::string folded = ToAsciiLower(path);
        const std::string prefix = folded.empty() ? folded : folded + '\\';
        for (auto it = keys.upper_bound(folded); it != keys.end(); ++it) {
            if (it->first.compare(0, prefix.size(), prefix) != 0) break;
            if (it->first.size() <= prefix.size()) continue;
            if (it->first.find('\\', prefix.size()) != std::string::npos) continue;
            names.push_back(it->second.path.substr(prefix.size()));
        }
        return names;
    }
};

// ---- reading the text format ----------------------------------------------------------

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithFolded(const std::string& s, size_t pos, const char* word) {
    return pos <= s.size() && EqualNoCase(std::string_view(s).substr(pos, std::strlen(word)), word);
}

bool OnlyBlanksFrom(const std::string& s, size_t pos) {
    for (; pos < s.size(); ++pos)
        if (!IsBlank(s[pos])) return false;
    return true;
}

// A quoted text starting at s[pos] == '"'; pos ends after the closing quote.
bool ParseQuoted(const std::string& s, size_t* pos, std::string* out) {
    size_t i = *pos + 1;
    out->clear();
    while (i < s.size()) {
        char c = s[i++];
        if (c == '"') {
            *pos = i;
            return true;
        }
        if (c == '\\') {
            if (i >= s.size()) return false;
            char e = s[i++];
            if (e == 'n')
                out->push_back('\n');
            else if (e == 'r')
                out->push_back('\r');
            else
                out->push_back(e);
        } else {
            out->push_back(c);
        }
    }
    return false;
}

// "01,ab, 2f" (an empty list is empty data); a trailing comma is tolerated.
bool ParseHexBytes(const std::string& s, size_t pos, std::string* out) {
    out->clear();
    size_t i = pos;
    for (;;) {
        while (i < s.size() && IsBlank(s[i])) ++i;
        if (i >= s.size()) return true;
        int hi = HexDigit(s[i]);
        if (hi < 0) return false;
        int v = hi;
        ++i;
        if (i < s.size() && HexDigit(s[i]) >= 0) v = v * 16 + HexDigit(s[i++]);
        out->push_back(static_cast<char>(v));
        while (i < s.size() && IsBlank(s[i])) ++i;
        if (i >= s.size()) return true;
        if (s[i] != ',') return false;
        ++i;
    }
}

// Splits the text into physical lines without their CR LF or LF ends.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

// A line that carries on a hex list: hex digits, commas and blanks only.
bool LooksLikeHexContinuation(const std::string& line) {
    bool any = false;
    for (char c : line) {
        if (IsBlank(c)) continue;
        if (c != ',' && HexDigit(c) < 0 && c != '\\') return false;
        any = true;
    }
    return any;
}

// Parses the value part after '=' of one value line; lines[*li] is the current line and
// *li moves past any continuation lines used. False when the line does not parse.
bool ParseValueData(const std::vector<std::string>& lines, size_t* li, const std::string& line,
                    size_t pos, uint32_t* type, std::string* data, bool* remove) {
    *remove = false;
    if (pos >= line.size()) return false;
    if (line[pos] == '-') {
        if (!OnlyBlanksFrom(line, pos + 1)) return false;
        *remove = true;
        return true;
    }
    if (line[pos] == '"') {
        size_t p = pos;
        std::string text;
        if (!ParseQuoted(line, &p, &text) || !OnlyBlanksFrom(line, p)) return false;
        *type = kRegSz;
        *data = text;
        data->push_back('\0');
        return true;
    }
    if (StartsWithFolded(line, pos, "dword:")) {
        size_t p = pos + 6;
        uint32_t v = 0;
        int digits = 0;
        while (p < line.size() && HexDigit(line[p]) >= 0) {
            if (++digits > 8) return false;
            v = v * 16 + static_cast<uint32_t>(HexDigit(line[p++]));
        }
        if (digits == 0 || !OnlyBlanksFrom(line, p)) return false;
        *type = kRegDword;
        data->assign(4, '\0');
        for (int i = 0; i < 4; ++i) (*data)[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return true;
    }
    if (!StartsWithFolded(line, pos, "hex")) return false;
    size_t p = pos + 3;
    uint32_t t = kRegBinary;
    if (p < line.size() && line[p] == '(') {
        ++p;
        uint32_t v = 0;
        int digits = 0;
        while (p < line.size() && HexDigit(line[p]) >= 0) {
            if (++digits > 8) return false;
            v = v * 16 + static_cast<uint32_t>(HexDigit(line[p++]));
        }
        if (digits == 0 || p >= line.size() || line[p] != ')') return false;
        ++p;
        t = v;
    }
    if (p >= line.size() || line[p] != ':') return false;
    ++p;
    // Gather the list over continuation lines: a line ending in a backslash goes on in
    // the next line, as long as that line looks like more of the list.
    std::string list = line.substr(p);
    for (;;) {
        size_t e = list.size();
        while (e > 0 && IsBlank(list[e - 1])) --e;
        if (e == 0 || list[e - 1] != '\\') break;
        list.resize(e - 1);
        if (*li + 1 >= lines.size() || !LooksLikeHexContinuation(lines[*li + 1])) break;
        ++*li;
        list += lines[*li];
    }
    if (!ParseHexBytes(list, 0, data)) return false;
    *type = t;
    return true;
}

Hive ParseHive(const std::string& text, const char* hive_name) {
    Hive hive;
    std::vector<std::string> lines = SplitLines(text);
    Key* current = nullptr;  // null: values are skipped (no section, or a foreign one)
    for (size_t li = 0; li < lines.size(); ++li) {
        const std::string& raw = lines[li];
        size_t pos = 0;
        if (li == 0 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
        while (pos < raw.size() && IsBlank(raw[pos])) ++pos;
        if (pos >= raw.size() || raw[pos] == ';') continue;
        if (raw[pos] == '[') {
            current = nullptr;
            size_t close = raw.rfind(']');
            if (close == std::string::npos || close <= pos) continue;
            std::string path = raw.substr(pos + 1, close - pos - 1);
            size_t hn = std::strlen(hive_name);
            if (path.size() < hn || !EqualNoCase(path.substr(0, hn), hive_name)) continue;
            if (path.size() > hn && path[hn] != '\\') continue;
            hive.create(path.substr(hn), &current);
            continue;
        }
        if (raw[pos] != '"' && raw[pos] != '@') continue;  // the header and stray lines
        std::string name;
        if (raw[pos] == '@') {
            ++pos;
        } else if (!ParseQuoted(raw, &pos, &name)) {
            continue;
        }
        while (pos < raw.size() && IsBlank(raw[pos])) ++pos;
        if (pos >= raw.size() || raw[pos] != '=') continue;
        ++pos;
        while (pos < raw.size() && IsBlank(raw[pos])) ++pos;
        uint32_t type = kRegNone;
        std::string data;
        bool remove = false;
        if (!ParseValueData(lines, &li, raw, pos, &type, &data, &remove)) continue;
        if (!current) continue;
        Value* v = current->find(name);
        if (remove) {
            if (v) current->values.erase(current->values.begin() + (v - current->values.data()));
        } else if (v) {
            v->type = type;
            v->data = std::move(data);
        } else {
            current->values.push_back(Value{name, type, std::move(data)});
        }
    }
    return hive;
}

// ---- writing the text format ----------------------------------------------------------

void AppendQuoted(std::string* out, const std::string& s) {
    out->push_back('"');
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out->push_back('\\');
            out->push_back(c);
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c == '\r') {
            *out += "\\r";
        } else {
            out->push_back(c);
        }
    }
    out->push_back('"');
}

// A REG_SZ is written as text only when the text reads back as the same bytes: one
// terminating NUL, no other NUL, and no line break inside.
bool IsCleanText(const std::string& data) {
    if (data.empty() || data.back() != '\0') return false;
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        char c = data[i];
        if (c == '\0' || c == '\n' || c == '\r') return false;
    }
    return true;
}

void AppendValue(std::string* out, const Value& v) {
    size_t line_start = out->size();
    if (v.name.empty())
        out->push_back('@');
    else
        AppendQuoted(out, v.name);
    out->push_back('=');
    if (v.type == kRegSz && IsCleanText(v.data)) {
        AppendQuoted(out, v.data.substr(0, v.data.size() - 1));
        out->push_back('\n');
        return;
    }
    char buf[32];
    if (v.type == kRegDword && v.data.size() == 4) {
        uint32_t x = 0;
        for (int i = 0; i < 4; ++i)
            x |= static_cast<uint32_t>(static_cast<unsigned char>(v.data[i])) << (8 * i);
        std::snprintf(buf, sizeof buf, "dword:%08x\n", x);
        *out += buf;
        return;
    }
    if (v.type == kRegBinary)
        *out += "hex:";
    else {
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        *out += buf;
    }
    // Wrapped as regedit does: lines of at most 80 columns, broken after a comma.
    size_t col = out->size() - line_start;
    for (size_t i = 0; i < v.data.size(); ++i) {
        bool last = i + 1 == v.data.size();
        std::snprintf(buf, sizeof buf, "%02x%s", static_cast<unsigned char>(v.data[i]),
                      last ? "" : ",");
        size_t len = std::strlen(buf);
        if (col + len > 78 && col > 2) {
            *out += "\\\n  ";
            col = 2;
        }
        *out += buf;
        col += len;
    }
    out->push_back('\n');
}

std::string SerializeHive(const Hive& hive, const char* hive_name) {
    std::string out = "REGEDIT4\n\n";
    for (const auto& [folded, key] : hive.keys) {
        if (folded.empty() && key.values.empty()) continue;
        out.push_back('[');
        out += hive_name;
        if (!key.path.empty()) {
            out.push_back('\\');
            out += key.path;
        }
        out += "]\n";
        for (const Value& v : key.values) AppendValue(&out, v);
        out.push_back('\n');
    }
    return out;
}

// ---- files and locks ------------------------------------------------------------------

long ErrnoToResult(int err) {
    if (err == EACCES || err == EPERM || err == EROFS) return kErrorAccessDenied;
    return kErrorRegistryIo;
}

std::string HivePath(const std::string& dir, int hive) {
    return dir + "/" + kHiveNames[hive] + ".reg";
}

using internal::Fd;

// Opens the hive's lock file and takes the lock within the lock bound; -1 with errno set
// on failure (ETIMEDOUT when another process kept it).
int TakeLock(const std::string& dir, int hive, bool exclusive) {
    std::string path = dir + "/" + kHiveNames[hive] + ".lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) ::fchmod(fd, 0600);
    if (fd < 0 && !exclusive) fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    if (!internal::LockFdWithin(fd, exclusive ? LOCK_EX : LOCK_SH, internal::LockWaitMs())) {
        int err = errno;
        ::close(fd);
        if (err == ETIMEDOUT) {
            char line[600];
            std::snprintf(line, sizeof line, "kvtftp: registry lock %s not granted in %d ms\n",
                          path.c_str(), internal::LockWaitMs());
            OutputDebugStringA(line);
        }
        errno = err;
        return -1;
    }
    return fd;
}

// Reads the whole hive file; an absent file is an empty hive.
bool ReadHiveText(const std::string& dir, int hive, std::string* text) {
    text->clear();
    Fd fd(::open(HivePath(dir, hive).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) return errno == ENOENT;
    char buf[16384];
    for (;;) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return true;
        text->append(buf, static_cast<size_t>(n));
    }
}

long LoadHive(int hive, Hive* out) {
    std::string dir;
    if (!internal::StateSubdir("registry", false, &dir)) {
        if (errno != ENOENT) return ErrnoToResult(errno);
        // No registry yet: an empty hive.
        *out = ParseHive("", kHiveNames[hive]);
        return kErrorSuccess;
    }
    // Without a lock file (no right to create one) there is only a file that rename keeps
    // whole anyway; a lock that another process keeps fails the read.
    Fd lock(TakeLock(dir, hive, false));
    if (lock.get() < 0 && errno == ETIMEDOUT) return ErrnoToResult(errno);
    std::string text;
    if (!ReadHiveText(dir, hive, &text)) return ErrnoToResult(errno);
    *out = ParseHive(text, kHiveNames[hive]);
    return kErrorSuccess;
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Replaces the hive file with the text: a new temporary file (created exclusively, so
// nothing standing at its name is followed), sync, rename, sync the directory.
bool StoreHiveText(const std::string& dir, int hive, const std::string& text) {
    std::string path = HivePath(dir, hive);
    std::string tmp;
    Fd fd(internal::CreateTempBeside(path, 0600, &tmp));
    if (fd.get() < 0) return false;
    if (!WriteAll(fd.get(), text) || ::fsync(fd.get()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        return false;
    }
    if (::close(fd.release()) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        errno = err;
        return false;
    }
    Fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (d.get() >= 0) ::fsync(d.get());
    return true;
}

// Read-modify-write under the exclusive lock. change returns a result code and sets
// *changed when the hive must be written back.
long ModifyHive(int hive, const std::function<long(Hive&, bool*)>& change) {
    std::string dir;
    if (!internal::StateSubdir("registry", true, &dir)) return ErrnoToResult(errno);
    Fd lock(TakeLock(dir, hive, true));
    if (lock.get() < 0) return ErrnoToResult(errno);
    std::string text;
    // A hive that cannot be read must not be replaced by one holding only this change.
    if (!ReadHiveText(dir, hive, &text)) return ErrnoToResult(errno);
    Hive model = ParseHive(text, kHiveNames[hive]);
    bool changed = false;
    long r = change(model, &changed);
    if (r != kErrorSuccess || !changed) return r;
    if (!StoreHiveText(dir, hive, SerializeHive(model, kHiveNames[hive])))
        return ErrnoToResult(errno);
    return kErrorSuccess;
}

// ---- handles --------------------------------------------------------------------------

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
long LoadKey(HKey key, Hive* hive, Key** out) {
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
        Key* key = hive.find(path);
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
            if (Key* existing = hive.find(path)) {
                stored = existing->path;
                return kErrorSuccess;
            }
            if (!(root->sam & kKeyCreateSubKey)) return Fail(kErrorAccessDenied);
            Key* key = nullptr;
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
        Key* k = nullptr;
        long r = LoadKey(key, &hive, &k);
        if (r != kErrorSuccess) return r;
        Value* v = k->find(name ? name : "");
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
            Key* k = hive.find(key->path);
            if (!k) return Fail(kErrorKeyDeleted);
            if (Value* v = k->find(value_name)) {
                v->type = type;
                v->data = bytes;
            } else {
                k->values.push_back(Value{value_name, type, bytes});
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
            Key* k = hive.find(key->path);
            if (!k) return Fail(kErrorKeyDeleted);
            Value* v = k->find(value_name);
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
        Key* k = nullptr;
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
        Key* k = nullptr;
        long r = LoadKey(key, &hive, &k);
        if (r != kErrorSuccess) return r;
        if (index >= k->values.size()) return kErrorNoMoreItems;
        const Value& v = k->values[index];
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
