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

#include "win_names.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "posix_io.h"

namespace kvp {

namespace {

constexpr char kSectionName[] = "kvmsgtbl";
constexpr uint64_t kMaxSectionHeaders = 4u << 20;  // bytes of the section header table
constexpr uint64_t kMaxNames = 4u << 20;           // bytes of the section name table
constexpr uint64_t kMaxTable = 16u << 20;          // bytes of the message table
constexpr size_t kMaxMessage = 64u << 10;          // FormatMessageA's buffer limit

uint64_t Get(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

using internal::Fd;

// The bytes [offset, offset + len) of a file of `size` bytes; false when they do not lie
// inside it or cannot be read.
bool ReadAt(int fd, uint64_t size, uint64_t offset, uint64_t len, std::vector<uint8_t>* out) {
    if (offset > size || len > size - offset) return false;
    out->resize(static_cast<size_t>(len));
    size_t done = 0;
    while (done < len) {
        ssize_t n = ::pread(fd, out->data() + done, static_cast<size_t>(len) - done,
                            static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The contents of the message-table section of a little-endian ELF file (32- or 64-bit).
// errno: ENOENT and the like when the file cannot be opened, ENOEXEC when it is not such
// a file or is corrupt, ENODATA when it has no message table.
bool ReadMessageSection(const std::string& path, std::vector<uint8_t>* table) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) return false;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENOEXEC;
        return false;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    errno = ENOEXEC;
    std::vector<uint8_t> h;
    if (!ReadAt(fd.get(), size, 0, 52, &h) ||
        std::memcmp(h.data(),
                    "\x7f"
                    "ELF",
                    4) != 0 ||
        h[5] != 1 /* little-endian */)
        return false;
    const bool is64 = h[4] == 2;
    if (!is64 && h[4] != 1) return false;
    if (is64 && !ReadAt(fd.get(), size, 0, 64, &h)) return false;
    const uint64_t shoff = is64 ? Get(&h[40], 8) : Get(&h[32], 4);
    const uint64_t shentsize = Get(&h[is64 ? 58 : 46], 2);
    uint64_t shnum = Get(&h[is64 ? 60 : 48], 2);
    uint64_t shstrndx = Get(&h[is64 ? 62 : 50], 2);
    const uint64_t min_entry = is64 ? 64 : 40;
    if (shoff == 0 || shentsize < min_entry) return false;

    // Section header fields: name, type, offset, size, link.
    struct Section {
        uint64_t name, type, offset, size, link;
    };
    auto parse = [is64](const uint8_t* p) {
        return is64 ? Section{Get(p, 4), Get(p + 4, 4), Get(p + 24, 8), Get(p + 32, 8),
                              Get(p + 40, 4)}
                    : Section{Get(p, 4), Get(p + 4, 4), Get(p + 16, 4), Get(p + 20, 4),
                              Get(p + 24, 4)};
    };
    std::vector<uint8_t> first;
    if (!ReadAt(fd.get(), size, shoff, shentsize, &first)) return false;
    // Many sections: the count and the name table's index live in the first header.
    if (shnum == 0) shnum = parse(first.data()).size;
    if (shstrndx == 0xFFFF) shstrndx = parse(first.data()).link;
    if (shnum == 0 || shnum > kMaxSectionHeaders / shentsize || shstrndx >= shnum) return false;
    std::vector<uint8_t> headers;
    if (!ReadAt(fd.get(), size, shoff, shnum * shentsize, &headers)) return false;

    const Section names_hdr = parse(&headers[shstrndx * shentsize]);
    std::vector<uint8_t> names;
    if (names_hdr.type == 8 /* no bits */ || names_hdr.size > kMaxNames ||
        !ReadAt(fd.get(), size, names_hdr.offset, names_hdr.size, &names))
        return false;
    for (uint64_t i = 1; i < shnum; ++i) {
        const Section s = parse(&headers[i * shentsize]);
        if (s.name >= names.size() || names.size() - s.name < sizeof kSectionName ||
            std::memcmp(&names[s.name], kSectionName, sizeof kSectionName) != 0)
            continue;
        if (s.type == 8 || s.size > kMaxTable) return false;
        return ReadAt(fd.get(), size, s.offset, s.size, table);
    }
    errno = ENODATA;
    return false;
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
        dirs.insert(dirs.begin(), {internal::ProgramDirectory(), StateDir() + "/system"});
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
        return ReadMessageSection(ResolveModule(module_path), &table) &&
               FindMessage(table, id, &text) && ExpandMessage(text, inserts, count, out);
    } catch (...) {
        errno = ENOMEM;
        return false;
    }
}

}  // namespace kvp
