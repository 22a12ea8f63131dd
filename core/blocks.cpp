// The block readers that fill DATA payloads from the local file (netascii and octet),
// and the writer that stores received payloads unchanged.
#include <algorithm>
#include <cstdio>

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

    int c = std::getc(f);
    while (c != EOF && pos < capacity) {
        if (c != '\n') {
            buf[pos++] = static_cast<uint8_t>(c);
            last = c;
        } else if (pos < capacity - 1) {
            // A line feed is sent as CR LF unless the file already has the CR before it.
            if (last != '\r') buf[pos++] = '\r';
            buf[pos++] = '\n';
            last = '\n';
        } else if (last == '\r') {
            buf[pos++] = '\n';
            last = '\n';
        } else {
            // Room for the CR only: the line feed is read again as the first byte of the
            // next block, where the remembered CR keeps it from getting a second one.
            buf[pos++] = '\r';
            last = '\r';
            std::ungetc(c, f);
        }
        if (pos < capacity) c = std::getc(f);
    }
    ctx->lastNetasciiByte = last;
    ctx->sendLen = pos;
    // A read error must fail the transfer, not pass for the end of the file; a run time
    // that does not flag it (Wine's msvcrt, on a stream not open for reading) still
    // stops without the end-of-file mark.
    return !std::ferror(f) && (c != EOF || std::feof(f));
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
    return !std::ferror(f) && (got == room || std::feof(f));
}

bool WriteDataBlock(TransferContext* ctx) {
    std::FILE* f = ctx->file;
    if (f == nullptr) return false;
    if (ctx->recvLen < 4 || ctx->recvLen > kMaxPacket) return false;
    const size_t count = static_cast<size_t>(ctx->recvLen - 4);
    if (count == 0) return true;
    return std::fwrite(ctx->recvBuf + 4, 1, count, f) == count;
}
