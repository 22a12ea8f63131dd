// The sections that modules carry in place of Windows resources (message tables, string
// tables), read from the module's file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvp::internal {

// The contents of the named section of a little-endian ELF file (32- or 64-bit), at most
// limit bytes. errno: ENOENT and the like when the file cannot be opened, ENOEXEC when
// it is not such a file, is corrupt or the section is larger than limit, ENODATA when it
// has no such section.
bool ReadElfSection(const std::string& path, const char* section, uint64_t limit,
                    std::vector<uint8_t>* out);

}  // namespace kvp::internal
