// The client's settings and the worker that runs one transfer: socket library, server
// address, local file, log and conversation socket, then the upload or download loop.
#include "client_engine.h"

#include <cstring>
#include <exception>

#include "kv/errors.h"
#include "kv/paths.h"

ClientSettings g_clientSettings = {};

namespace {

constexpr uint16_t kStandardTimeoutMs = 5000;
constexpr int32_t kStandardRetryLimit = 6;
constexpr const char* kLogFileName = "tftpclilog.txt";

void SetStatus(ClientWindowSink* sink, const char* text) {
    if (sink != nullptr) sink->SetStatusText(text);
}

void SetCaption(ClientWindowSink* sink, const char* text) {
    if (sink != nullptr) sink->SetStartCaption(text);
}

bool InitClientWinsock(ClientTransfer* t) {
    uint16_t granted = 0;
    const int err = kvp::NetStartup(&granted);
    if (err != 0) {
        kvp::SetLastSocketError(err);
        ReportClientSocketError("Unable to load Winsock 1.1");
        return false;
    }
    t->netStarted = true;
    return true;
}

// 1 resolved, 0 refused (reported), -1 no server named (not reported).
int ResolveTFTPServer(ServerInfo* server) {
    const char* name = g_clientSettings.TFTPServer;
    if (name[0] == '\0') return -1;
    server->addr = kvp::SockAddr4{};
    uint32_t addr = 0;
    if (kvp::ResolveHost(name, &addr)) {
        server->addressText = kvp::InetNtoa(addr);
    } else {
        // Keep the resolver's error for the report: parsing sets none.
        const int err = kvp::LastSocketError();
        addr = kvp::InetAddr(name);
        if (addr == kvp::kInaddrNone) {
            kvp::SetLastSocketError(err);
            ReportClientSocketError("Unable to resolve TFTP server");
            return 0;
        }
        server->addressText = name;
    }
    server->addr.family = kvp::kAfInet;
    server->addr.addr = addr;
    server->addrLen = sizeof(kvp::SockAddr4);
    return 1;
}

bool OpenLocalFile(TransferContext* ctx) {
    if (g_clientSettings.Action == 0) {
        ctx->file = kvp::OpenFileForRead(g_clientSettings.LocalPath);
        if (ctx->file == nullptr) {
            ReportClientError("Failed to open local file for reading");
            return false;
        }
    } else {
        // A download creates or empties the local file before the server is asked.
        ctx->file = kvp::OpenFileForWrite(g_clientSettings.LocalPath);
        if (ctx->file == nullptr) {
            ReportClientError("Failed to open local file for writing");
            return false;
        }
    }
    return true;
}

uint32_t RunTransfer(ClientTransfer* t) {
    SetStatus(t->sink, "Started TFTP request.");
    SetCaption(t->sink, "Stop");

    if (!InitClientWinsock(t)) return EndClientTransfer(t, 0);
    if (ResolveTFTPServer(&t->server) <= 0) return EndClientTransfer(t, 0);
    // A download creates or empties its local file: the log is opened first, so that a
    // log that cannot be opened stops the transfer without costing the local file.
    const bool emptiesLocalFile = g_clientSettings.Action != 0;
    if (!emptiesLocalFile && !OpenLocalFile(&t->ctx)) return EndClientTransfer(t, 0);
    if (g_clientSettings.LogEnable != 0) {
        t->log = OpenTransferLog();
        if (t->log == nullptr) return EndClientTransfer(t, 0);
    }
    if (emptiesLocalFile && !OpenLocalFile(&t->ctx)) return EndClientTransfer(t, 0);
    t->ctx.socket = CreateClientConversationSocket(&t->server.addr);
    if (t->ctx.socket == kvp::kInvalidSocket) return EndClientTransfer(t, 0);

    // SelectTransferRoutine
    const bool download = g_clientSettings.Action != 0;
    t->ctx.mode = g_clientSettings.TransferMode != 0 ? "octet" : "netascii";
    t->ctx.fileName = g_clientSettings.RemotePath;
    t->ctx.reporter = &g_clientReporter;
    g_clientSettings.InitialTimeoutMs = kStandardTimeoutMs;
    g_clientSettings.RetryLimit = kStandardRetryLimit;

    const int ok = download ? CliWriteTransfer(&t->server, &t->ctx, t->log)
                            : CliReadTransfer(&t->server, &t->ctx, t->log);
    return EndClientTransfer(t, ok ? 1 : 0);
}

}  // namespace

void CopySetting(char* dst, const char* src, size_t cap) {
    size_t n = 0;
    if (src != nullptr) {
        while (n < cap && src[n] != '\0') ++n;
        std::memcpy(dst, src, n);
    }
    dst[n] = '\0';
}

void ResetClientSettings() {
    ResetClientSettings(g_clientSettings);
}

void ResetClientSettings(ClientSettings& s) {
    s.TFTPServer[0] = '\0';
    s.Action = 0;
    s.TransferMode = 0;
    char cwd[kPathChars + 1] = "";
    if (kvp::GetCurrentDirectoryA(cwd, sizeof cwd) == 0) cwd[0] = '\0';
    CopySetting(s.LocalPath, cwd, kPathChars);
    s.RemotePath[0] = '\0';
    s.LogEnable = 0;
    // The directory as the system gives it, then the separator and the name, cut to
    // the field.
    char log[2 * (kPathChars + 1)];
    std::snprintf(log, sizeof log, "%s%c%s", cwd, kvp::kPathSep, kLogFileName);
    CopySetting(s.LogPath, log, kPathChars);
    s.InitialTimeoutMs = kStandardTimeoutMs;
    s.RetryLimit = kStandardRetryLimit;
}

ClientTransfer::~ClientTransfer() {
    ReleaseResources();
}

void ClientTransfer::ReleaseResources() {
    if (ctx.file != nullptr) {
        std::fclose(ctx.file);
        ctx.file = nullptr;
    }
    if (log != nullptr) {
        std::fclose(log);
        log = nullptr;
    }
    if (ctx.socket != kvp::kInvalidSocket) {
        kvp::CloseSocket(ctx.socket);
        ctx.socket = kvp::kInvalidSocket;
    }
    if (netStarted) {
        kvp::NetCleanup();
        netStarted = false;
    }
}

uint32_t EndClientTransfer(ClientTransfer* t, uint32_t exitCode) {
    SetCaption(t->sink, "Go");
    SetStatus(t->sink, "Transfer complete.");
    t->ReleaseResources();
    return exitCode;
}

uint32_t ClientTransferThread(void* arg) {
    ClientTransfer t;
    t.sink = static_cast<ClientWindowSink*>(arg);
    try {
        return RunTransfer(&t);
    } catch (const std::exception&) {
        // Out of memory for a text: the transfer fails; what it holds is released.
        return EndClientTransfer(&t, 0);
    }
}
