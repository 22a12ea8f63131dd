// One download: the file below the root sent block by block on a conversation of its
// own, each block waiting for its ACK, retransmitted on time-outs.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <new>
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

namespace {

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}

// Logs the client's ERROR; false (nothing logged) for a packet too malformed to be one,
// which then counts as a miss.
bool LogReceivedError(ClientInfo* client, TransferContext* ctx) {
    uint16_t code = 0;  // a packet without a code reports code 0
    std::string details;
    if (!ExtractErrorInfo(ctx, &code, &details)) return false;
    char line[kReceivedErrorLineChars];
    FormatReceivedError(line, sizeof line,
                        "ServeReadRequest: Error received during transfer of "
                        "%s. Error code %02d (%s).",
                        ctx->fileName, code, details);
    LogServerEvent(*client->listener, line);
    return true;
}

// A negotiated download: the OACK until ACK 0 comes, then up to a window of blocks at a
// time, kept until acknowledged. An ACK of any block in flight moves the window past it;
// a time-out, or an ACK of the block before the window (the client missed its first
// block), sends the window again from its first block; older ACKs are ignored. True when
// the last block is acknowledged.
bool RunNegotiatedDownload(ClientInfo* client, TransferContext* ctx, const Negotiation& n,
                           BlockReader reader, uint32_t initialTimeout, RetryWatch* watch,
                           UnansweredTransfer* pending, StrayPacketLog* strays) {
    const uint32_t window = n.windowSize;
    const int32_t slot = std::max<int32_t>(kMaxPacket, static_cast<int32_t>(n.blockSize + 4));
    std::unique_ptr<uint8_t[]> ring(new (std::nothrow) uint8_t[static_cast<size_t>(slot) * window]);
    if (!ring) {
        LogServerEventF(*client->listener, "ServeReadRequest: Out of memory for %s. Aborting.",
                        ctx->fileName.c_str());
        return false;
    }
    int32_t lens[kMaxWindowSize] = {};
    ctx->sendCapacity = slot;
    const auto slotOf = [&](uint32_t head, uint32_t i) {
        return ring.get() + static_cast<size_t>((head + i) % window) * static_cast<size_t>(slot);
    };
    const int32_t fullLen = static_cast<int32_t>(n.blockSize + 4);
    bool oackOpen = true;
    uint16_t base = 1;      // the first block not acknowledged
    uint32_t head = 0;      // its slot
    uint32_t filled = 0;    // blocks read from base on
    uint32_t next = 0;      // the next of them to send
    bool lastRead = false;  // the short block that ends the file is among them
    bool resentForRepeat = false;
    uint32_t sendTick = kvp::GetTickCount();
    for (;;) {
        if (oackOpen) {
            if (next == 0) {
                SendOackToPeer(ctx, n);
                pending->NoteSend();
                sendTick = kvp::GetTickCount();
                next = 1;
            }
        } else {
            while (filled < window && !lastRead) {
                ctx->sendData = slotOf(head, filled);
                if (!ReadNextBlock(ctx, reader)) {
                    char text[128];
                    std::snprintf(text, sizeof text, "File read error %d occurred. Aborting.",
                                  kvp::LastSystemError());
                    ctx->sendData = nullptr;
                    SendErrorToPeer(ctx, 0, text);
                    LogServerEvent(*client->listener, text);
                    return false;
                }
                Put16(ctx->sendData, kOpData);
                Put16(ctx->sendData + 2, ctx->block);
                lens[(head + filled) % window] = ctx->sendLen;
                lastRead = ctx->sendLen < fullLen;
                ++filled;
            }
            ctx->sendData = nullptr;
            while (next < filled) {
                // Slots up to the ring's end lie back to back, and full blocks fill theirs
                // exactly; only the file's last block can be shorter, and it ends a run.
                const uint32_t at = (head + next) % window;
                const uint32_t run = slot == fullLen ? std::min(filled - next, window - at) : 1;
                const int sent = SendPacketRunToPeer(ctx, slotOf(head, next), slot,
                                                     static_cast<int32_t>(run), lens[at + run - 1]);
                if (sent > 0) sendTick = kvp::GetTickCount();
                next += static_cast<uint32_t>(sent);
                // What cannot go out now is sent again with the window.
                if (static_cast<uint32_t>(sent) < run) break;
            }
        }
        ctx->recvLen = kMaxPacket;
        if (!RecvPacketFromPeer(ctx)) return false;
        const uint32_t receiptTick = kvp::GetTickCount();
        if (ctx->recvLen == 0) {
            if (NoteMiss(watch, receiptTick) || pending->Exhausted()) {
                LogServerEventF(*client->listener,
                                "ServeReadRequest: Timeout exceeded during transfer of %s.",
                                ctx->fileName.c_str());
                return false;
            }
            BackOffTimeout(ctx, initialTimeout);
            next = 0;
            continue;
        }
        const uint16_t opcode = GetPacketOpcode(ctx->recvBuf, ctx->recvLen);
        if (IsAnswer(opcode) && !pending->Answered()) return false;
        bool moved = false;
        if (opcode == kOpAck && ctx->recvLen >= 4) {
            const uint16_t acked = GetPacketBlock(ctx->recvBuf, ctx->recvLen);
            if (oackOpen) {
                if (acked == 0) {
                    oackOpen = false;
                    next = 0;
                    moved = true;
                }
            } else {
                const uint16_t d = static_cast<uint16_t>(acked - base);
                if (d < filled) {
                    const uint32_t done = d + 1u;
                    head = (head + done) % window;
                    filled -= done;
                    base = static_cast<uint16_t>(base + done);
                    next = next > done ? next - done : 0;
                    resentForRepeat = false;
                    moved = true;
                    if (filled == 0 && lastRead) {
                        NoteProgress(watch, receiptTick);
                        return true;
                    }
                } else if (acked == static_cast<uint16_t>(base - 1) && filled > 0 &&
                           !resentForRepeat) {
                    // The window's first block was lost; once per window, so that
                    // repeated ACKs do not each bring the whole window again.
                    next = 0;
                    resentForRepeat = true;
                }
            }
        } else if (opcode == kOpError) {
            if (LogReceivedError(client, ctx)) return false;
        } else if (opcode != kOpAck) {
            strays->Note(opcode);  // short (0xFFFF) or of an unknown opcode
        }
        if (moved) {
            AdaptTimeout(ctx, sendTick, receiptTick, initialTimeout);
            NoteProgress(watch, receiptTick);
        } else if (NoteMiss(watch, receiptTick)) {
            LogServerEventF(*client->listener,
                            "ServeReadRequest: Timeout exceeded during transfer of %s.",
                            ctx->fileName.c_str());
            return false;
        }
    }
}

}  // namespace

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
    Negotiation negotiation;
    uint64_t fileSize = UINT64_MAX;
    if (FlagIsOne(client->settings().negotiateOptions) &&
        !kvp::GetStreamFileSize(ctx->file, &fileSize)) {
        fileSize = UINT64_MAX;
    }
    if (!NegotiateOptions(client, ctx, false, fileSize, UINT64_MAX, "ServeReadRequest",
                          &negotiation)) {
        return 0;
    }
    kvp::Socket conversation;
    if (!OpenConversation(client, ctx, &conversation)) return 0;
    ApplyNegotiation(ctx, &negotiation);
    const uint32_t initialTimeout = ctx->timeout;
    const BlockReader reader = ReaderForMode(ctx->mode);
    LogServerEventF(*client->listener, "RRQ from %s:%d for %s:%s.", client->addressText.c_str(),
                    kvp::NetToHost16(client->address.port), ctx->mode.c_str(),
                    ctx->fileName.c_str());
    LogGrantedOptions(*client, *ctx, "ServeReadRequest", negotiation);

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
    if (negotiation.active) {
        succeeded = RunNegotiatedDownload(client, ctx, negotiation, reader, initialTimeout, &watch,
                                          &pending, &strays);
        step = Step::kDone;
    }
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
                    if (!LogReceivedError(client, ctx)) {
                        step =
                            NoteMiss(&watch, kvp::GetTickCount()) ? Step::kTimedOut : Step::kWait;
                        break;
                    }
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
