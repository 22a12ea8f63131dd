// Upload: the write request, then the local file sent block by block, each block
// re-sent on time-outs until the server acknowledges it.
#include <cstdio>

#include "client_engine.h"
#include "kv/time.h"

namespace {

constexpr size_t kLineChars = 1200;

int FailUpload(ServerInfo* server, TransferContext* ctx, std::FILE* log) {
    CloseFileAndSocket(ctx);
    char line[kLineChars];
    std::snprintf(line, sizeof line, "CliReadTransfer: %s failed to upload %s.",
                  server->addressText.c_str(), ctx->fileName.c_str());
    LogClientEvent(log, line);
    DebugLine(line);
    return 0;
}

int TimeOutUpload(ServerInfo* server, TransferContext* ctx, std::FILE* log) {
    LogClientEventF(log, "CliReadTransfer: Timeout exceeded during transfer of %s.",
                    ctx->fileName.c_str());
    return FailUpload(server, ctx, log);
}

}  // namespace

int CliReadTransfer(ServerInfo* server, TransferContext* ctx, std::FILE* log) {
    InitTransferContext(ctx, g_clientSettings.InitialTimeoutMs);
    UseLargeFileBuffer(ctx);
    if (ctx->reporter == nullptr) ctx->reporter = &g_clientReporter;
    if (!MakeSendRWReq(server, ctx, kOpWrq, log)) return FailUpload(server, ctx, log);

    const BlockReader reader = ReaderForMode(ctx->mode);
    LogClientEventF(log, "WRQ to %s:%d for %s:%s.", server->addressText.c_str(),
                    static_cast<int>(kvp::NetToHost16(server->addr.port)), ctx->fileName.c_str(),
                    ctx->mode.c_str());
    // The acknowledgement of block 0 counts as that of a full block and leads to block 1.
    ctx->sendLen = kMaxPacket;
    // Until block 1 has been read from the file there is no DATA packet to send: a reply
    // other than the acknowledgement of the request only makes the client wait again.
    bool haveData = false;
    bool sentData = false;
    uint32_t sendTick = 0;
    const uint32_t initialTimeout = g_clientSettings.InitialTimeoutMs;
    RetryWatch watch;
    StartRetryWatch(&watch, g_clientSettings.RetryLimit, initialTimeout, kvp::GetTickCount());

    for (;;) {
        // Judge the packet in the receive buffer; "send" says whether the current DATA
        // packet goes out (again) before the next wait, "progress" whether the server has
        // acknowledged the block in flight.
        bool send = false;
        bool progress = false;
        const int32_t len = ctx->recvLen;
        if (len < 2) {
            LogClientEventF(log,
                            "CliReadTransfer: Unknown short packet received during transfer of %s.",
                            ctx->fileName.c_str());
            send = true;
        } else {
            const uint16_t opcode = GetPacketOpcode(ctx->recvBuf, len);
            if (opcode == kOpAck) {
                LogClientEvent(log, "Received ACK");
                switch (AdvanceOnAck(ctx, reader)) {
                    case AckVerdict::kComplete:
                        CloseFileAndSocket(ctx);
                        LogClientEventF(log, "CliReadTransfer: %s uploaded %s.",
                                        server->addressText.c_str(), ctx->fileName.c_str());
                        return 1;
                    case AckVerdict::kNextBlock:
                        haveData = true;
                        send = true;
                        progress = true;
                        break;
                    case AckVerdict::kReadFailed:
                        // A read error must not end the file early as if it were complete.
                        LogClientEventF(log,
                                        "CliReadTransfer: Unable to read the local file for %s. "
                                        "Aborting.",
                                        ctx->fileName.c_str());
                        return FailUpload(server, ctx, log);
                    case AckVerdict::kIgnore:
                        // A duplicate or stray acknowledgement: wait, without re-sending.
                        break;
                }
            } else if (opcode == kOpError) {
                if (LogReceivedError(ctx, log, "CliReadTransfer"))
                    return FailUpload(server, ctx, log);
            } else {
                LogClientEventF(log,
                                "CliReadTransfer: Unexpected packet opcode %02d received during "
                                "transfer of %s.",
                                static_cast<int>(opcode), ctx->fileName.c_str());
                send = true;
            }
        }
        if (progress) {
            NoteProgress(&watch, kvp::GetTickCount());
        } else if (NoteMiss(&watch, kvp::GetTickCount())) {
            return TimeOutUpload(server, ctx, log);
        }

        for (;;) {
            if (send && haveData) {
                LogClientEvent(log, "Sending DATA");
                // A failed send is reported by the core (or is a silent time-out); the
                // next timed-out wait leads to the next attempt.
                if (SendDataToPeer(ctx)) {
                    sendTick = kvp::GetTickCount();
                    sentData = true;
                }
            }
            LogClientEvent(log, "Waiting for packet");
            ctx->recvLen = kMaxPacket;
            if (!RecvPacketFromPeer(ctx)) return FailUpload(server, ctx, log);
            if (ctx->recvLen > 0) {
                // The round trip of the last DATA packet; before the first one the
                // initial time-out stays.
                if (sentData) AdaptTimeout(ctx, sendTick, kvp::GetTickCount(), initialTimeout);
                break;
            }
            if (NoteMiss(&watch, kvp::GetTickCount())) return TimeOutUpload(server, ctx, log);
            BackOffTimeout(ctx, initialTimeout);
            send = true;
        }
    }
}
