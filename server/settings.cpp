#include "settings.h"

#include <cstring>

#include "kv/errors.h"
#include "kv/paths.h"
#include "report.h"

namespace {

void CopyText(char* dst, size_t cap, const char* src) {
    size_t n = std::strlen(src);
    if (n >= cap) n = cap - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

// A text value is taken only when it is a REG_SZ that fits its field with its
// terminator; anything else keeps the default already in the field.
void ReadText(kvp::HKey key, const char* name, char* field, uint32_t cap) {
    char buf[1025 + 1];
    uint32_t type = 0;
    uint32_t size = cap;
    if (kvp::RegQueryValueExA(key, name, &type, reinterpret_cast<uint8_t*>(buf), &size) !=
        kvp::kErrorSuccess)
        return;
    if (type != kvp::kRegSz) return;
    if (size == 0) {
        field[0] = '\0';
        return;
    }
    if (buf[size - 1] != '\0') {
        if (size >= cap) return;  // no room left for the terminator: too long
        buf[size] = '\0';
    }
    CopyText(field, cap, buf);
}

// A flag is a one-byte REG_BINARY; any other size or type keeps the default.
void ReadFlag(kvp::HKey key, const char* name, uint8_t* field) {
    uint8_t b = 0;
    uint32_t type = 0;
    uint32_t size = 1;
    if (kvp::RegQueryValueExA(key, name, &type, &b, &size) != kvp::kErrorSuccess) return;
    if (type != kvp::kRegBinary || size != 1) return;
    *field = b;
}

void ReadDword(kvp::HKey key, const char* name, uint32_t* field) {
    uint8_t b[4];
    uint32_t type = 0;
    uint32_t size = 4;
    if (kvp::RegQueryValueExA(key, name, &type, b, &size) != kvp::kErrorSuccess) return;
    if (type != kvp::kRegDword || size != 4) return;
    std::memcpy(field, b, 4);
}

void WriteText(kvp::HKey key, const char* name, const char* text) {
    kvp::RegSetValueExA(key, name, kvp::kRegSz, reinterpret_cast<const uint8_t*>(text),
                        static_cast<uint32_t>(std::strlen(text) + 1));
}

void WriteFlag(kvp::HKey key, const char* name, uint8_t flag) {
    kvp::RegSetValueExA(key, name, kvp::kRegBinary, &flag, 1);
}

void WriteDword(kvp::HKey key, const char* name, uint32_t value) {
    uint8_t b[4];
    std::memcpy(b, &value, 4);
    kvp::RegSetValueExA(key, name, kvp::kRegDword, b, 4);
}

}  // namespace

void SetDefaultServerSettings(ServerSettings* s) {
    std::memset(s, 0, sizeof *s);
    if (kvp::GetCurrentDirectoryA(s->rootDirectory, sizeof s->rootDirectory) == 0)
        s->rootDirectory[0] = '\0';
    CopyText(s->syslogHost, sizeof s->syslogHost, "localhost");
    CopyText(s->facilityName, sizeof s->facilityName, "Daemon");
    s->logEventLogs = 0;
    s->logSyslogs = 0;
    s->clientRestrict = 0;
    s->allowedClients[0] = '\0';
    s->sendBackErrors = 1;
    s->allowDownloads = 1;
    s->allowUploads = 1;
    s->allowOverwrite = 0;
    s->retransmits = 6;
    s->rexttimeout = 5000;
    s->negotiateOptions = 0;
}

int LoadServerParameters(ServerSettings* out) {
    SetDefaultServerSettings(out);
    kvp::RegKey key;
    if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyRead, key.out()) !=
        kvp::kErrorSuccess) {
        RecordServerParameters(*out);
        return 0;
    }
    ServerSettings& s = *out;
    ReadText(key.get(), "TFTPHome", s.rootDirectory, sizeof s.rootDirectory);
    ReadFlag(key.get(), "LogEventLogs", &s.logEventLogs);
    ReadFlag(key.get(), "LogSyslogs", &s.logSyslogs);
    ReadText(key.get(), "SyslogHost", s.syslogHost, sizeof s.syslogHost);
    ReadText(key.get(), "FacilityName", s.facilityName, sizeof s.facilityName);
    ReadFlag(key.get(), "ClientRestrict", &s.clientRestrict);
    ReadText(key.get(), "AllowedClients", s.allowedClients, sizeof s.allowedClients);
    ReadFlag(key.get(), "SendBackErrors", &s.sendBackErrors);
    ReadFlag(key.get(), "AllowDownloads", &s.allowDownloads);
    ReadFlag(key.get(), "AllowUploads", &s.allowUploads);
    ReadFlag(key.get(), "AllowOverwrite", &s.allowOverwrite);
    uint32_t retransmits = static_cast<uint32_t>(s.retransmits);
    ReadDword(key.get(), "Retransmits", &retransmits);
    s.retransmits = static_cast<int32_t>(retransmits);
    ReadDword(key.get(), "Rexttimeout", &s.rexttimeout);
    ReadFlag(key.get(), "NegotiateOptions", &s.negotiateOptions);
    return 1;
}

int RecordServerParameters(const ServerSettings& s) {
    kvp::RegKey key;
    uint32_t disposition = 0;
    long rc = kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyWrite, key.out(),
                                   &disposition);
    if (rc != kvp::kErrorSuccess) {
        ReportServerError("RecordServerParameters: RegCreateKeyEx failed",
                          kvp::SystemErrorOfResult(rc));
        return 0;
    }
    WriteText(key.get(), "TFTPHome", s.rootDirectory);
    WriteFlag(key.get(), "LogEventLogs", s.logEventLogs);
    WriteFlag(key.get(), "LogSyslogs", s.logSyslogs);
    WriteText(key.get(), "SyslogHost", s.syslogHost);
    WriteText(key.get(), "FacilityName", s.facilityName);
    WriteFlag(key.get(), "ClientRestrict", s.clientRestrict);
    WriteText(key.get(), "AllowedClients", s.allowedClients);
    WriteFlag(key.get(), "SendBackErrors", s.sendBackErrors);
    WriteFlag(key.get(), "AllowDownloads", s.allowDownloads);
    WriteFlag(key.get(), "AllowUploads", s.allowUploads);
    WriteFlag(key.get(), "AllowOverwrite", s.allowOverwrite);
    WriteDword(key.get(), "Retransmits", static_cast<uint32_t>(s.retransmits));
    WriteDword(key.get(), "Rexttimeout", s.rexttimeout);
    WriteText(key.get(), "Version", "2.0");
    return 1;
}
