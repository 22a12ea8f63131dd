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
int SendEventLogMsg(const char* text);
int SendSyslogMsg(const char* host, int32_t facility, const char* text);
int32_t LookupFacilityNumber(const char* name);

// "%s: %s" of the text and the system's text for err (0: the system's last error) to
// the debugger output and a message box captioned "TFTP server error". Never blocks the
// caller on a host without a display.
void ReportServerError(const char* text, int err);
// The same with the socket layer's last error.
void ReportServerSocketError(const char* text);

// The core's reporter for the transfers of a listener with this configuration.
CoreReporter MakeServerReporter(const ListenerConfig* config);

struct SyslogFacility {
    int32_t number;
    char name[20];
};
extern const SyslogFacility g_facilities[24];
