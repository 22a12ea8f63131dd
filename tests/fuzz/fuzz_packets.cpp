// The packet parsers and builders on arbitrary bytes: every parser reads only what the
// packet holds, whatever length a caller leaves in the context, and an ERROR packet
// built from any text reads back as that text (cut to one packet); the option area
// after a request's mode is read within the packet.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "tftp_core.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    // Byte 0 picks the length the caller claims, byte 1 the error code to build with.
    const uint8_t claim = data[0];
    const uint16_t code = static_cast<uint16_t>(data[1] * 257);
    data += 2;
    size -= 2;

    TransferContext ctx;
    const size_t copied = size < sizeof ctx.recvBuf ? size : sizeof ctx.recvBuf;
    std::memcpy(ctx.recvBuf, data, copied);
    const int32_t lengths[] = {static_cast<int32_t>(copied), claim * 3 - 100, kMaxPacket + claim,
                               -claim};
    for (int32_t len : lengths) {
        ctx.recvLen = len;
        const int held = len < 0 ? 0 : (len > kMaxPacket ? kMaxPacket : len);
        const uint16_t opcode = GetPacketOpcode(ctx.recvBuf, len);
        FUZZ_CHECK(len >= 2 || opcode == 0xFFFF);
        FUZZ_CHECK(len < 4 ||
                   GetPacketBlock(ctx.recvBuf, len) == ((ctx.recvBuf[2] << 8) | ctx.recvBuf[3]));
        if (ExtractFilenameAndMode(&ctx)) {
            // Name and mode come from the packet and fit in it.
            FUZZ_CHECK(ctx.fileName.size() + ctx.mode.size() + 3 <= static_cast<size_t>(held));
            FUZZ_CHECK(ctx.fileName.find('\0') == std::string::npos);
            FUZZ_CHECK(ctx.mode.find('\0') == std::string::npos);
        }
        uint16_t got = 0;
        std::string text;
        if (ExtractErrorInfo(&ctx, &got, &text)) {
            FUZZ_CHECK(held > 2);
            FUZZ_CHECK(text.size() + 4 <= static_cast<size_t>(held) || text.empty());
        }
        uint16_t block = 0;
        FUZZ_CHECK(ExtractAckBlock(&ctx, &block) == (held >= 4));
        const uint8_t* payload = nullptr;
        int count = -1;
        if (ExtractDataBlock(&ctx, &payload, &count)) {
            FUZZ_CHECK(payload == ctx.recvBuf + 4 && count == held - 4);
        }
        // The option area is read only within the held bytes; what it yields fits an OACK
        // built from it as the request held it.
        TftpOptions options;
        if (ParseRequestOptions(ctx.recvBuf, held, &options)) {
            size_t names = 0;
            for (int k = 0; k < kOptionCount; ++k) {
                if (!options.present[k]) continue;
                names += options.name[k].size();
                FUZZ_CHECK(options.value[k] <= (1ull << 40));
            }
            FUZZ_CHECK(names <= static_cast<size_t>(held));
            uint8_t oack[kMaxPacket];
            const int oackLen = BuildOackPacket(oack, sizeof oack, options);
            FUZZ_CHECK(oackLen >= 0 && oackLen <= kMaxPacket);
        }
        // The log line of a received error never runs past any buffer.
        char line[1024];
        const size_t room = 1 + claim % sizeof line;
        FormatReceivedError(line, room, "X: %s. Error code %02d (%s).", ctx.fileName, got, text);
        FUZZ_CHECK(std::strlen(line) < room);
    }

    // An ERROR packet built from the input as text reads back as that text, cut to fit.
    const std::string asText(reinterpret_cast<const char*>(data), size);
    uint8_t packet[kMaxPacket];
    const int len = BuildErrorPacket(packet, code, asText.c_str());
    FUZZ_CHECK(len >= 5 && len <= kMaxPacket);
    FUZZ_CHECK(packet[len - 1] == 0);
    std::memcpy(ctx.recvBuf, packet, static_cast<size_t>(len));
    ctx.recvLen = len;
    uint16_t backCode = 0;
    std::string backText;
    FUZZ_CHECK(ExtractErrorInfo(&ctx, &backCode, &backText));
    FUZZ_CHECK(backCode == code);
    const std::string sent = asText.c_str();
    const std::string expected =
        sent.empty() ? GetTFTPErrorText(code) : sent.substr(0, kMaxPacket - 5);
    FUZZ_CHECK(backText == expected);
    return 0;
}
