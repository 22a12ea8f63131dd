// The services database in its file form (the format of /etc/services and of Windows'
// drivers\etc\services), read by both backends when KVTFTP_SERVICES names a file.
#pragma once

#include <cstdint>
#include <cstdio>

namespace kvp::internal {

// Looks the service up by name or alias and protocol ("udp"; null matches any), both
// ignoring case; the first matching line wins. Lines that are not entries are skipped.
// True with the port in host order.
bool FindServicePort(std::FILE* f, const char* name, const char* proto, uint16_t* port);

}  // namespace kvp::internal
