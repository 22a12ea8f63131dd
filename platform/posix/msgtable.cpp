// Message tables read from module files. A module built with kv_message_table carries a
// Windows message-table resource's bytes (MESSAGE_RESOURCE_DATA) in its ELF section
// "kvmsgtbl"; the file is parsed as untrusted data: every offset and length is checked
// against what was read, so a truncated or corrupt file fails the call and nothing else.
#include "kv/msgtable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "elf_section.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "posix_io.h"
#include "win_names.h"

namespace kvp {

namespace {

constexpr char kSectionName[] = "kvmsgtbl";
constexpr uint64_t kMaxTable = 16u << 20;  // bytes of the message table
constexpr size_t kMaxMessage = 64u << 10;  // FormatMessageA's buffer limit

uint64_t Get(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

// The text of message `id` in MESSAGE_RESOURCE_DATA bytes, converted to 8 bits and cut at
// its terminator. errno: ENOMSG when the table has no such message, ENOEXEC when the
// table is corrupt.
bool FindMessage(const std::vector<uint8_t>& t, uint32_t id, std::string* text) {
    const uint64_t size = t.size();
    errno = ENOEXEC;
    if (size < 4) return false;
    const uint64_t blocks = Get(&t[0], 4);
    if (blocks > (size - 4) / 12) return false;
    for (uint64_t b = 0; b < blocks; ++b) {
        const uint8_t* blk = &t[4 + 12 * b];
        const uint64_t low = Get(blk, 4), high = Get(blk + 4, 4);
        if (id < low || id > high) continue;
        // Entries vary in length: walk to the one wanted. Every step moves at least four
        // bytes, so the walk ends within the table.
        uint64_t pos = Get(blk + 8, 4);
        for (uint64_t skip = id - low;; --skip) {
            if (pos > size || size - pos < 4) return false;
            const uint64_t len = Get(&t[pos], 2);
            if (len < 4 || len > size - pos) return false;
            if (skip == 0) {
                const uint64_t flags = Get(&t[pos + 2], 2);
                const uint8_t* p = &t[pos + 4];
                const size_t n = static_cast<size_t>(len - 4);
                text->clear();
                if (flags == 1) {
                    // UTF-16: Latin-1 as it is, anything else as '?'.
                    for (size_t i = 0; i + 1 < n; i += 2) {
                        const uint64_t c = Get(p + i, 2);
                        if (c == 0) break;
                        text->push_back(c < 0x100 ? static_cast<char>(c) : '?');
                    }
                } else if (flags == 0 || flags == 2) {  // 8-bit, UTF-8
                    text->assign(reinterpret_cast<const char*>(p),
                                 strnlen(reinterpret_cast<const char*>(p), n));
                } else {
                    return false;
                }
                return true;
            }
            pos += len;
        }
    }
    errno = ENOMSG;
    return false;
}

void Append(std::string* out, const char* s, size_t n) {
    if (out->size() < kMaxMessage) out->append(s, std::min(n, kMaxMessage - out->size()));
}

// An insert under a "!spec!": width, precision and '-' apply when the conversion is a
// string; any other conversion shows the string as it is.
void AppendInsert(std::string* out, const char* s, const std::string& spec) {
    size_t len = std::strlen(s);
    size_t i = 0;
    bool left = false;
    while (i < spec.size() && std::strchr("-+ #0", spec[i])) left |= spec[i++] == '-';
    auto number = [&spec, &i]() {
        size_t v = 0;
        while (i < spec.size() && spec[i] >= '0' && spec[i] <= '9')
            v = std::min<size_t>(v * 10 + static_cast<size_t>(spec[i++] - '0'), kMaxMessage);
        return v;
    };
    size_t width = number();
    if (i < spec.size() && spec[i] == '.') {
        ++i;
        len = std::min(len, number());
    }
    while (i < spec.size() && std::strchr("hlw", spec[i])) ++i;
    if (spec.empty() || i + 1 != spec.size() || (spec[i] != 's' && spec[i] != 'S')) {
        Append(out, s, std::strlen(s));
        return;
    }
    const std::string pad(width > len ? width - len : 0, ' ');
    if (!left) Append(out, pad.data(), pad.size());
    Append(out, s, len);
    if (left) Append(out, pad.data(), pad.size());
}

bool ExpandMessage(const std::string& f, const char* const* inserts, size_t count,
                   std::string* out) {
    out->clear();
    for (size_t i = 0; i < f.size() && out->size() < kMaxMessage;) {
        const char c = f[i];
        if (c == '\r' || c == '\n') {
            // Any line end of the text, CR LF or a lone CR or LF, is CR LF.
            Append(out, "\r\n", 2);
            i += c == '\r' && i + 1 < f.size() && f[i + 1] == '\n' ? 2 : 1;
            continue;
        }
        if (c != '%') {
            Append(out, &c, 1);
            ++i;
            continue;
        }
        const size_t start = i++;
        if (i >= f.size()) {
            errno = EINVAL;  // a '%' that ends the text
            return false;
        }
        const char e = f[i++];
        if (e == '0') return true;
        if (e < '1' || e > '9') {
            const char* esc = e == 'n' ? "\r\n" : e == 'r' ? "\r" : e == 't' ? "\t" : nullptr;
            if (esc)
                Append(out, esc, std::strlen(esc));
            else
                Append(out, &e, 1);
            continue;
        }
        size_t n = static_cast<size_t>(e - '0');
        if (i < f.size() && f[i] >= '0' && f[i] <= '9')
            n = n * 10 + static_cast<size_t>(f[i++] - '0');
        std::string spec;
        if (i < f.size() && f[i] == '!') {
            const size_t close = f.find('!', i + 1);
            if (close == std::string::npos) {
                errno = EINVAL;
                return false;
            }
            spec = f.substr(i + 1, close - i - 1);
            i = close + 1;
        }
        if (n > count || !inserts)
            Append(out, &f[start], i - start);
        else
            AppendInsert(out, inserts[n - 1] ? inserts[n - 1] : "(null)", spec);
    }
    return true;
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Where a module name leads: the name as given, then its Linux file name (backslashes as
// directory separators); a plain name is looked for in the search directories.
std::string ResolveModule(const char* name) {
    std::string slashed = name;
    for (char& c : slashed)
        if (c == '\\') c = '/';
    const std::string candidates[] = {name, internal::LinuxFileName(slashed)};
    for (const std::string& c : candidates) {
        if (c.find('/') != std::string::npos) {
            if (IsRegularFile(c)) return c;
            continue;
        }
        std::vector<std::string> dirs = internal::DirectoryList(GetEnv("LD_LIBRARY_PATH"));
        std::string system;
        dirs.insert(dirs.begin(), internal::ProgramDirectory());
        // The system directory only when it is this user's alone.
        if (internal::StateSubdir("system", false, &system)) dirs.insert(dirs.begin() + 1, system);
        std::string found = internal::FindInDirectories(dirs, c, IsRegularFile);
        if (!found.empty()) return found;
    }
    return candidates[1];  // fails to open with the Linux name
}

}  // namespace

bool FormatModuleMessage(const char* module_path, uint32_t id, const char* const* inserts,
                         size_t count, std::string* out) {
    if (!module_path || !*module_path || !out) {
        errno = EINVAL;
        return false;
    }
    try {
        std::vector<uint8_t> table;
        std::string text;
        return internal::ReadElfSection(ResolveModule(module_path), kSectionName, kMaxTable,
                                        &table) &&
               FindMessage(table, id, &text) && ExpandMessage(text, inserts, count, out);
    } catch (...) {
        errno = ENOMEM;
        return false;
    }
}

}  // namespace kvp
