// Error numbers and their texts, Windows style: one "last error" per thread for the
// system and one for the socket layer, and a text for any number.
#pragma once

#include <cstdint>
#include <string>

namespace kvp {

// Windows result codes that callers test for by value.
constexpr long kErrorSuccess = 0;
constexpr long kErrorFileNotFound = 2;
constexpr long kErrorAccessDenied = 5;
constexpr long kErrorInvalidHandle = 6;
constexpr long kErrorInvalidParameter = 87;
constexpr long kErrorMoreData = 234;
constexpr long kErrorNoMoreItems = 259;

// The system's last error of the calling thread (errno on POSIX, GetLastError on Windows).
int LastSystemError();
void SetLastSystemError(int err);

// The socket layer's last error of the calling thread (WSAGetLastError on Windows).
int LastSocketError();
void SetLastSocketError(int err);

// The system's text for an error number, on one line; "Unknown error N" when the system
// has none. Socket and resolver numbers are understood too.
std::string SystemErrorText(int err);

}  // namespace kvp
