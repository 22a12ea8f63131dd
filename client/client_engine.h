// The TFTP client engine: the settings of one transfer, the worker that runs it, the
// request exchange, the upload and download loops and the transfer log. Built into the
// client library and into the desktop client.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "kv/net.h"
#include "kv/thread.h"
#include "tftp_core.h"

constexpr size_t kServerNameChars = 64;
constexpr size_t kPathChars = 260;

// The process-wide settings of the transfer to run. Written completely before a worker
// starts and only read while it runs; every text stays terminated within its capacity.
struct ClientSettings {
    char TFTPServer[kServerNameChars + 1];
    uint8_t Action;        // 0 upload (write request), otherwise download (read request)
    uint8_t TransferMode;  // 0 netascii, otherwise octet
    char LocalPath[kPathChars + 1];
    char RemotePath[kPathChars + 1];
    uint8_t LogEnable;
    char LogPath[kPathChars + 1];
    uint16_t InitialTimeoutMs;
    int32_t RetryLimit;
    kvp::ThreadHandle worker;  // the worker started by the last successful request
};

extern ClientSettings g_clientSettings;

// The server's address as one transfer uses it.
struct ServerInfo {
    std::string addressText;  // dotted form, or the caller's text until the first reply
    kvp::SockAddr4 addr;      // TFTP port until the first reply, then the transfer port
    int addrLen = sizeof(kvp::SockAddr4);
};

// Where the worker shows its progress; absent (null) for the library.
struct ClientWindowSink {
    virtual void SetStatusText(const char* text) = 0;
    virtual void SetStartCaption(const char* text) = 0;

  protected:
    ~ClientWindowSink() = default;
};

// Defaults: no server, upload, netascii, the current directory as local path, no log,
// the log file "tftpclilog.txt" in the current directory. The worker handle is kept.
void ResetClientSettings();
// The same for another copy of the settings (the desktop dialog keeps its own).
void ResetClientSettings(ClientSettings& s);

// Copies at most cap characters of src into dst (cap + 1 bytes), always terminated.
void CopySetting(char* dst, const char* src, size_t cap);

// The worker routine; arg is a ClientWindowSink* or null. Returns 1 for a completed
// transfer, 0 for any failure.
uint32_t ClientTransferThread(void* arg);

// What the worker owns for one transfer; whatever is still open when it goes away is
// released.
struct ClientTransfer {
    ClientWindowSink* sink = nullptr;
    TransferContext ctx;
    ServerInfo server;
    std::FILE* log = nullptr;
    bool netStarted = false;

    ClientTransfer() = default;
    ClientTransfer(const ClientTransfer&) = delete;
    ClientTransfer& operator=(const ClientTransfer&) = delete;
    ~ClientTransfer();
    void ReleaseResources();
};

// Ends a transfer: resets the window, closes what is still open, shuts the socket
// library down; returns the exit code for the worker to return.
uint32_t EndClientTransfer(ClientTransfer* t, uint32_t exitCode);

// The client form of the conversation socket: bound to any local port and unconnected;
// sets the family and the TFTP service port in *server (the address is kept).
kvp::socket_t CreateClientConversationSocket(kvp::SockAddr4* server);

// Sends the request (kOpRrq or kOpWrq) and waits for the first reply, whose sender
// becomes the server's transfer address and the socket's peer. 1 on success.
int MakeSendRWReq(ServerInfo* server, TransferContext* ctx, uint16_t opcode, std::FILE* log);

// Upload (sends the local file): 1 when the server acknowledged the last block.
int CliReadTransfer(ServerInfo* server, TransferContext* ctx, std::FILE* log);
// Download (writes the local file): 1 when the whole file was received.
int CliWriteTransfer(ServerInfo* server, TransferContext* ctx, std::FILE* log);

// ---- transfer log and reports ----
// Opens the log for appending and writes its header when logging is on; null when it
// is off or the file did not open (reported).
std::FILE* OpenTransferLog();
// The classic 24-character local date, "Mon Dec 07 06:11:16 2026", in English.
std::string FormatLogDate(std::time_t when);
void LogClientEvent(std::FILE* log, const char* text);
void LogClientEventF(std::FILE* log, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// "%s: %s" of the text and the last system / socket error's description, to the
// debugger output and a message box captioned "TFTP client error".
void ReportClientError(const char* text);
void ReportClientSocketError(const char* text);
// One line to the debugger output.
void DebugLine(const char* text);
// Closes the transfer's local file and socket, where still open.
void CloseFileAndSocket(TransferContext* ctx);

// The core's reporter for client transfers.
extern const CoreReporter g_clientReporter;

// Composes "<prefix>: Error received during transfer of <file>. Error code NN (text)."
// with " Details: <server text>" when the packet has one, cut to fit the buffer.
// Logs "Received ERROR" and the error-received line of an ERROR packet in the context;
// false when the packet is too short to be an error report (2 bytes or fewer).
bool LogReceivedError(TransferContext* ctx, std::FILE* log, const char* routine);
void ComposeReceivedError(char* buf, size_t size, const char* routine, const std::string& file,
                          uint16_t code, const std::string& details);
