// The block readers that fill DATA payloads from the local file (netascii and octet),
// and the writer that stores received payloads unchanged.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tftp_core.h"

namespace {

// The end of the send buffer a reader may fill: the send length the caller left,
// kept inside the buffer and leaving at least one byte of payload room (a reader that
// consumed a byte without room for it would lose it).
int ReaderCapacity(const TransferContext* ctx) {
    return std::clamp<int32_t>(ctx->sendLen, 5, SendCapacity(ctx));
}

}  // namespace

bool ReadNetasciiBlock(TransferContext* ctx) {
    std::FILE* f = ctx->file;
    if (f == nullptr) return false;
    const int capacity = ReaderCapacity(ctx);
    uint8_t* buf = SendBuffer(ctx);
    int pos = 4;
    int last = ctx->lastNetasciiByte;
    // The file is read a block's worth at a time into the look-ahead; what a payload has
    // no room for waits there for the next one.
    uint8_t* const ahead = ctx->netasciiAhead;
    bool drained = false;
    while (pos < capacity) {
        if (ctx->aheadPos == ctx->aheadLen) {
            ctx->aheadPos = 0;
            ctx->aheadLen =
                static_cast<uint16_t>(std::fread(ahead, 1, sizeof ctx->netasciiAhead, f));
            drained = ctx->aheadLen == 0;
            if (drained) break;  // the end of the file, or a read error
        }
        // Everything up to the next line feed goes unchanged.
        const uint8_t* const p = ahead + ctx->aheadPos;
        const size_t span =
            std::min<size_t>(ctx->aheadLen - ctx->aheadPos, static_cast<size_t>(capacity - pos));
        const auto* lf = static_cast<const uint8_t*>(std::memchr(p, '\n', span));
        const size_t n = lf != nullptr ? static_cast<size_t>(lf - p) : span;
        if (n > 0) {
            std::memcpy(buf + pos, p, n);
            pos += static_cast<int>(n);
            ctx->aheadPos = static_cast<uint16_t>(ctx->aheadPos + n);
            last = p[n - 1];
        }
        if (lf == nullptr) continue;
        if (last == '\r') {
            // The file has the CR already.
            buf[pos++] = '\n';
            last = '\n';
            ++ctx->aheadPos;
        } else if (capacity - pos >= 2) {
            buf[pos++] = '\r';
            buf[pos++] = '\n';
            last = '\n';
            ++ctx->aheadPos;
        } else {
            // Room for the CR only: the line feed stays for the next block, where the
            // remembered CR keeps it from getting a second one.
            buf[pos++] = '\r';
            last = '\r';
        }
    }
    ctx->lastNetasciiByte = last;
    ctx->sendLen = pos;
    // A read error must fail the transfer, not pass for the end of the file; a run time
    // that does not flag it (Wine's msvcrt, on a stream not open for reading) still
    // stops without the end-of-file mark.
    return !std::ferror(f) && (!drained || std::feof(f));
}

bool ReadOctetBlock(TransferContext* ctx) {
    std::FILE* f = ctx->file;
    if (f == nullptr) return false;
    // A previous read reached the end: a file of a multiple of 512 bytes (or an empty
    // one) ends with an empty block.
    if (std::feof(f)) {
        ctx->sendLen = 4;
        return !std::ferror(f);
    }
    const size_t room = static_cast<size_t>(ReaderCapacity(ctx) - 4);
    const size_t got = std::fread(SendBuffer(ctx) + 4, 1, room, f);
    ctx->sendLen = static_cast<int32_t>(4 + got);
    return !std::ferror(f) && (got == room || std::feof(f));
}

bool WriteDataBlock(TransferContext* ctx) {
    std::FILE* f = ctx->file;
    if (f == nullptr) return false;
    if (ctx->recvLen < 4 || ctx->recvLen > RecvCapacity(ctx)) return false;
    const size_t count = static_cast<size_t>(ctx->recvLen - 4);
    if (count == 0) return true;
    return std::fwrite(RecvBuffer(ctx) + 4, 1, count, f) == count;
}
