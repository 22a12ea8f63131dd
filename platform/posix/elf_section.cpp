// Sections of ELF files, read as untrusted data: every offset and length is checked
// against what was read, so a truncated or corrupt file fails the call and nothing else.
#include "elf_section.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "posix_io.h"

namespace kvp::internal {

namespace {

constexpr uint64_t kMaxSectionHeaders = 4u << 20;  // bytes of the section header table
constexpr uint64_t kMaxNames = 4u << 20;           // bytes of the section name table

uint64_t Get(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

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

}  // namespace

bool ReadElfSection(const std::string& path, const char* section, uint64_t limit,
                    std::vector<uint8_t>* out) {
    const size_t nameSize = std::strlen(section) + 1;
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
        if (s.name >= names.size() || names.size() - s.name < nameSize ||
            std::memcmp(&names[s.name], section, nameSize) != 0)
            continue;
        if (s.type == 8 || s.size > limit) return false;
        return ReadAt(fd.get(), size, s.offset, s.size, out);
    }
    errno = ENODATA;
    return false;
}

}  // namespace kvp::internal
