// The server's two reporting paths: log lines to the event log and the syslog host, and
// system and socket failures to the operator.
#include "report.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine.h"
#include "kv/debug.h"
#include "kv/errors.h"
#include "kv/eventlog.h"
#include "kv/net.h"
#include "kv/text.h"
#include "kv/ui.h"
#include "report_internal.h"
#include "settings.h"

const SyslogFacility g_facilities[24] = {
    {0, "Kernel"},    {1, "User"},    {2, "Mail"},    {3, "Daemon"},    {4, "Auth"},
    {5, "Syslog"},    {6, "Lpr"},     {7, "News"},    {8, "UUCP"},      {9, "Cron"},
    {10, "Security"}, {11, "FTP"},    {12, "NTP"},    {13, "Logaudit"}, {14, "Logalert"},
    {15, "Clock"},    {16, "Level0"}, {17, "Level1"}, {18, "Level2"},   {19, "Level3"},
    {20, "Level4"},   {21, "Level5"}, {22, "Level6"}, {23, "Level7"},
};

namespace {

constexpr const char* kSourceName = "KVTFTP";
constexpr uint32_t kLogEventId = 0x40000001;
constexpr int32_t kDefaultFacility = 3;
constexpr int kSeverityInformational = 6;

// A settings text as a string, read only within its field even when the stored value
// filled the field without a terminator.
std::string FieldText(const char* field, size_t width) {
    return std::string(field, strnlen(field, width));
}

void DebugLine(const char* fmt, const char* arg) {
    char line[512];
    std::snprintf(line, sizeof line, fmt, arg);
    kvp::OutputDebugStringA(line);
}

// The socket layer's last error in decimal, for the syslog sender's debugger lines.
std::string SocketErrorNumber() {
    return std::to_string(kvp::LastSocketError());
}

const ListenerConfig* ConfigOf(const CoreReporter& self) {
    return static_cast<const ListenerConfig*>(self.context);
}

void ReportSocketFailure(const CoreReporter& self, const char* msg) {
    ReportServerError(msg, kvp::LastSocketError(), ConfigOf(self));
}
void ReportSystemFailure(const CoreReporter& self, const char* msg) {
    ReportServerError(msg, 0, ConfigOf(self));
}
void LogLargePacket(const CoreReporter& self, const char* msg) {
    LogServerEvent(*ConfigOf(self), msg);
}

// "%s: %s" of the text and the system's text for err, on one line.
void FormatWithErrorText(char* out, size_t room, const char* text, int err) {
    std::string sys = kvp::SystemErrorText(err);
    for (char& c : sys) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    while (!sys.empty() && sys.back() == ' ') sys.pop_back();
    std::snprintf(out, room, "%s: %s", text != nullptr ? text : "", sys.c_str());
}

// A transfer's socket failure concerns its client, not the operator: the log line and
// the debugger output, never a box.
void LogTransferFailure(const CoreReporter& self, const char* msg, int err) {
    char line[1024];
    FormatWithErrorText(line, sizeof line, msg, err);
    LogServerEvent(*ConfigOf(self), line);
    char debug[sizeof line + 1];
    std::snprintf(debug, sizeof debug, "%s\n", line);
    kvp::OutputDebugStringA(debug);
}
void LogTransferSocketFailure(const CoreReporter& self, const char* msg) {
    LogTransferFailure(self, msg, kvp::LastSocketError());
}
void LogTransferSystemFailure(const CoreReporter& self, const char* msg) {
    LogTransferFailure(self, msg, kvp::LastSystemError());
}

// The two reporters differ only in where socket and system failures go; an oversized
// packet is a log line for both.
CoreReporter ReporterFor(const ListenerConfig* config, decltype(CoreReporter::socket_error) socket,
                         decltype(CoreReporter::system_error) system) {
    CoreReporter r;
    r.socket_error = socket;
    r.system_error = system;
    r.large_packet = LogLargePacket;
    r.context = config;
    return r;
}

// Set while an operator report is on screen.
std::atomic<bool> g_reportOpen{false};

}  // namespace

CoreReporter MakeServerReporter(const ListenerConfig* config) {
    return ReporterFor(config, ReportSocketFailure, ReportSystemFailure);
}

CoreReporter MakeTransferReporter(const ListenerConfig* config) {
    return ReporterFor(config, LogTransferSocketFailure, LogTransferSystemFailure);
}

void LogServerEvent(const ListenerConfig& config, const char* text) {
    if (text == nullptr) text = "";
    const ServerSettings& s = config.settings;
    if (config.logToStderr) kvp::WriteConsoleLine(text);
    if (FlagIsOne(s.logEventLogs)) SendEventLogMsg(text);
    if (FlagIsOne(s.logSyslogs)) {
        const std::string host = FieldText(s.syslogHost, sizeof s.syslogHost);
        const std::string facility = FieldText(s.facilityName, sizeof s.facilityName);
        SendSyslogMsg(host.c_str(), LookupFacilityNumber(facility.c_str()), text);
    }
}

void LogServerEventF(const ListenerConfig& config, const char* fmt, ...) {
    char line[1025];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    LogServerEvent(config, line);
}

void StrayPacketLog::Note(uint16_t opcode) {
    if (opcode == 0xFFFF) {
        if (loggedShort_) return;
        loggedShort_ = true;
        LogServerEventF(config_, "%s: Unknown short packet received during transfer of %s.", who_,
                        fileName_);
        return;
    }
    if (loggedUnexpected_) return;
    loggedUnexpected_ = true;
    LogServerEventF(config_, "%s: Unexpected packet opcode %02d received during transfer of %s.",
                    who_, opcode, fileName_);
}

int SendEventLogMsg(const char* text) {
    kvp::HEventSource src = kvp::RegisterEventSourceA(nullptr, kSourceName);
    if (src == nullptr) {
        char line[128];
        std::snprintf(line, sizeof line,
                      "SendEventLogMsg: Failed on RegisterEventSource. Error code %d.\n",
                      kvp::LastSystemError());
        kvp::OutputDebugStringA(line);
        return 0;
    }
    const char* strings[1] = {text};
    const bool ok =
        kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, kLogEventId, strings, 1);
    if (!ok) {
        char line[128];
        std::snprintf(line, sizeof line, "SendEventLogMsg: Failed on ReportEvent. Error code %d.\n",
                      kvp::LastSystemError());
        kvp::OutputDebugStringA(line);
    }
    kvp::DeregisterEventSource(src);
    return ok ? 1 : 0;
}

int32_t LookupFacilityNumber(const char* name) {
    if (name == nullptr) return kDefaultFacility;
    for (const SyslogFacility& f : g_facilities) {
        if (kvp::EqualNoCase(name, f.name)) return f.number;
    }
    return kDefaultFacility;
}

int ComposeSyslogDatagram(char* out, size_t room, int32_t facility, const char* text) {
    if (room == 0) return 0;
    const int priority = facility * 8 + kSeverityInformational;
    const int n = std::snprintf(out, room, "<%d> [%s]: %s", priority, kSourceName,
                                text != nullptr ? text : "");
    if (n < 0) return 0;
    // snprintf cut the text to the room; the 0 byte it wrote is not sent.
    return static_cast<int>(static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1);
}

int ResolveSyslogHost(const char* host, ResolveFn resolve, uint32_t* addr_net) {
    if (resolve(host, addr_net)) return 1;
    if (kvp::LastSocketError() != kvp::kErrHostNotFound) {
        DebugLine("SendSyslogMsg: Unable to get hostname. Error code %s.\n",
                  SocketErrorNumber().c_str());
        return 0;
    }
    // The resolver may not know a host given as a dotted address; take it as one.
    const uint32_t addr = kvp::InetAddr(host);
    if (addr == kvp::kInaddrNone) {
        kvp::OutputDebugStringA("SendSyslogMsg: Invalid syslog hostname.");
        return 0;
    }
    *addr_net = addr;
    return 1;
}

int SendSyslogMsg(const char* host, int32_t facility, const char* text) {
    uint16_t port = 0;
    if (!kvp::GetServicePort("syslog", "udp", &port)) {
        DebugLine("SendSyslogMsg: Unable to get syslog port. Error code %s.\n",
                  SocketErrorNumber().c_str());
        return 0;
    }
    kvp::SockAddr4 to;
    to.port = port;
    if (!ResolveSyslogHost(host != nullptr ? host : "", kvp::ResolveHost, &to.addr)) return 0;
    kvp::Socket s(kvp::UdpSocket());
    if (!s.valid()) {
        DebugLine("SendSyslogMsg: Unable to create socket. Error code %s.\n",
                  SocketErrorNumber().c_str());
        return 0;
    }
    char datagram[kMaxSyslogDatagram + 1];
    const int len = ComposeSyslogDatagram(datagram, sizeof datagram, facility, text);
    if (kvp::SendTo(s.get(), datagram, len, to) < 0) {
        DebugLine("SendSyslogMsg: sendto() error. Error code %s.\n", SocketErrorNumber().c_str());
        return 0;
    }
    return 1;
}

void ReportServerError(const char* text, int err, const ListenerConfig* log) {
    if (err == 0) err = kvp::LastSystemError();
    // The box and the debugger line show the system text on one line.
    char msg[1024];
    FormatWithErrorText(msg, sizeof msg, text, err);
    char line[sizeof msg + 1];
    std::snprintf(line, sizeof line, "%s\n", msg);
    kvp::OutputDebugStringA(line);
    // One box at a time: where a box holds its thread until dismissed, failures that
    // repeat must not pile up threads waiting for the operator.
    if (g_reportOpen.exchange(true)) {
        if (log != nullptr) LogServerEvent(*log, msg);
        return;
    }
    kvp::MessageBoxA(nullptr, msg, "TFTP server error",
                     kvp::kMbIconError | kvp::kMbServiceNotification);
    g_reportOpen.store(false);
}

void ReportServerSocketError(const char* text, const ListenerConfig* log) {
    ReportServerError(text, kvp::LastSocketError(), log);
}
