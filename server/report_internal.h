// The pieces of the syslog sender that tests look at on their own.
#pragma once

#include <cstddef>
#include <cstdint>

// The longest syslog datagram the server sends.
constexpr int kMaxSyslogDatagram = 1024;

// Writes "<priority> [KVTFTP]: text" into out, cut to room - 1 characters; returns the
// length to send (no terminating 0 byte is sent).
int ComposeSyslogDatagram(char* out, size_t room, int32_t facility, const char* text);

// The syslog host's address: resolved by name, else, when the resolver says there is no
// such host, read as a dotted address. 0 (after a debugger line) when neither works.
using ResolveFn = bool (*)(const char* name, uint32_t* addr_net);
int ResolveSyslogHost(const char* host, ResolveFn resolve, uint32_t* addr_net);
