// One download: the file below the root sent block by block on a conversation of its
// own, each block waiting for its ACK, retransmitted on time-outs.
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

bool OpenConversation(ClientInfo* client, TransferContext* ctx, kvp::Socket* conversation) {
    const CoreReporter* reporter = &client->listener->reporter;
    conversation->reset(CreateConversationSocket(client->address, reporter));
    if (!conversation->valid()) return false;
    ctx->socket = conversation->get();
    ctx->reporter = &client->listener->transferReporter;
    InitTransferContext(ctx, client->settings().rexttimeout);
    UseLargeFileBuffer(ctx);
    return true;
}

int ServeReadRequest(ClientInfo* client, TransferContext* ctx) {
    if (!ExtractFilenameAndMode(ctx)) {
        LogServerEvent(
            *client->listener,
            "ServeReadRequest: Unable to extract the filename and mode from client request.");
        return 0;
    }
    if (!CheckDownloadsAllowed(client)) return 0;
    if (!CheckFilenameToRead(client, ctx)) return 0;
    kvp::File file(ctx->file);  // closed on every way out
    kvp::Socket conversation;
    if (!OpenConversation(client, ctx, &conversation)) return 0;
    const uint32_t initialTimeout = ctx->timeout;
    const BlockReader reader = ReaderForMode(ctx->mode);
    LogServerEventF(*client->listener, "RRQ from %s:%d for %s:%s.", client->addressText.c_str(),
                    kvp::NetToHost16(client->address.port), ctx->mode.c_str(),
                    ctx->fileName.c_str());

    RetryWatch watch;
    StartRetryWatch(&watch, client->settings().retransmits, initialTimeout, kvp::GetTickCount());
    // Until the client's first answer the first block is paced and bounded of its own.
    UnansweredTransfer pending(*client, ctx);
    StrayPacketLog strays(*client->listener, "ServeReadRequest", ctx->fileName.c_str());
    uint32_t sendTick = 0;
    uint32_t receiptTick = 0;
    bool succeeded = false;
    enum class Step { kNextBlock, kReadFailed, kSend, kWait, kCheck, kStray, kTimedOut, kDone };
    Step step = Step::kNextBlock;
    while (step != Step::kDone) {
        switch (step) {
            case Step::kNextBlock:
                step = ReadNextBlock(ctx, reader) ? Step::kSend : Step::kReadFailed;
                break;
            case Step::kReadFailed: {
                // A read error must never pass for the end of the file.
                char text[128];
                std::snprintf(text, sizeof text, "File read error %d occurred. Aborting.",
                              kvp::LastSystemError());
                SendErrorToPeer(ctx, 0, text);
                LogServerEvent(*client->listener, text);
                step = Step::kDone;
                break;
            }
            case Step::kSend:
                if (!SendDataToPeer(ctx)) {
                    // A failed send counts as a time-out, so a send that keeps failing
                    // ends the transfer; the wait that follows paces the next attempt.
                    pending.NoteSend();
                    step = NoteMiss(&watch, kvp::GetTickCount()) ? Step::kTimedOut : Step::kWait;
                    break;
                }
                pending.NoteSend();
                sendTick = kvp::GetTickCount();
                step = Step::kWait;
                break;
            case Step::kWait:
                ctx->recvLen = kMaxPacket;
                if (!RecvPacketFromPeer(ctx)) {
                    step = Step::kDone;
                    break;
                }
                if (ctx->recvLen == 0) {
                    const bool givenUp = NoteMiss(&watch, kvp::GetTickCount());
                    if (givenUp || pending.Exhausted()) {
                        step = Step::kTimedOut;
                    } else {
                        BackOffTimeout(ctx, initialTimeout);
                        step = Step::kSend;
                    }
                    break;
                }
                if (IsAnswer(GetPacketOpcode(ctx->recvBuf, ctx->recvLen)) && !pending.Answered()) {
                    step = Step::kDone;
                    break;
                }
                receiptTick = kvp::GetTickCount();
                AdaptTimeout(ctx, sendTick, receiptTick, initialTimeout);
                step = Step::kCheck;
                break;
            case Step::kStray:
                // The packet moved nothing: the block goes out again (before any answer,
                // only as often as the first block may).
                step = NoteMiss(&watch, kvp::GetTickCount()) || pending.Exhausted()
                           ? Step::kTimedOut
                           : Step::kSend;
                break;
            case Step::kTimedOut:
                LogServerEventF(*client->listener,
                                "ServeReadRequest: Timeout exceeded during transfer of %s.",
                                ctx->fileName.c_str());
                step = Step::kDone;
                break;
            case Step::kCheck: {
                const uint16_t opcode = GetPacketOpcode(ctx->recvBuf, ctx->recvLen);
                if (opcode == kOpAck) {
                    const AckVerdict verdict = AdvanceOnAck(ctx, reader);
                    if (verdict == AckVerdict::kIgnore) {
                        // A duplicate: waited on without a send, as the ACK of an
                        // earlier block is no reason to send again.
                        step =
                            NoteMiss(&watch, kvp::GetTickCount()) ? Step::kTimedOut : Step::kWait;
                        break;
                    }
                    NoteProgress(&watch, receiptTick);
                    if (verdict == AckVerdict::kNextBlock) {
                        step = Step::kSend;
                    } else if (verdict == AckVerdict::kComplete) {
                        succeeded = true;
                        step = Step::kDone;
                    } else {
                        step = Step::kReadFailed;
                    }
                } else if (opcode == kOpError) {
                    uint16_t code = 0;  // a packet without a code reports code 0
                    std::string details;
                    if (!ExtractErrorInfo(ctx, &code, &details)) {
                        step =
                            NoteMiss(&watch, kvp::GetTickCount()) ? Step::kTimedOut : Step::kWait;
                        break;
                    }
                    char line[kReceivedErrorLineChars];
                    FormatReceivedError(line, sizeof line,
                                        "ServeReadRequest: Error received during transfer of "
                                        "%s. Error code %02d (%s).",
                                        ctx->fileName, code, details);
                    LogServerEvent(*client->listener, line);
                    step = Step::kDone;
                } else {
                    strays.Note(opcode);  // short (0xFFFF) or of an unknown opcode
                    step = Step::kStray;
                }
                break;
            }
            case Step::kDone:
                break;
        }
    }

    pending.Leave();
    pending.LogDisplaced(*client, "ServeReadRequest");
    file.reset();
    ctx->file = nullptr;
    conversation.reset();
    ctx->socket = kvp::kInvalidSocket;
    char line[1024];
    if (succeeded) {
        std::snprintf(line, sizeof line, "ServeReadRequest: %s downloaded %s.",
                      client->addressText.c_str(), ctx->fileName.c_str());
        LogServerEvent(*client->listener, line);
        return 1;
    }
    std::snprintf(line, sizeof line, "ServeReadRequest: %s failed to download %s.",
                  client->addressText.c_str(), ctx->fileName.c_str());
    LogServerEvent(*client->listener, line);
    std::string debugLine = line;
    debugLine += '\n';
    kvp::OutputDebugStringA(debugLine.c_str());
    return 0;
}
