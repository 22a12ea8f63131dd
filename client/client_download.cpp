// Download: the read request, then DATA blocks written to the local file and
// acknowledged one by one until a short block ends the file.
#include <cstdio>

#include "client_engine.h"
#include "kv/errors.h"
#include "kv/time.h"

namespace {

constexpr size_t kLineChars = 1200;

int FailDownload(ServerInfo* server, TransferContext* ctx, std::FILE* log) {
    CloseFileAndSocket(ctx);
    char line[kLineChars];
    std::snprintf(line, sizeof line, "CliWriteTransfer: Failed to receive %s from %s.",
                  ctx->fileName.c_str(), server->addressText.c_str());
    LogClientEvent(log, line);
    DebugLine(line);
    return 0;
}

// Sends ERROR 3 for a local write that failed with err, and logs it.
void ReportWriteError(TransferContext* ctx, std::FILE* log, int err) {
    char msg[kLineChars];
    std::snprintf(msg, sizeof msg, "File write error %d occurred. Aborting.", err);
    SendErrorToPeer(ctx, 3, msg);
    LogClientEvent(log, msg);
}

}  // namespace

int CliWriteTransfer(ServerInfo* server, TransferContext* ctx, std::FILE* log) {
    InitTransferContext(ctx, g_clientSettings.InitialTimeoutMs);
    if (ctx->reporter == nullptr) ctx->reporter = &g_clientReporter;
    // A request that got no answer fails the download like any later step, so that the
    // failure line reaches the debugger output also with logging off.
    if (!MakeSendRWReq(server, ctx, kOpRrq, log)) return FailDownload(server, ctx, log);

    uint32_t receiptTick = kvp::GetTickCount();
    // Nothing accepted yet: block 0 is never taken as a repeat of the last block.
    bool accepted = false;
    LogClientEventF(log, "RRQ for %s:%d for %s:%s.", server->addressText.c_str(),
                    static_cast<int>(kvp::NetToHost16(server->addr.port)), ctx->fileName.c_str(),
                    ctx->mode.c_str());
    int32_t timedOutWaits = 0;

    for (;;) {
        // Judge the packet in the receive buffer.
        const int32_t len = ctx->recvLen;
        if (len < 2) {
            LogClientEventF(log,
                            "CliWriteTransfer: Unknown short packet received during transfer "
                            "of %s.",
                            ctx->fileName.c_str());
        } else {
            const uint16_t opcode = GetPacketOpcode(ctx->recvBuf, len);
            if (opcode == kOpData) {
                LogClientEvent(log, "Received DATA");
                // 65535 for a packet too short to carry a block number.
                const uint32_t got = GetPacketBlock(ctx->recvBuf, len);
                // Without 16-bit wrap-around: no block follows 65535.
                const uint32_t expected = static_cast<uint32_t>(ctx->block) + 1;
                if (got == expected) {
                    const uint8_t* data = nullptr;
                    int count = 0;
                    ExtractDataBlock(ctx, &data, &count);
                    accepted = true;
                    const bool last = len < ctx->maxPacket;
                    bool written = WriteDataBlock(ctx);
                    // The last block is on disk before it is acknowledged: a write that
                    // fails only when the buffer is flushed must not pass for success.
                    if (written && last) written = std::fflush(ctx->file) == 0;
                    if (!written) {
                        ReportWriteError(ctx, log, kvp::LastSystemError());
                        return FailDownload(server, ctx, log);
                    }
                    LogClientEvent(log, "Sending ACK");
                    if (SendAckToPeer(ctx)) {
                        AdaptTimeout(ctx, receiptTick, kvp::GetTickCount(),
                                     g_clientSettings.InitialTimeoutMs);
                    }
                    if (last) {
                        std::FILE* f = ctx->file;
                        ctx->file = nullptr;
                        if (std::fclose(f) != 0) {
                            char msg[kLineChars];
                            std::snprintf(msg, sizeof msg,
                                          "File write error %d occurred. Aborting.",
                                          kvp::LastSystemError());
                            LogClientEvent(log, msg);
                            return FailDownload(server, ctx, log);
                        }
                        CloseFileAndSocket(ctx);
                        LogClientEventF(log, "CliWriteTransfer: %s downloaded %s.",
                                        server->addressText.c_str(), ctx->fileName.c_str());
                        return 1;
                    }
                } else if (got > expected) {
                    char msg[kLineChars];
                    std::snprintf(msg, sizeof msg,
                                  "DATA receive error. Expected block %d, got block %d. Aborting.",
                                  static_cast<int>(expected), static_cast<int>(got));
                    SendErrorToPeer(ctx, 4, msg);
                    LogClientEvent(log, msg);
                    return FailDownload(server, ctx, log);
                } else if (accepted && got == ctx->block) {
                    // The server sends the last block again when our ACK was lost; it
                    // waits for that ACK, so it is sent again (the data is not written).
                    LogClientEvent(log, "Sending ACK");
                    SendAckToPeer(ctx);
                }
                // An older block is neither written nor acknowledged.
            } else if (opcode == kOpError) {
                if (LogReceivedError(ctx, log, "CliWriteTransfer"))
                    return FailDownload(server, ctx, log);
            } else {
                LogClientEventF(log,
                                "CliWriteTransfer: Unexpected packet opcode %02d received during "
                                "transfer of %s.",
                                static_cast<int>(opcode), ctx->fileName.c_str());
            }
        }

        // Wait for the next packet.
        for (;;) {
            LogClientEvent(log, "Waiting for packet");
            ctx->recvLen = ctx->maxPacket;
            if (!RecvPacketFromPeer(ctx)) return FailDownload(server, ctx, log);
            if (ctx->recvLen > 0) {
                receiptTick = kvp::GetTickCount();
                timedOutWaits = 0;
                break;
            }
            if (timedOutWaits > g_clientSettings.RetryLimit) {
                LogClientEventF(log, "CliWriteTransfer: Timeout exceeded during transfer of %s.",
                                ctx->fileName.c_str());
                return FailDownload(server, ctx, log);
            }
            ++timedOutWaits;
        }
    }
}
