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
    ctx->sendLen = static_cast<int32_t>(4 + ctx->blockSize);
    ++ctx->block;  // 16 bits: block 0 follows block 65535
    return reader(ctx);
}

AckVerdict AdvanceOnAck(TransferContext* ctx, BlockReader reader) {
    uint16_t acked = 0;
    // An ACK of an earlier block (a duplicate) is no reason to send again.
    if (!ExtractAckBlock(ctx, &acked) || acked != ctx->block) return AckVerdict::kIgnore;
    // A block shorter than a full one was the last.
    if (ctx->sendLen != static_cast<int32_t>(4 + ctx->blockSize)) return AckVerdict::kComplete;
    return ReadNextBlock(ctx, reader) ? AckVerdict::kNextBlock : AckVerdict::kReadFailed;
}

namespace {

// With rollover, the block's distance ahead of the last one accepted, modulo 2^16: 1 for
// the expected block, 0 for a repeat, up to half the number space for one ahead; the
// rest are old.
constexpr uint16_t kMaxAhead = 0x8000;

}  // namespace

DataVerdict AcceptDataBlock(TransferContext* ctx, char* text, size_t size) {
    // 65535 for a packet too short to carry a block number.
    const int32_t got = GetPacketBlock(RecvBuffer(ctx), ctx->recvLen);
    int32_t expected = static_cast<int32_t>(ctx->block) + 1;
    if (ctx->blockRollover) {
        if (ctx->recvLen < 4) return DataVerdict::kOld;
        const uint16_t ahead = static_cast<uint16_t>(got - ctx->block);
        if (ahead == 1) {
            expected = got;
        } else if (ahead == 0) {
            return ctx->block != 0 || ctx->wrapped ? DataVerdict::kRepeat : DataVerdict::kOld;
        } else {
            return ahead < kMaxAhead ? DataVerdict::kAhead : DataVerdict::kOld;
        }
    }
    if (got == expected) {
        ExtractDataBlock(ctx, nullptr, nullptr);
        const bool last = ctx->recvLen < static_cast<int32_t>(4 + ctx->blockSize);
        if (!WriteDataBlock(ctx) || (last && std::fflush(ctx->file) != 0)) {
            std::snprintf(text, size, "File write error %d occurred. Aborting.",
                          kvp::LastSystemError());
            SendErrorToPeer(ctx, 3, text);
            return DataVerdict::kFailed;
        }
        if (ctx->block == 0) ctx->wrapped = true;
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
