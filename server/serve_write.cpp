// One upload: the file below the root created or replaced, then DATA blocks stored and
// acknowledged in sequence until a short block ends it.
#include <cstdio>
#include <string>

#include "engine.h"
#include "kv/debug.h"
#include "kv/errors.h"
#include "kv/net.h"
#include "kv/paths.h"
#include "kv/time.h"
#include "report.h"
#include "settings.h"
#include "unanswered.h"

namespace {

// After the last ACK the client may not have heard it: for as long as a client waits
// before retransmitting, answer a repeat of the last block with its ACK again, so that
// the client does not report a failure for a file the server has stored.
void DallyForRepeatedLastBlock(TransferContext* ctx, uint32_t initialTimeoutMs,
                               int32_t retransmits) {
    constexpr uint32_t kMaxDallyMs = 5000;
    ctx->timeout = initialTimeoutMs < kMaxDallyMs ? initialTimeoutMs : kMaxDallyMs;
    UpdateSelectTimeout(ctx);
    // The transfer is over: a client that has gone away is no failure to report.
    ctx->reporter = nullptr;
    const uint16_t last = ctx->block;
    for (int32_t repeats = 0; repeats <= retransmits; ++repeats) {
        ctx->recvLen = kMaxPacket;
        if (!RecvPacketFromPeer(ctx) || ctx->recvLen == 0) return;
        if (GetPacketOpcode(ctx->recvBuf, ctx->recvLen) != kOpData ||
            GetPacketBlock(ctx->recvBuf, ctx->recvLen) != last) {
            return;
        }
        ctx->block = last;
        if (!SendAckToPeer(ctx)) return;
    }
}

}  // namespace

int ServeWriteRequest(ClientInfo* client, TransferContext* ctx) {
    if (!ExtractFilenameAndMode(ctx)) {
        LogServerEvent(
            *client->listener,
            "ServeWriteRequest: Unable to extract the filename and mode from client request.");
        return 0;
    }
    if (!CheckUploadsAllowed(client)) return 0;
    if (!CheckFilenameToWrite(client, ctx)) return 0;
    kvp::File file(ctx->file);  // closed on every way out
    kvp::Socket conversation;
    if (!OpenConversation(client, ctx, &conversation)) return 0;
    const uint32_t initialTimeout = ctx->timeout;
    LogServerEventF(*client->listener, "WRQ from %s:%d for %s:%s.", client->addressText.c_str(),
                    kvp::NetToHost16(client->address.port), ctx->mode.c_str(),
                    ctx->fileName.c_str());

    RetryWatch watch;
    StartRetryWatch(&watch, client->settings().retransmits, initialTimeout, kvp::GetTickCount());
    // Until the client's first answer ACK 0 is paced and bounded of its own.
    UnansweredTransfer pending(*client, ctx);
    StrayPacketLog strays(*client->listener, "ServeWriteRequest", ctx->fileName.c_str());
    const auto logTimeout = [&] {
        LogServerEventF(*client->listener,
                        "ServeWriteRequest: Timeout exceeded during transfer of %s.",
                        ctx->fileName.c_str());
    };
    bool succeeded = false;
    // Every way out of the loop breaks it.
    const bool requestAcknowledged = SendAckToPeer(ctx);
    pending.NoteSend();
    while (requestAcknowledged) {
        ctx->recvLen = kMaxPacket;
        if (!RecvPacketFromPeer(ctx)) break;
        const uint32_t receiptTick = kvp::GetTickCount();
        // Whether the packet moved the transfer on; a miss otherwise.
        bool progress = false;
        if (ctx->recvLen == 0) {
            // Our last ACK may be lost, and a client that waits for it would retransmit
            // only after its own, possibly much longer, time-out: it goes out again.
            const bool givenUp = NoteMiss(&watch, receiptTick);
            if (!givenUp && !pending.Exhausted()) {
                BackOffTimeout(ctx, initialTimeout);
                SendAckToPeer(ctx);
                pending.NoteSend();
                continue;
            }
            logTimeout();
            break;
        }
        const uint16_t opcode = GetPacketOpcode(ctx->recvBuf, ctx->recvLen);
        if (IsAnswer(opcode) && !pending.Answered()) break;
        if (opcode == kOpError) {
            uint16_t code = 0;  // a packet without a code reports code 0
            std::string details;
            if (ExtractErrorInfo(ctx, &code, &details)) {
                char line[kReceivedErrorLineChars];
                FormatReceivedError(
                    line, sizeof line,
                    "ServeWriteRequest: Error received during transfer of %s. Error code %2d (%s).",
                    ctx->fileName, code, details);
                LogServerEvent(*client->listener, line);
                break;
            }
        } else if (opcode != kOpData) {
            strays.Note(opcode);  // short (0xFFFF) or of an unknown opcode
        } else {
            char text[128];
            const DataVerdict verdict = AcceptDataBlock(ctx, text, sizeof text);
            if (verdict == DataVerdict::kFailed) {
                LogServerEvent(*client->listener, text);
                break;
            }
            if (verdict == DataVerdict::kStored || verdict == DataVerdict::kLast) {
                AcknowledgeDataBlock(ctx, receiptTick, initialTimeout);
                progress = true;
                if (verdict == DataVerdict::kLast) {
                    succeeded = true;
                    break;
                }
            } else if (verdict == DataVerdict::kRepeat) {
                // Our ACK was lost: acknowledge again (nothing is written twice), or the
                // client's retransmissions would all be ignored and the upload would fail.
                SendAckToPeer(ctx);
            }
        }
        if (progress) {
            NoteProgress(&watch, receiptTick);
        } else if (NoteMiss(&watch, receiptTick)) {
            logTimeout();
            break;
        }
    }

    pending.Leave();
    pending.LogDisplaced(*client, "ServeWriteRequest");
    // The file is complete and closed before the outcome is logged.
    file.reset();
    ctx->file = nullptr;
    char line[1024];
    if (succeeded) {
        std::snprintf(line, sizeof line, "ServeWriteRequest: %s uploaded %s.",
                      client->addressText.c_str(), ctx->fileName.c_str());
        LogServerEvent(*client->listener, line);
        DallyForRepeatedLastBlock(ctx, initialTimeout, client->settings().retransmits);
        return 1;
    }
    std::snprintf(line, sizeof line, "ServeWriteRequest: Failed to receive %s from %s.",
                  ctx->fileName.c_str(), client->addressText.c_str());
    LogServerEvent(*client->listener, line);
    std::string debugLine = line;
    debugLine += '\n';
    kvp::OutputDebugStringA(debugLine.c_str());
    return 0;
}
