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
    return std::clamp<int32_t>(ctx->sendLen, 5, kMaxPacket);
}

}  // namespace

bool ReadNetasciiBlock(TransferContext* ctx) {
    std::FILE* f = ctx->file;
    if (f == nullptr) return false;
    const int capacity = ReaderCapacity(ctx);
    uint8_t* buf = ctx->sendBuf;
    int pos = 4;
    int last = ctx->lastNetasciiByte;

    // Bytes come from the file in runs of half the room left, which fit even when every
    // one of them is a line feed that gains a CR; so no byte is ever read that the block
    // has no room for, and the file is consumed exactly as far as the block reaches.
    uint8_t run[kBlockSize / 2];
    while (capacity - pos >= 2) {
        const size_t want = static_cast<size_t>(capacity - pos) / 2;
        const size_t got = std::fread(run, 1, want, f);
        const uint8_t* p = run;
        const uint8_t* const end = run + got;
        while (p < end) {
            // Everything up to the next line feed goes unchanged.
            const auto* lf = static_cast<const uint8_t*>(std::memchr(p, '\n', end - p));
            const uint8_t* const stop = lf != nullptr ? lf : end;
            if (stop > p) {
                std::memcpy(buf + pos, p, static_cast<size_t>(stop - p));
                pos += static_cast<int>(stop - p);
                last = stop[-1];
            }
            if (lf == nullptr) break;
            // A line feed is sent as CR LF unless the file already has the CR before it.
            if (last != '\r') buf[pos++] = '\r';
            buf[pos++] = '\n';
            last = '\n';
            p = lf + 1;
        }
        if (got < want) break;  // the end of the file, or a read error
    }
    // One byte of room: a line feed that needs its CR gets only the CR here and is read
    // again as the first byte of the next block, where the remembered CR keeps it from
    // getting a second one.
    if (capacity - pos == 1 && !std::feof(f) && !std::ferror(f)) {
        const int c = std::getc(f);
        if (c == '\n' && last != '\r') {
            buf[pos++] = '\r';
            last = '\r';
            std::ungetc(c, f);
        } else if (c != EOF) {
            buf[pos++] = static_cast<uint8_t>(c);
            last = c;
        }
    }
    ctx->lastNetasciiByte = last;
    ctx->sendLen = pos;
    // A read error must fail the transfer, not pass for the end of the file.
    return !std::ferror(f);
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
    const size_t got = std::fread(ctx->sendBuf + 4, 1, room, f);
    ctx->sendLen = static_cast<int32_t>(4 + got);
    return !std::ferror(f);
}

bool WriteDataBlock(TransferContext* ctx) {
    std::FILE* f = ctx->file;
    if (f == nullptr) return false;
    if (ctx->recvLen < 4 || ctx->recvLen > kMaxPacket) return false;
    const size_t count = static_cast<size_t>(ctx->recvLen - 4);
    if (count == 0) return true;
    return std::fwrite(ctx->recvBuf + 4, 1, count, f) == count;
}
