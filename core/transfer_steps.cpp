// The steps of a transfer that the server's and the client's loops share: choosing the
// reader, building a request, advancing on an ACK, and accepting a DATA block.
#include <cstdio>
#include <cstring>

#include "kv/errors.h"
#include "kv/text.h"
#include "kv/time.h"
#include "tftp_core.h"

bool IsNetasciiMode(const std::string& mode) {
    return kvp::EqualNoCase(mode, "netascii");
}

BlockReader ReaderForMode(const std::string& mode) {
    return IsNetasciiMode(mode) ? ReadNetasciiBlock : ReadOctetBlock;
}

int BuildRequestPacket(uint8_t* buf, uint16_t opcode, const std::string& name,
                       const std::string& mode) {
    const size_t nameLen = name.size();
    const size_t modeLen = mode.size();
    if (4 + nameLen + modeLen > static_cast<size_t>(kMaxPacket)) return 0;
    buf[0] = static_cast<uint8_t>(opcode >> 8);
    buf[1] = static_cast<uint8_t>(opcode & 0xFF);
    std::memcpy(buf + 2, name.data(), nameLen);
    buf[2 + nameLen] = 0;
    std::memcpy(buf + 3 + nameLen, mode.data(), modeLen);
    buf[3 + nameLen + modeLen] = 0;
    return static_cast<int>(4 + nameLen + modeLen);
}

bool ReadNextBlock(TransferContext* ctx, BlockReader reader) {
    ctx->sendLen = kMaxPacket;
    ++ctx->block;  // 16 bits: block 0 follows block 65535
    return reader(ctx);
}

AckVerdict AdvanceOnAck(TransferContext* ctx, BlockReader reader) {
    uint16_t acked = 0;
    // An ACK of an earlier block (a duplicate) is no reason to send again.
    if (!ExtractAckBlock(ctx, &acked) || acked != ctx->block) return AckVerdict::kIgnore;
    // A block shorter than a full one was the last.
    if (ctx->sendLen != kMaxPacket) return AckVerdict::kComplete;
    return ReadNextBlock(ctx, reader) ? AckVerdict::kNextBlock : AckVerdict::kReadFailed;
}

DataVerdict AcceptDataBlock(TransferContext* ctx, char* text, size_t size) {
    // 65535 for a packet too short to carry a block number.
    const int32_t got = GetPacketBlock(ctx->recvBuf, ctx->recvLen);
    const int32_t expected = static_cast<int32_t>(ctx->block) + 1;
    if (got == expected) {
        ExtractDataBlock(ctx, nullptr, nullptr);
        const bool last = ctx->recvLen < ctx->maxPacket;
        if (!WriteDataBlock(ctx) || (last && std::fflush(ctx->file) != 0)) {
            std::snprintf(text, size, "File write error %d occurred. Aborting.",
                          kvp::LastSystemError());
            SendErrorToPeer(ctx, 3, text);
            return DataVerdict::kFailed;
        }
        return last ? DataVerdict::kLast : DataVerdict::kStored;
    }
    if (got > expected) {
        std::snprintf(text, size, "DATA receive error. Expected block %d, got block %d. Aborting.",
                      expected, got);
        SendErrorToPeer(ctx, 4, text);
        return DataVerdict::kFailed;
    }
    // Block 0 is never accepted, so it is never a repeat either.
    if (got == ctx->block && ctx->block != 0) return DataVerdict::kRepeat;
    return DataVerdict::kOld;
}

bool AcknowledgeDataBlock(TransferContext* ctx, uint32_t receiptTick, uint32_t initialTimeoutMs) {
    if (!SendAckToPeer(ctx)) return false;
    AdaptTimeout(ctx, receiptTick, kvp::GetTickCount(), initialTimeoutMs);
    return true;
}
