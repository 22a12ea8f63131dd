// Error numbers and their texts, Windows style: one "last error" per thread for the
// system and one for the socket layer, and a text for any number.
//
// Three kinds of numbers meet here; each is named where a call yields one:
// - Result codes: the Windows codes (kError... below and in service.h) that the registry
//   calls return and that the service manager calls leave as the system's last error.
//   They have their Windows values on every platform, so callers compare them with the
//   constants.
// - System error numbers: the system's last error, what a failed export returns, what a
//   report is given. On Windows the Windows codes (GetLastError). On POSIX errno values,
//   and above errno's range the Windows codes that the stand-ins decide themselves (the
//   service manager's, 1051 and up, and the registry's 1016 and 1018).
//   SystemErrorOfResult turns a result code into one; a result code is never handed over
//   unchanged, since below errno's range the numbers mean other things on POSIX (5 is
//   EIO there, not "access denied").
// - Socket error numbers: the socket layer's last error. On Windows the WSA codes; on
//   POSIX errno values, and the resolver's failures numbered as Windows numbers them
//   (kErrHostNotFound and its neighbours, 11001 to 11004).
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

// The socket layer's last error of the calling thread, kept apart from the system's.
int LastSocketError();
void SetLastSocketError(int err);

// The system error number that stands for a result code: the code itself on Windows, the
// errno value of the same meaning on POSIX where one exists (kErrorAccessDenied becomes
// EACCES), else the code (its text comes from the Windows texts the platform keeps).
int SystemErrorOfResult(long result);

// The system's text for a system or socket error number, on one line; "Unknown error N"
// when the system has none.
std::string SystemErrorText(int err);

}  // namespace kvp
