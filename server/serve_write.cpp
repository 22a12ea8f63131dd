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

    int32_t retries = 0;
    uint32_t receiptTick = 0;
    bool succeeded = false;
    enum class Step { kWait, kCount, kDone };
    Step step = SendAckToPeer(ctx) ? Step::kWait : Step::kDone;
    while (step != Step::kDone) {
        if (step == Step::kCount) {
            if (retries++ > client->settings().retransmits) {
                LogServerEventF(*client->listener,
                                "ServeWriteRequest: Timeout exceeded during transfer of %s.",
                                ctx->fileName.c_str());
                step = Step::kDone;
            } else {
                step = Step::kWait;
            }
            continue;
        }
        // WAIT
        ctx->recvLen = kMaxPacket;
        if (!RecvPacketFromPeer(ctx)) {
            step = Step::kDone;
            continue;
        }
        if (ctx->recvLen == 0) {
            step = Step::kCount;
            continue;
        }
        receiptTick = kvp::GetTickCount();
        retries = 0;
        const uint16_t opcode = GetPacketOpcode(ctx->recvBuf, ctx->recvLen);
        if (opcode == 0xFFFF) {
            LogServerEventF(
                *client->listener,
                "ServeWriteRequest: Unknown short packet received during transfer of %s.",
                ctx->fileName.c_str());
            continue;
        }
        if (opcode == kOpError) {
            uint16_t code = 0;  // a packet without a code reports code 0
            std::string details;
            if (!ExtractErrorInfo(ctx, &code, &details)) continue;
            char line[kReceivedErrorLineChars];
            FormatReceivedError(
                line, sizeof line,
                "ServeWriteRequest: Error received during transfer of %s. Error code %2d (%s).",
                ctx->fileName, code, details);
            LogServerEvent(*client->listener, line);
            step = Step::kDone;
            continue;
        }
        if (opcode != kOpData) {
            LogServerEventF(
                *client->listener,
                "ServeWriteRequest: Unexpected packet opcode %02d received during transfer of "
                "%s.",
                opcode, ctx->fileName.c_str());
            continue;
        }
        char text[128];
        switch (AcceptDataBlock(ctx, text, sizeof text)) {
            case DataVerdict::kStored:
                AcknowledgeDataBlock(ctx, receiptTick, initialTimeout);
                step = Step::kCount;
                break;
            case DataVerdict::kLast:
                AcknowledgeDataBlock(ctx, receiptTick, initialTimeout);
                succeeded = true;
                step = Step::kDone;
                break;
            case DataVerdict::kRepeat:
                // Our ACK was lost: acknowledge again (nothing is written twice), or the
                // client's retransmissions would all be ignored and the upload would fail.
                SendAckToPeer(ctx);
                step = Step::kCount;
                break;
            case DataVerdict::kOld:
                step = Step::kCount;
                break;
            case DataVerdict::kFailed:
                LogServerEvent(*client->listener, text);
                step = Step::kDone;
                break;
        }
    }

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
