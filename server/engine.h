// The server engine's internal interfaces: the request record, the access checks, the
// two transfer loops and the listener.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kv/net.h"
#include "kv/paths.h"
#include "kv/serve_root.h"
#include "kv/thread.h"
#include "settings.h"
#include "tftp_core.h"

// One listener's settings, loaded when it starts and never changed afterwards. Its
// request threads share them, so a restart with new settings leaves the transfers that
// already run on the settings they began with.
struct ListenerConfig {
    ServerSettings settings;
    // Every log line also goes to standard error (a server run from a console).
    bool logToStderr = false;
    // The core's reporters, logging with these settings: for creating a conversation
    // socket (the operator's concern), and for a transfer's packet I/O (its client's).
    CoreReporter reporter;
    // Why the configured root is not served (the top of a file system, a system
    // directory); every request is then refused as without a root.
    kvp::ServeRootConcern rootConcern = kvp::ServeRootConcern::kNone;
    CoreReporter transferReporter;
};

// Loads the settings from the server key (creating it with the defaults when missing)
// into a new configuration.
std::shared_ptr<ListenerConfig> LoadListenerConfig();

// The requesting client as the server sees it; one per request thread.
struct ClientInfo {
    std::string addressText;  // dotted form, filled by CheckClientAllowed
    kvp::SockAddr4 address;   // where the request came from
    // The configuration of the listener that took the request.
    std::shared_ptr<const ListenerConfig> listener;
    const ServerSettings& settings() const { return listener->settings; }
};

// ---- access checks: 1 to go on, 0 for a refusal ----
int CheckClientAllowed(ClientInfo* client);
int CheckDownloadsAllowed(ClientInfo* client);
int CheckUploadsAllowed(ClientInfo* client);
int CheckFilenameToRead(ClientInfo* client, TransferContext* ctx);
// On success the context's file is the staged file's stream; the upload commits it.
int CheckFilenameToWrite(ClientInfo* client, TransferContext* ctx, kvp::StagedFile* staged);
// The refusal of a name that is taken while overwrites are off.
constexpr const char* kFileExistsText =
    "The file already exists. Overwrites have not been permitted.";
// One ERROR packet to the client from a fresh socket when error replies are on; 1 when
// sent or nothing to do, 0 when the send failed.
int SendErrorToClient(const ClientInfo* client, uint16_t code, const char* text);

// True when one entry of the allowed-clients list (entries separated by runs of blank,
// tab, CR, LF and ';') equals the address text or one of the host's names, ignoring case.
bool ClientListMatches(const char* list, const std::string& addressText,
                       const std::vector<std::string>& hostNames);
// One name of a reverse look-up with the addresses its forward look-up gave.
struct HostAddresses {
    std::string name;
    std::vector<uint32_t> addrs;  // network order
};
// The names that stand for the client: those whose forward look-up gives the client's
// address back. Whoever controls the reverse zone of an address can give it any name;
// only the name's own zone can confirm it.
std::vector<std::string> ConfirmedHostNames(uint32_t addr_net,
                                            const std::vector<HostAddresses>& lookedUp);
// Name checks (reverse and forward look-ups) that may run at once; a look-up can hold its
// thread for as long as the resolver tries, and request threads are bounded.
constexpr int kMaxNameChecks = 16;
// The full path of a requested name below the root: every '\' becomes '/', and the name
// is appended after a separator, so even an absolute name stays below the root. The
// caller has refused names holding "..".
std::string JoinServerPath(const char* root, const std::string& name);
// The longest full path the server opens (Windows' MAX_PATH less the terminator).
constexpr size_t kMaxFullPath = 260;

// ---- option negotiation (with "NegotiateOptions" on) ----
// The largest window granted: 64 blocks keep a transfer's buffers at 4 MiB at the
// largest block size, and a window beyond the receiving socket's buffer is cut anyway.
constexpr uint64_t kMaxWindowSize = 64;
// What a transfer was granted; active when its request's options are answered by an
// OACK (otherwise it is served exactly as a request without options).
struct Negotiation {
    bool active = false;
    TftpOptions granted;
    uint32_t blockSize = kBlockSize;
    uint32_t windowSize = 1;
    uint32_t timeoutMs = 0;  // 0: the configured initial time-out
    uint8_t oack[kMaxPacket] = {};
    int oackLen = 0;
};
// Judges the options of the request in the context's receive buffer: false when one is
// refused (ERROR 8, or ERROR 3 for an upload's tsize beyond spaceLeft; sent when error
// replies are on, and logged). fileSize is the download's size (tsize is left out when
// unknown, 0, or for netascii); who names the serving function in the log.
bool NegotiateOptions(ClientInfo* client, TransferContext* ctx, bool upload, uint64_t fileSize,
                      uint64_t spaceLeft, const char* who, Negotiation* n);
// Once the conversation is open: applies the granted time-out, cuts the window to what
// the receiving side's buffers hold, sizes the socket's buffers and builds the OACK.
void ApplyNegotiation(TransferContext* ctx, Negotiation* n);
// The line naming the options granted.
void LogGrantedOptions(const ClientInfo& client, const TransferContext& ctx, const char* who,
                       const Negotiation& n);
// Sends the OACK from the context's inline send buffer.
bool SendOackToPeer(TransferContext* ctx, const Negotiation& n);

// ---- transfers: 1 when complete, 0 otherwise ----
// Room for an error-received line: the longest path, the table text and a peer's
// 511-byte text.
constexpr size_t kReceivedErrorLineChars = 1024;
// Opens the transfer's conversation socket, connected to the client, and sets the
// context up with the configured initial time-out; false when the socket could not be
// made (already reported).
bool OpenConversation(ClientInfo* client, TransferContext* ctx, kvp::Socket* conversation);
int ServeReadRequest(ClientInfo* client, TransferContext* ctx);
int ServeWriteRequest(ClientInfo* client, TransferContext* ctx);

// ---- listener and request threads ----
// The listener's argument, handed over with new; the listener owns it.
struct ListenerArgs {
    kvp::EventHandle shutdown;
    // Signalled once the listener has its port, or has given up: a start is reported
    // only when requests are served.
    kvp::EventHandle ready;
};
uint32_t StartTFTPServerThread(void* arg);
uint32_t GetInitialRequest(void* arg);

// Bound on request threads alive at once; at the bound the listener leaves further
// datagrams queued in the socket until a thread ends.
constexpr int kMaxRequestThreads = 384;
int ActiveRequestThreads();
