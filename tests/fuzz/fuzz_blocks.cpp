// The block readers and the writer on arbitrary files: the netascii reader sends
// exactly the file with every bare line feed turned into CR LF, in full blocks ended by
// a short one; the octet reader sends the file unchanged; the writer stores exactly
// the payloads it is given and refuses impossible lengths.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_check.h"
#include "tftp_core.h"

namespace {

std::FILE* FileWith(const uint8_t* data, size_t size) {
    std::FILE* f = std::tmpfile();
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    std::rewind(f);
    return f;
}

std::string Netascii(const uint8_t* data, size_t size) {
    std::string out;
    int prev = -1;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == '\n' && prev != '\r') out.push_back('\r');
        out.push_back(static_cast<char>(data[i]));
        prev = data[i];
    }
    return out;
}

// Reads the whole file block by block, as a sending transfer does; checks the block
// sizes and returns the payloads joined.
std::string ReadAllBlocks(std::FILE* f, BlockReader reader, size_t bound) {
    TransferContext ctx;
    ctx.file = f;
    std::string sent;
    for (size_t blocks = 0;; ++blocks) {
        FUZZ_CHECK(blocks <= bound);  // every file ends
        ctx.sendLen = kMaxPacket;
        FUZZ_CHECK(reader(&ctx));
        FUZZ_CHECK(ctx.sendLen >= 4 && ctx.sendLen <= kMaxPacket);
        sent.append(reinterpret_cast<const char*>(ctx.sendBuf + 4),
                    static_cast<size_t>(ctx.sendLen - 4));
        if (ctx.sendLen < kMaxPacket) return sent;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t bound = 2 * size / kBlockSize + 2;
    std::FILE* f = FileWith(data, size);
    FUZZ_CHECK(ReadAllBlocks(f, ReadNetasciiBlock, bound) == Netascii(data, size));
    std::rewind(f);
    std::clearerr(f);
    const std::string octets = ReadAllBlocks(f, ReadOctetBlock, bound);
    FUZZ_CHECK(octets == std::string(reinterpret_cast<const char*>(data), size));
    std::fclose(f);

    // The writer: the input cut into DATA packets whose lengths come from the input.
    std::FILE* out = std::tmpfile();
    FUZZ_CHECK(out != nullptr);
    TransferContext ctx;
    ctx.file = out;
    std::string stored;
    size_t at = 0;
    while (at < size) {
        const int32_t claim = static_cast<int32_t>(data[at] * 3) - 64;  // some impossible
        const size_t n = static_cast<size_t>(claim < 4 ? 0 : claim - 4);
        const size_t take = n < size - at ? n : size - at;
        for (size_t i = 0; i < take; ++i) ctx.recvBuf[4 + (i % kBlockSize)] = data[at + i];
        ctx.recvLen = claim;
        const bool ok = WriteDataBlock(&ctx);
        FUZZ_CHECK(ok == (claim >= 4 && claim <= kMaxPacket));
        if (ok) stored.append(reinterpret_cast<const char*>(ctx.recvBuf + 4), n);
        at += take + 1;
    }
    std::fflush(out);
    std::rewind(out);
    std::string back(stored.size() + 1, '\0');
    back.resize(std::fread(back.data(), 1, back.size(), out));
    FUZZ_CHECK(back == stored);
    std::fclose(out);
    return 0;
}
