// The client's transfer log and its reports of system and socket failures.
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "client_engine.h"
#include "kv/debug.h"
#include "kv/errors.h"
#include "kv/ui.h"

namespace {

constexpr const char* kProductName = "Korvane TFTP client";
constexpr const char* kErrorCaption = "TFTP client error";
// Room for a message, ": " and the system's text; longer texts are cut.
constexpr size_t kReportChars = 1024;

void Report(const char* text, int err) {
    char buf[kReportChars];
    std::snprintf(buf, sizeof buf, "%s: %s", text ? text : "", kvp::SystemErrorText(err).c_str());
    DebugLine(buf);
    kvp::MessageBoxA(nullptr, buf, kErrorCaption, kvp::kMbOk | kvp::kMbIconError);
}

}  // namespace

void ReportClientError(const char* text) {
    Report(text, kvp::LastSystemError());
}

void ReportClientSocketError(const char* text) {
    Report(text, kvp::LastSocketError());
}

const CoreReporter g_clientReporter = {
    [](const CoreReporter&, const char* msg) { ReportClientSocketError(msg); },
    [](const CoreReporter&, const char* msg) { ReportClientError(msg); },
    [](const CoreReporter&, const char* msg) { ReportClientError(msg); },
};

void DebugLine(const char* text) {
    std::string line(text ? text : "");
    line += '\n';
    kvp::OutputDebugStringA(line.c_str());
}

std::string FormatLogDate(std::time_t when) {
    // The names are fixed English ones, whatever locale the host program chose.
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // std::localtime hands out one shared record.
    static std::mutex localtimeLock;
    std::tm tm{};
    {
        std::lock_guard<std::mutex> hold(localtimeLock);
        const std::tm* now = std::localtime(&when);
        if (now == nullptr) return "Thu Jan 01 00:00:00 1970";
        tm = *now;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %4d", kDays[(tm.tm_wday % 7 + 7) % 7],
                  kMonths[(tm.tm_mon % 12 + 12) % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  tm.tm_year + 1900);
    return buf;
}

std::FILE* OpenTransferLog() {
    if (g_clientSettings.LogEnable == 0) return nullptr;
    // Appending in text mode: every line ends with the platform's own line end.
    std::FILE* log = std::fopen(g_clientSettings.LogPath, "a");
    if (log == nullptr) {
        ReportClientError("Failed to open log file for writing");
        return nullptr;
    }
    std::fprintf(log, "**** %s log started on %s\n", kProductName,
                 FormatLogDate(std::time(nullptr)).c_str());
    return log;
}

void LogClientEvent(std::FILE* log, const char* text) {
    // Write failures (a full disk) are ignored: the transfer goes on.
    if (log == nullptr || g_clientSettings.LogEnable == 0) return;
    std::fprintf(log, "%s\n", text);
}

void LogClientEventF(std::FILE* log, const char* fmt, ...) {
    if (log == nullptr || g_clientSettings.LogEnable == 0) return;
    char buf[kReportChars];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    LogClientEvent(log, buf);
}

void ComposeReceivedError(char* buf, size_t size, const char* routine, const std::string& file,
                          uint16_t code, const std::string& details) {
    char fmt[96];
    std::snprintf(fmt, sizeof fmt,
                  "%s: Error received during transfer of %%s. Error code %%02d (%%s).", routine);
    FormatReceivedError(buf, size, fmt, file, code, details);
}

void CloseFileAndSocket(TransferContext* ctx) {
    if (ctx->file != nullptr) {
        std::fclose(ctx->file);
        ctx->file = nullptr;
    }
    if (ctx->socket != kvp::kInvalidSocket) {
        kvp::CloseSocket(ctx->socket);
        ctx->socket = kvp::kInvalidSocket;
    }
}

bool LogReceivedError(TransferContext* ctx, std::FILE* log, const char* routine) {
    LogClientEvent(log, "Received ERROR");
    // A packet of 3 or 4 bytes carries no code: it is reported as 0.
    uint16_t code = 0;
    std::string details;
    if (!ExtractErrorInfo(ctx, &code, &details)) return false;
    char msg[1200];
    ComposeReceivedError(msg, sizeof msg, routine, ctx->fileName, code, details);
    LogClientEvent(log, msg);
    return true;
}
