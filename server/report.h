// How the server engine reports: log lines to the event log and syslog, and system and
// socket failures to the operator.
#pragma once

#include <cstdint>

#include "tftp_core.h"

struct ListenerConfig;

// Sends one line to the event log and the syslog host as the listener's settings ask
// (and to standard error when it logs there too).
void LogServerEvent(const ListenerConfig& config, const char* text);
// printf-style convenience over LogServerEvent; the line is cut at 1024 bytes.
void LogServerEventF(const ListenerConfig& config, const char* fmt, ...)
    __attribute__((format(printf, 2, 3)));

// The lines of a transfer's stray packets, a short one and one of an unknown opcode,
// each logged once per transfer: a client that keeps sending them does not write to the
// log packet by packet. who names the serving function ("ServeReadRequest", ...).
class StrayPacketLog {
  public:
    StrayPacketLog(const ListenerConfig& config, const char* who, const char* fileName)
        : config_(config), who_(who), fileName_(fileName) {}
    // opcode as GetPacketOpcode gives it: 0xFFFF for a packet too short to have one.
    void Note(uint16_t opcode);

  private:
    const ListenerConfig& config_;
    const char* who_;
    const char* fileName_;
    bool loggedShort_ = false;
    bool loggedUnexpected_ = false;
};

int SendEventLogMsg(const char* text);
int SendSyslogMsg(const char* host, int32_t facility, const char* text);
int32_t LookupFacilityNumber(const char* name);

// "%s: %s" of the text and the system's text for err (0: the system's last error) to
// the debugger output and a message box captioned "TFTP server error", for what the
// operator must act on. Never blocks the caller on a host without a display. Only one
// box is open at a time: while one is, the report goes to the debugger output and, when
// a configuration is given, to its log.
void ReportServerError(const char* text, int err, const ListenerConfig* log = nullptr);
// The same with the socket layer's last error.
void ReportServerSocketError(const char* text, const ListenerConfig* log = nullptr);

// The core's reporter for a listener with this configuration, for what the operator must
// act on (a conversation socket that cannot be created): ReportServerError.
CoreReporter MakeServerReporter(const ListenerConfig* config);
// The core's reporter for a running transfer's packet I/O: its failures concern one
// client, and go to the log and the debugger output.
CoreReporter MakeTransferReporter(const ListenerConfig* config);

struct SyslogFacility {
    int32_t number;
    char name[20];
};
extern const SyslogFacility g_facilities[24];
