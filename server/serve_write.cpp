// One upload: DATA blocks stored in a staged file beside the target and acknowledged in
// sequence until a short block ends it; only then is the file put at its name.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
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
        ctx->recvLen = RecvCapacity(ctx);
        if (!RecvPacketFromPeer(ctx) || ctx->recvLen == 0) return;
        if (GetPacketOpcode(RecvBuffer(ctx), ctx->recvLen) != kOpData ||
            GetPacketBlock(RecvBuffer(ctx), ctx->recvLen) != last) {
            return;
        }
        ctx->block = last;
        if (!SendAckToPeer(ctx)) return;
    }
}

// Room kept free on the root's file system, so that anonymous uploads cannot take the
// space the system and its other users need: the smaller of 64 MiB and 5 % of the file
// system, so that a small volume still takes uploads of most of its size.
constexpr uint64_t kReserveCapBytes = 64u << 20;
constexpr uint64_t kReservePercent = 5;
// At most this much is written between two looks at the free space; a look allows only
// what still fits above the reserve, so near it every block is looked at again.
constexpr uint64_t kSpaceCheckBytes = 64u << 10;

// Whether each block still fits above the reserve, looking at the file system once per
// kSpaceCheckBytes written (a look costs a flush and a system call).
class DiskReserve {
  public:
    explicit DiskReserve(const std::string& root) : root_(root) {}
    bool Allows(std::FILE* file, size_t bytes) {
        if (written_ + bytes <= allowance_) {
            written_ += bytes;
            return true;
        }
        // What is still buffered must reach the file system to be counted there.
        std::fflush(file);
        uint64_t available = 0;
        uint64_t total = 0;
        // A file system that does not tell its space is not held to a reserve.
        if (!kvp::GetDiskSpace(root_.c_str(), &available, &total)) return true;
        const uint64_t reserve = std::min(kReserveCapBytes, total / 100 * kReservePercent);
        allowance_ = available > reserve ? std::min(available - reserve, kSpaceCheckBytes) : 0;
        written_ = 0;
        if (bytes > allowance_) return false;
        written_ = bytes;
        return true;
    }

  private:
    std::string root_;
    uint64_t allowance_ = 0;
    uint64_t written_ = 0;
};

// The expected DATA block would leave less than the reserve free: refused with code 3.
bool RefuseForReserve(ClientInfo* client, TransferContext* ctx, DiskReserve* reserve) {
    const uint8_t* buf = RecvBuffer(ctx);
    if (GetPacketOpcode(buf, ctx->recvLen) != kOpData || ctx->recvLen < 4) return false;
    const int32_t expected = ctx->blockRollover ? static_cast<uint16_t>(ctx->block + 1)
                                                : static_cast<int32_t>(ctx->block) + 1;
    if (GetPacketBlock(buf, ctx->recvLen) != expected) return false;
    if (reserve->Allows(ctx->file, static_cast<size_t>(ctx->recvLen - 4))) return false;
    SendErrorToPeer(ctx, 3, GetTFTPErrorText(3).c_str());
    LogServerEventF(*client->listener,
                    "ServeWriteRequest: Too little free disk space left to receive %s. Aborting.",
                    ctx->fileName.c_str());
    return true;
}

// Puts the complete file at its name; on failure the client hears why, and it is logged.
bool CommitUpload(ClientInfo* client, TransferContext* ctx, kvp::StagedFile* staged) {
    ctx->file = nullptr;
    if (staged->Commit()) return true;
    const int err = kvp::LastSystemError();
    if (!FlagNotZero(client->settings().allowOverwrite) && kvp::IsAlreadyExistsError(err)) {
        // Another upload of the name finished first: this one is refused as it would have
        // been had it come later.
        SendErrorToPeer(ctx, 2, kFileExistsText);
        LogServerEventF(*client->listener, "ServeWriteRequest: %s was created meanwhile. %s",
                        ctx->fileName.c_str(), kFileExistsText);
        return false;
    }
    char text[128];
    std::snprintf(text, sizeof text, "File write error %d occurred. Aborting.", err);
    SendErrorToPeer(ctx, 3, text);
    LogServerEvent(*client->listener, text);
    return false;
}

// What the root's file system can still take above the reserve; UINT64_MAX when it does
// not tell.
uint64_t SpaceAboveReserve(const std::string& root) {
    uint64_t available = 0;
    uint64_t total = 0;
    if (!kvp::GetDiskSpace(root.c_str(), &available, &total)) return UINT64_MAX;
    const uint64_t reserve = std::min(kReserveCapBytes, total / 100 * kReservePercent);
    return available > reserve ? available - reserve : 0;
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
    // Removed on every way out unless committed.
    kvp::StagedFile staged;
    if (!CheckFilenameToWrite(client, ctx, &staged)) return 0;
    const ServerSettings& settings = client->settings();
    const std::string root(settings.rootDirectory,
                           strnlen(settings.rootDirectory, sizeof settings.rootDirectory));
    Negotiation negotiation;
    if (FlagIsOne(settings.negotiateOptions) &&
        !NegotiateOptions(client, ctx, true, 0, SpaceAboveReserve(root), "ServeWriteRequest",
                          &negotiation)) {
        return 0;
    }
    kvp::Socket conversation;
    if (!OpenConversation(client, ctx, &conversation)) return 0;
    ApplyNegotiation(ctx, &negotiation);
    // A negotiated block size larger than a plain packet is received outside the record.
    std::unique_ptr<uint8_t[]> largeRecv;
    if (negotiation.active) {
        // An ERROR packet may be longer than a small block's DATA.
        const int32_t room = static_cast<int32_t>(negotiation.blockSize + 4);
        ctx->maxPacket = std::max<int32_t>(room, kMaxPacket);
        if (room > kMaxPacket) {
            largeRecv.reset(new (std::nothrow) uint8_t[static_cast<size_t>(room)]);
            if (!largeRecv) {
                LogServerEventF(*client->listener,
                                "ServeWriteRequest: Out of memory for %s. Aborting.",
                                ctx->fileName.c_str());
                return 0;
            }
            ctx->recvData = largeRecv.get();
            ctx->recvCapacity = room;
        }
    }
    const uint32_t initialTimeout = ctx->timeout;
    LogServerEventF(*client->listener, "WRQ from %s:%d for %s:%s.", client->addressText.c_str(),
                    kvp::NetToHost16(client->address.port), ctx->mode.c_str(),
                    ctx->fileName.c_str());
    LogGrantedOptions(*client, *ctx, "ServeWriteRequest", negotiation);

    DiskReserve reserve(root);
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
    // The answer to the request (the OACK of a negotiated one) until a DATA packet shows
    // that the client has it, then the ACK of the last block stored (ACK 0 when block 1
    // was lost).
    bool dataSeen = false;
    const auto acknowledge = [&] {
        if (negotiation.active && !dataSeen) return SendOackToPeer(ctx, negotiation);
        return SendAckToPeer(ctx);
    };
    // Blocks stored since the last ACK; after a gap, the farthest block seen ahead of it
    // (0: none). A window's later blocks all show the same gap and are answered once; a
    // block no farther than one seen already is the client re-sending, and is answered
    // again.
    uint32_t unacknowledged = 0;
    uint16_t farthestAhead = 0;
    // Every way out of the loop breaks it.
    const bool requestAcknowledged = acknowledge();
    pending.NoteSend();
    while (requestAcknowledged) {
        ctx->recvLen = RecvCapacity(ctx);
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
                unacknowledged = 0;
                acknowledge();
                pending.NoteSend();
                continue;
            }
            logTimeout();
            break;
        }
        const uint16_t opcode = GetPacketOpcode(RecvBuffer(ctx), ctx->recvLen);
        if (IsAnswer(opcode) && !pending.Answered()) break;
        if (opcode == kOpData) dataSeen = true;
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
        } else if (RefuseForReserve(client, ctx, &reserve)) {
            break;
        } else {
            char text[128];
            const DataVerdict verdict = AcceptDataBlock(ctx, text, sizeof text);
            if (verdict == DataVerdict::kFailed) {
                LogServerEvent(*client->listener, text);
                break;
            }
            if (verdict == DataVerdict::kLast && !CommitUpload(client, ctx, &staged)) break;
            if (verdict == DataVerdict::kStored || verdict == DataVerdict::kLast) {
                // Within a window only its last block, and the file's, are acknowledged.
                if (verdict == DataVerdict::kLast || ++unacknowledged >= negotiation.windowSize) {
                    AcknowledgeDataBlock(ctx, receiptTick, initialTimeout);
                    unacknowledged = 0;
                }
                farthestAhead = 0;
                progress = true;
                if (verdict == DataVerdict::kLast) {
                    succeeded = true;
                    break;
                }
            } else if (verdict == DataVerdict::kRepeat) {
                // Our ACK was lost: acknowledge again (nothing is written twice), or the
                // client's retransmissions would all be ignored and the upload would fail.
                SendAckToPeer(ctx);
            } else if (verdict == DataVerdict::kAhead) {
                // Blocks were lost: the client goes on from the one after the last stored.
                const uint16_t ahead = static_cast<uint16_t>(
                    GetPacketBlock(RecvBuffer(ctx), ctx->recvLen) - ctx->block);
                if (farthestAhead == 0 || ahead <= farthestAhead) {
                    SendAckToPeer(ctx);
                    unacknowledged = 0;
                }
                farthestAhead = std::max(farthestAhead, ahead);
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
    // The file is in place, or gone, before the outcome is logged.
    ctx->file = nullptr;
    staged.Discard();
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
