// The install directory recorded in the server key, as the support library reads it.
#pragma once

#include <cstddef>

constexpr const char* kServerKeyPath = "SOFTWARE\\Korvane\\TFTP Server";
constexpr const char* kServiceName = "KVTFTP";
constexpr size_t kPathRoom = 261;  // 260 characters and the terminator

// Reads "RootDirectory" afresh into the library's one static buffer and returns it,
// ending with a separator; empty (after a line on standard output) when the key or the
// value cannot be read, and empty too when the value does not fit with its separator.
const char* ReadSvcInstallDirectory();

// Writes the install directory followed by the file name into out (room bytes); false,
// leaving out empty, when the two do not fit.
bool ComposeInstalledPath(char* out, size_t room, const char* fileName);
