// TFTP packet layouts: the parsers of received packets, the stamping of outgoing ones,
// and the texts of the TFTP error codes.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tftp_core.h"

namespace {

uint16_t Get16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v & 0xFF);
}

// The received length as far as the receive buffer really holds bytes: a caller's
// stray value can never make a parser read outside the buffer.
int ReceivedBytes(const TransferContext* ctx) {
    return std::clamp<int32_t>(ctx->recvLen, 0, RecvCapacity(ctx));
}

// Offset of the first 0 byte at or after from, or end when there is none.
int FindZero(const uint8_t* buf, int from, int end) {
    int i = from;
    while (i < end && buf[i] != 0) ++i;
    return i;
}

}  // namespace

std::string GetTFTPErrorText(uint16_t code) {
    // Codes are signed on the wire's consumers, so 65535 is -1 and falls to the default.
    switch (static_cast<int16_t>(code)) {
        case 0:
            return "An unspecified error occurred.";
        case 1:
            return "The file was not found.";
        case 2:
            return "The file could not be accessed.";
        case 3:
            return "No space is left on the device, or the storage quota has been exceeded.";
        case 4:
            return "An illegal TFTP operation has occurred.";
        case 5:
            return "Unknown port number.";
        case 6:
            return "The file already exists.";
        case 7:
            return "No such user.";
        default:
            return "Unknown RFC-compliant TFTP error.";
    }
}

uint16_t GetPacketOpcode(const uint8_t* buf, int len) {
    if (buf == nullptr || len < 2) return 0xFFFF;
    return Get16(buf);
}

uint16_t GetPacketBlock(const uint8_t* buf, int len) {
    if (buf == nullptr || len < 4) return 0xFFFF;
    return Get16(buf + 2);
}

bool ExtractFilenameAndMode(TransferContext* ctx) {
    const int n = ReceivedBytes(ctx);
    if (n <= 2) return false;
    const uint8_t* buf = RecvBuffer(ctx);
    const int i = FindZero(buf, 2, n);
    ctx->fileName.assign(reinterpret_cast<const char*>(buf + 2), static_cast<size_t>(i - 2));
    // A name without its 0 byte, or nothing after it, leaves no room for a mode.
    if (i + 1 >= n) return false;
    const int j = FindZero(buf, i + 1, n);
    // A mode that runs to the end of the packet without its 0 byte is accepted; anything
    // after the mode's 0 byte (option extensions) is ignored.
    ctx->mode.assign(reinterpret_cast<const char*>(buf + i + 1), static_cast<size_t>(j - i - 1));
    return true;
}

bool ExtractErrorInfo(TransferContext* ctx, uint16_t* code, std::string* text) {
    const int n = ReceivedBytes(ctx);
    if (n <= 2) return false;
    if (n > 4 && code != nullptr) *code = Get16(RecvBuffer(ctx) + 2);
    if (text != nullptr) {
        text->clear();
        if (n > 4) {
            const int end = FindZero(RecvBuffer(ctx), 4, n);
            text->assign(reinterpret_cast<const char*>(RecvBuffer(ctx) + 4),
                         static_cast<size_t>(end - 4));
        }
    }
    return true;
}

bool ExtractAckBlock(TransferContext* ctx, uint16_t* block) {
    if (ReceivedBytes(ctx) < 4) return false;
    if (block != nullptr) *block = Get16(RecvBuffer(ctx) + 2);
    return true;
}

bool ExtractDataBlock(TransferContext* ctx, const uint8_t** data, int* count) {
    const int n = ReceivedBytes(ctx);
    if (n < 4) return false;
    ctx->block = Get16(RecvBuffer(ctx) + 2);
    if (data != nullptr) *data = RecvBuffer(ctx) + 4;
    if (count != nullptr) *count = n - 4;
    return true;
}

bool SendAckToPeer(TransferContext* ctx) {
    Put16(SendBuffer(ctx), kOpAck);
    Put16(SendBuffer(ctx) + 2, ctx->block);
    ctx->sendLen = 4;
    return SendPacketToPeer(ctx);
}

bool SendDataToPeer(TransferContext* ctx) {
    Put16(SendBuffer(ctx), kOpData);
    Put16(SendBuffer(ctx) + 2, ctx->block);
    // The reader set the length; a packet is never shorter than its header.
    if (ctx->sendLen < 4) ctx->sendLen = 4;
    return SendPacketToPeer(ctx);
}

int BuildErrorPacket(uint8_t* buf, uint16_t code, const char* text) {
    std::string fallback;
    if (text == nullptr || text[0] == '\0') {
        fallback = GetTFTPErrorText(code);
        text = fallback.c_str();
    }
    // Header, text and its 0 byte must fit one packet; a longer text is cut.
    constexpr size_t kMaxText = kMaxPacket - 5;
    size_t len = 0;
    while (len < kMaxText && text[len] != '\0') ++len;
    Put16(buf, kOpError);
    Put16(buf + 2, code);
    std::memcpy(buf + 4, text, len);
    buf[4 + len] = 0;
    return static_cast<int>(len + 5);
}

bool SendErrorToPeer(TransferContext* ctx, uint16_t code, const char* text) {
    ctx->sendLen = BuildErrorPacket(SendBuffer(ctx), code, text);
    return SendPacketToPeer(ctx);
}

void FormatReceivedError(char* buf, size_t size, const char* fmt, const std::string& file,
                         uint16_t code, const std::string& details) {
    if (size == 0) return;
        // The format comes from this program's own tables, never from the wire.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int n = std::snprintf(buf, size, fmt, file.c_str(), static_cast<int>(code),
                                GetTFTPErrorText(code).c_str());
#pragma GCC diagnostic pop
    if (details.empty() || n < 0 || static_cast<size_t>(n) >= size) return;
    // The peer's text can be up to 511 bytes; whatever does not fit is cut.
    std::snprintf(buf + n, size - static_cast<size_t>(n), " Details: %s", details.c_str());
}
