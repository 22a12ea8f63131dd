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

int TimeOutDownload(ServerInfo* server, TransferContext* ctx, std::FILE* log) {
    LogClientEventF(log, "CliWriteTransfer: Timeout exceeded during transfer of %s.",
                    ctx->fileName.c_str());
    return FailDownload(server, ctx, log);
}

}  // namespace

int CliWriteTransfer(ServerInfo* server, TransferContext* ctx, std::FILE* log) {
    InitTransferContext(ctx, g_clientSettings.InitialTimeoutMs);
    UseLargeFileBuffer(ctx);
    if (ctx->reporter == nullptr) ctx->reporter = &g_clientReporter;
    // A request that got no answer fails the download like any later step, so that the
    // failure line reaches the debugger output also with logging off.
    if (!MakeSendRWReq(server, ctx, kOpRrq, log)) return FailDownload(server, ctx, log);

    uint32_t receiptTick = kvp::GetTickCount();
    LogClientEventF(log, "RRQ for %s:%d for %s:%s.", server->addressText.c_str(),
                    static_cast<int>(kvp::NetToHost16(server->addr.port)), ctx->fileName.c_str(),
                    ctx->mode.c_str());
    const uint32_t initialTimeout = g_clientSettings.InitialTimeoutMs;
    RetryWatch watch;
    StartRetryWatch(&watch, g_clientSettings.RetryLimit, initialTimeout, receiptTick);

    for (;;) {
        // Judge the packet in the receive buffer; "progress" when it brought the next
        // block.
        bool progress = false;
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
                char msg[kLineChars];
                const DataVerdict verdict = AcceptDataBlock(ctx, msg, sizeof msg);
                if (verdict == DataVerdict::kFailed) {
                    LogClientEvent(log, msg);
                    return FailDownload(server, ctx, log);
                }
                if (verdict == DataVerdict::kStored || verdict == DataVerdict::kLast) {
                    LogClientEvent(log, "Sending ACK");
                    AcknowledgeDataBlock(ctx, receiptTick, initialTimeout);
                    progress = true;
                }
                if (verdict == DataVerdict::kRepeat) {
                    // The server sends the last block again when our ACK was lost; it
                    // waits for that ACK, so it is sent again (the data is not written).
                    LogClientEvent(log, "Sending ACK");
                    SendAckToPeer(ctx);
                }
                // The end does not depend on whether the ACK could be sent.
                if (verdict == DataVerdict::kLast) {
                    std::FILE* f = ctx->file;
                    ctx->file = nullptr;
                    if (std::fclose(f) != 0) {
                        std::snprintf(msg, sizeof msg, "File write error %d occurred. Aborting.",
                                      kvp::LastSystemError());
                        LogClientEvent(log, msg);
                        return FailDownload(server, ctx, log);
                    }
                    CloseFileAndSocket(ctx);
                    LogClientEventF(log, "CliWriteTransfer: %s downloaded %s.",
                                    server->addressText.c_str(), ctx->fileName.c_str());
                    return 1;
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

        if (progress) {
            NoteProgress(&watch, receiptTick);
        } else if (NoteMiss(&watch, kvp::GetTickCount())) {
            return TimeOutDownload(server, ctx, log);
        }

        // Wait for the next packet.
        for (;;) {
            LogClientEvent(log, "Waiting for packet");
            ctx->recvLen = ctx->maxPacket;
            if (!RecvPacketFromPeer(ctx)) return FailDownload(server, ctx, log);
            if (ctx->recvLen > 0) {
                receiptTick = kvp::GetTickCount();
                break;
            }
            if (NoteMiss(&watch, kvp::GetTickCount())) return TimeOutDownload(server, ctx, log);
            BackOffTimeout(ctx, initialTimeout);
            // Our last ACK may be lost: it goes out again, so that a server that waits
            // long before it retransmits is not left waiting. Before the first block
            // there is nothing to acknowledge.
            if (ctx->block != 0) {
                LogClientEvent(log, "Sending ACK");
                SendAckToPeer(ctx);
            }
        }
    }
}
