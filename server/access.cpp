// Whether a request is served at all: the client restriction, the two direction
// switches and the requested file name, and the ERROR reply to a refused client.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "kv/debug.h"
#include "kv/errors.h"
#include "kv/net.h"
#include "kv/paths.h"
#include "kv/text.h"
#include "report.h"
#include "settings.h"

namespace {

constexpr const char* kNoRootText = "No root directory has been set on this server.";

bool IsListSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ';';
}

bool HoldsParentReference(const std::string& name) {
    return name.find("..") != std::string::npos;
}

std::string RootText(const ServerSettings& settings) {
    return std::string(settings.rootDirectory,
                       strnlen(settings.rootDirectory, sizeof settings.rootDirectory));
}

// The name as the platform opens it below the root: every '\\' becomes '/'.
std::string NameBelowRoot(const std::string& name) {
    std::string tail = name;
    for (char& c : tail) {
        if (c == '\\') c = '/';
    }
    return tail;
}

// An empty root would make every name a path from the top of the file system: nothing
// is served until a root is set. A root that is the top of a file system or a system
// directory counts as none.
bool RefuseWithoutRoot(const ClientInfo* client) {
    if (client->settings().rootDirectory[0] != '\0' &&
        client->listener->rootConcern == kvp::ServeRootConcern::kNone)
        return false;
    SendErrorToClient(client, 2, kNoRootText);
    return true;
}

// True when the last step of the name is that of a file still being received: such a
// file is never served, and no request may name one.
bool NamesStagedFile(const std::string& tail) {
    const size_t slash = tail.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    return tail.compare(start, sizeof kvp::kStagedNamePrefix - 1, kvp::kStagedNamePrefix) == 0;
}

// Joins the name to the root for the context's full path (what the log lines and error
// texts show) and returns the name as opened below the root, or false for a name that is
// refused like one that cannot be opened: too long a path, or a staged file's name.
bool JoinBelowRoot(const ServerSettings& settings, TransferContext* ctx, std::string* tail) {
    const std::string root = RootText(settings);
    *tail = NameBelowRoot(ctx->fileName);
    ctx->fileName = JoinServerPath(root.c_str(), ctx->fileName);
    if (ctx->fileName.size() > kMaxFullPath || NamesStagedFile(*tail)) {
        kvp::SetLastSystemError(0);
        return false;
    }
    return true;
}

// Opens the file below the root, never outside it.
std::FILE* OpenBelowRoot(const ServerSettings& settings, TransferContext* ctx,
                         kvp::BelowMode mode) {
    std::string tail;
    if (!JoinBelowRoot(settings, ctx, &tail)) return nullptr;
    return kvp::OpenFileBelow(RootText(settings).c_str(), tail.c_str(), mode);
}

}  // namespace

bool ClientListMatches(const char* list, const std::string& addressText,
                       const std::vector<std::string>& hostNames) {
    if (list == nullptr) return false;
    // A private copy, read within the setting's width.
    const std::string entries(list, strnlen(list, sizeof ServerSettings::allowedClients));
    size_t i = 0;
    while (i < entries.size()) {
        while (i < entries.size() && IsListSeparator(entries[i])) ++i;
        size_t j = i;
        while (j < entries.size() && !IsListSeparator(entries[j])) ++j;
        if (j > i) {
            const std::string entry = entries.substr(i, j - i);
            if (kvp::EqualNoCase(entry, addressText)) return true;
            for (const std::string& name : hostNames) {
                if (kvp::EqualNoCase(entry, name)) return true;
            }
        }
        i = j;
    }
    return false;
}

std::string JoinServerPath(const char* root, const std::string& name) {
    std::string full = root != nullptr ? root : "";
    full += '/';
    full += NameBelowRoot(name);
    return full;
}

int SendErrorToClient(const ClientInfo* client, uint16_t code, const char* text) {
    if (!FlagNotZero(client->settings().sendBackErrors)) return 1;
    uint8_t packet[kMaxPacket];
    const int len = BuildErrorPacket(packet, code, text);
    // A fresh socket: the system picks its port when sending, so the refusal never comes
    // from the TFTP port.
    kvp::Socket s(kvp::UdpSocket());
    if (!s.valid()) return 0;
    if (kvp::SendTo(s.get(), packet, len, client->address) != len) return 0;
    return 1;
}

std::vector<std::string> ConfirmedHostNames(uint32_t addr_net,
                                            const std::vector<HostAddresses>& lookedUp) {
    std::vector<std::string> confirmed;
    for (const HostAddresses& host : lookedUp) {
        for (uint32_t a : host.addrs) {
            if (a == addr_net) {
                confirmed.push_back(host.name);
                break;
            }
        }
    }
    return confirmed;
}

namespace {

std::atomic<int> g_nameChecks{0};

// Holds one of the kMaxNameChecks places for look-ups, when one is free.
class NameCheckSlot {
  public:
    NameCheckSlot() : held_(g_nameChecks.fetch_add(1) < kMaxNameChecks) {
        if (!held_) g_nameChecks.fetch_sub(1);
    }
    ~NameCheckSlot() {
        if (held_) g_nameChecks.fetch_sub(1);
    }
    NameCheckSlot(const NameCheckSlot&) = delete;
    NameCheckSlot& operator=(const NameCheckSlot&) = delete;
    bool held() const { return held_; }

  private:
    bool held_;
};

// The client's names that the list holds and that their forward look-up confirms. A
// failed look-up only leaves the address comparison.
std::vector<std::string> ListedConfirmedNames(const ClientInfo* client) {
    const char* list = client->settings().allowedClients;
    std::vector<std::string> names;
    kvp::ReverseLookup(client->address.addr, &names);
    std::vector<HostAddresses> lookedUp;
    for (const std::string& name : names) {
        // Only a name the list holds is worth its forward look-up.
        if (!ClientListMatches(list, std::string(), {name})) continue;
        HostAddresses host{name, {}};
        if (kvp::ForwardLookup(name.c_str(), &host.addrs)) lookedUp.push_back(std::move(host));
    }
    return ConfirmedHostNames(client->address.addr, lookedUp);
}

}  // namespace

int CheckClientAllowed(ClientInfo* client) {
    client->addressText = kvp::InetNtoa(client->address.addr);
    if (!FlagNotZero(client->settings().clientRestrict)) return 1;
    const char* list = client->settings().allowedClients;
    // The address alone needs no look-up.
    if (ClientListMatches(list, client->addressText, {})) return 1;
    const NameCheckSlot slot;
    if (!slot.held()) {
        // So many look-ups are under way that this one would only wait behind them.
        const std::string line = "CheckClientAllowed: Too many name look-ups at once; " +
                                 client->addressText + " is judged by its address.\n";
        kvp::OutputDebugStringA(line.c_str());
    } else if (ClientListMatches(list, client->addressText, ListedConfirmedNames(client))) {
        return 1;
    }
    LogServerEventF(*client->listener, "Denied TFTP access to host %s.",
                    client->addressText.c_str());
    SendErrorToClient(client, 2, "TFTP access has not be explicitly allowed for this host.");
    return 0;
}

int CheckDownloadsAllowed(ClientInfo* client) {
    if (FlagIsOne(client->settings().allowDownloads)) return 1;
    SendErrorToClient(client, 2, "All TFTP downloads have been disabled on this server.");
    return 0;
}

int CheckUploadsAllowed(ClientInfo* client) {
    if (FlagIsOne(client->settings().allowUploads)) return 1;
    SendErrorToClient(client, 2, "All TFTP uploads have been disabled on this server.");
    return 0;
}

int CheckFilenameToRead(ClientInfo* client, TransferContext* ctx) {
    if (HoldsParentReference(ctx->fileName)) {
        SendErrorToClient(client, 1, "Cannot use reference to parent directories in filename.");
        return 0;
    }
    if (RefuseWithoutRoot(client)) return 0;
    ctx->file = OpenBelowRoot(client->settings(), ctx, kvp::BelowMode::kRead);
    if (ctx->file == nullptr) {
        char text[1024];
        std::snprintf(text, sizeof text, "CheckFilenameToRead: Unable to open %s for reading.",
                      ctx->fileName.c_str());
        SendErrorToClient(client, 1, text);
        LogServerEvent(*client->listener, text);
        return 0;
    }
    return 1;
}

int CheckFilenameToWrite(ClientInfo* client, TransferContext* ctx, kvp::StagedFile* staged) {
    if (HoldsParentReference(ctx->fileName)) {
        SendErrorToClient(client, 1, "Cannot use refer to parent directories in filename.");
        return 0;
    }
    if (RefuseWithoutRoot(client)) return 0;
    // The upload is received beside its target and put in place only when complete, so
    // a failed one destroys nothing. Without overwrites a taken name is refused here, and
    // a name taken meanwhile by another upload fails that upload's commit.
    const bool overwrite = FlagNotZero(client->settings().allowOverwrite);
    std::string tail;
    const bool opened = JoinBelowRoot(client->settings(), ctx, &tail) &&
                        staged->Open(RootText(client->settings()).c_str(), tail.c_str(), overwrite);
    if (!opened && !overwrite && kvp::IsAlreadyExistsError(kvp::LastSystemError())) {
        SendErrorToClient(client, 2, kFileExistsText);
        return 0;
    }
    if (!opened) {
        char text[1024];
        std::snprintf(text, sizeof text, "CheckFilenameToWrite: Unable to open %s for writing.",
                      ctx->fileName.c_str());
        SendErrorToClient(client, 1, text);
        LogServerEvent(*client->listener, text);
        return 0;
    }
    ctx->file = staged->get();
    return 1;
}
