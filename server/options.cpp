// Option negotiation: which of a request's options the server grants, the socket buffers
// a window needs, and the OACK.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine.h"
#include "kv/net.h"
#include "report.h"
#include "settings.h"

namespace {

// The room a datagram takes in a receiving socket's buffer is more than its payload (the
// system's own bookkeeping): a window is counted at twice its bytes.
constexpr uint64_t kBufferCostFactor = 2;
// A receive buffer smaller than this is not taken for the peer's (some systems report
// tiny defaults yet buffer more).
constexpr int kMinBufferBudget = 64 * 1024;

bool Refuse(ClientInfo* client, TransferContext* ctx, const char* who, uint16_t code,
            const std::string& name, uint64_t value) {
    char text[128];
    if (code == 3) {
        std::snprintf(text, sizeof text, "%s", GetTFTPErrorText(3).c_str());
    } else {
        std::snprintf(text, sizeof text, "The option %s %llu cannot be granted.", name.c_str(),
                      static_cast<unsigned long long>(value));
    }
    SendErrorToClient(client, code, text);
    LogServerEventF(*client->listener, "%s: Refused the request for %s from %s: option %s %llu.",
                    who, ctx->fileName.c_str(), client->addressText.c_str(), name.c_str(),
                    static_cast<unsigned long long>(value));
    return false;
}

}  // namespace

bool NegotiateOptions(ClientInfo* client, TransferContext* ctx, bool upload, uint64_t fileSize,
                      uint64_t spaceLeft, const char* who, Negotiation* n) {
    *n = Negotiation{};
    if (!FlagIsOne(client->settings().negotiateOptions)) return true;
    TftpOptions asked;
    // A malformed area is served as if the request carried no options.
    if (!ParseRequestOptions(RecvBuffer(ctx), ctx->recvLen, &asked) || !asked.any()) return true;
    TftpOptions& g = n->granted;
    if (asked.present[kOptBlksize]) {
        const uint64_t v = asked.value[kOptBlksize];
        if (v < kMinBlockSize) return Refuse(client, ctx, who, 8, asked.name[kOptBlksize], v);
        n->blockSize = static_cast<uint32_t>(std::min<uint64_t>(v, kMaxBlockSize));
        g.present[kOptBlksize] = true;
        g.value[kOptBlksize] = n->blockSize;
        g.name[kOptBlksize] = asked.name[kOptBlksize];
    }
    if (asked.present[kOptTimeout]) {
        const uint64_t v = asked.value[kOptTimeout];
        if (v < 1 || v > 255) return Refuse(client, ctx, who, 8, asked.name[kOptTimeout], v);
        // Seconds of 1024 ms: the waits of a time-out are counted that way.
        n->timeoutMs = static_cast<uint32_t>(v * 1024);
        g.present[kOptTimeout] = true;
        g.value[kOptTimeout] = v;
        g.name[kOptTimeout] = asked.name[kOptTimeout];
    }
    if (asked.present[kOptWindowsize]) {
        const uint64_t v = asked.value[kOptWindowsize];
        if (v < 1 || v > 65535) return Refuse(client, ctx, who, 8, asked.name[kOptWindowsize], v);
        n->windowSize = static_cast<uint32_t>(std::min(v, kMaxWindowSize));
        g.present[kOptWindowsize] = true;
        g.value[kOptWindowsize] = n->windowSize;
        g.name[kOptWindowsize] = asked.name[kOptWindowsize];
    }
    if (asked.present[kOptTsize]) {
        const uint64_t v = asked.value[kOptTsize];
        if (upload) {
            if (v > spaceLeft) return Refuse(client, ctx, who, 3, asked.name[kOptTsize], v);
            g.present[kOptTsize] = true;
            g.value[kOptTsize] = v;
        } else if (!IsNetasciiMode(ctx->mode) && fileSize != UINT64_MAX && fileSize != 0) {
            // A netascii file's size on the wire is known only once converted: left out.
            // So is an empty file's: curl takes a tsize of 0 for an illegal OACK.
            g.present[kOptTsize] = true;
            g.value[kOptTsize] = fileSize;
        }
        g.name[kOptTsize] = asked.name[kOptTsize];
    }
    n->active = g.any();
    return true;
}

void ApplyNegotiation(TransferContext* ctx, Negotiation* n) {
    if (!n->active) return;
    if (n->timeoutMs != 0) InitTransferContext(ctx, n->timeoutMs);
    ctx->blockSize = n->blockSize;
    ctx->blockRollover = true;
    const uint64_t packet = n->blockSize + 4ull;
    if (n->windowSize > 1) {
        // The peer's socket is taken to buffer what a fresh one here does: a window it
        // could not hold would be dropped in part and sent again, slower than a smaller one.
        const int budget = std::max(kvp::GetReceiveBufferSize(ctx->socket), kMinBufferBudget);
        const uint64_t fits = static_cast<uint64_t>(budget) / (kBufferCostFactor * packet);
        n->windowSize = static_cast<uint32_t>(std::clamp<uint64_t>(fits, 1, n->windowSize));
        n->granted.value[kOptWindowsize] = n->windowSize;
    }
    const uint64_t wanted = kBufferCostFactor * packet * n->windowSize;
    if (wanted > static_cast<uint64_t>(kvp::GetReceiveBufferSize(ctx->socket)))
        kvp::SetSocketBufferSizes(ctx->socket, static_cast<int>(wanted));
    n->oackLen = BuildOackPacket(n->oack, sizeof n->oack, n->granted);
}

void LogGrantedOptions(const ClientInfo& client, const TransferContext& ctx, const char* who,
                       const Negotiation& n) {
    if (!n.active) return;
    static constexpr const char* kNames[kOptionCount] = {"blksize", "tsize", "timeout",
                                                         "windowsize"};
    std::string list;
    for (int k = 0; k < kOptionCount; ++k) {
        if (!n.granted.present[k]) continue;
        if (!list.empty()) list += ", ";
        list += kNames[k];
        list += ' ';
        list += std::to_string(n.granted.value[k]);
    }
    LogServerEventF(*client.listener, "%s: Options granted for %s: %s.", who, ctx.fileName.c_str(),
                    list.c_str());
}

bool SendOackToPeer(TransferContext* ctx, const Negotiation& n) {
    uint8_t* const saved = ctx->sendData;
    ctx->sendData = nullptr;
    std::memcpy(ctx->sendBuf, n.oack, static_cast<size_t>(n.oackLen));
    ctx->sendLen = n.oackLen;
    const bool sent = SendPacketToPeer(ctx);
    ctx->sendData = saved;
    return sent;
}
