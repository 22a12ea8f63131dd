// The server's settings, kept in the machine-wide registry key and loaded each time the
// listener starts.
#pragma once

#include <cstdint>

#include "kv/registry.h"

constexpr const char* kServerKey = "SOFTWARE\\Korvane\\TFTP Server";

struct ServerSettings {
    char rootDirectory[261];
    uint8_t logEventLogs;
    uint8_t logSyslogs;
    char syslogHost[64];
    char facilityName[20];
    uint8_t clientRestrict;
    char allowedClients[1025];
    uint8_t sendBackErrors;
    uint8_t allowDownloads;
    uint8_t allowUploads;
    uint8_t allowOverwrite;
    int32_t retransmits;
    uint32_t rexttimeout;
    // Option negotiation (block size, transfer size, time-out, window size) for clients
    // that ask for it; off, requests are served without options whatever they carry.
    uint8_t negotiateOptions;
};

// Puts the built-in defaults into the record (root = the current directory).
void SetDefaultServerSettings(ServerSettings* s);
// Fills s from the server key: 1 when the key was read, 0 when it was missing and was
// created with the defaults.
int LoadServerParameters(ServerSettings* s);
// 1, or 0 when the key cannot be created. "NegotiateOptions" is an administrator's choice
// no dialog shows: it is never written here, so recording the dialog's record never
// resets it.
int RecordServerParameters(const ServerSettings& s);

// The flag tests the server applies: some flags are on only for the byte 1, others for
// any byte but 0.
inline bool FlagIsOne(uint8_t b) {
    return b == 1;
}
inline bool FlagNotZero(uint8_t b) {
    return b != 0;
}
