// Block readers and writer on real files: netascii conversion across block boundaries,
// octet block sizes, and read and write errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "tftp_core.h"

namespace {

using namespace std::string_literals;

// What a netascii receiver must see: every line feed the file does not already precede
// with a carriage return gets one.
std::string NetasciiOf(const std::string& in) {
    std::string out;
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '\n' && (i == 0 || in[i - 1] != '\r')) out += '\r';
        out += in[i];
    }
    return out;
}

class CoreBlocks : public ::testing::Test {
  protected:
    std::string Path(const char* name) const { return env.dir() + "/" + name; }

    // Sends a whole file through the reader as a transfer loop does and returns the
    // payloads; the last one is the first shorter than 512 bytes.
    std::vector<std::string> Blocks(const std::string& content, BlockReader reader) {
        const std::string path = Path("source");
        kvtest::WriteFile(path, content);
        TransferContext ctx;
        InitTransferContext(&ctx, 1000);
        ctx.file = std::fopen(path.c_str(), "rb");
        EXPECT_NE(ctx.file, nullptr);
        std::vector<std::string> blocks;
        if (ctx.file == nullptr) return blocks;
        // A netascii file grows to at most twice its size; anything more is a runaway.
        const size_t limit = content.size() * 2 / 512 + 2;
        while (blocks.size() <= limit) {
            ctx.sendLen = kMaxPacket;
            std::memset(ctx.sendBuf + 4, 0xAA, kBlockSize);
            EXPECT_TRUE(reader(&ctx));
            EXPECT_GE(ctx.sendLen, 4);
            EXPECT_LE(ctx.sendLen, kMaxPacket);
            if (ctx.sendLen < 4 || ctx.sendLen > kMaxPacket) break;
            blocks.emplace_back(reinterpret_cast<char*>(ctx.sendBuf + 4), ctx.sendLen - 4);
            if (ctx.sendLen < kMaxPacket) break;
        }
        EXPECT_LE(blocks.size(), limit) << "the reader never ended the file";
        std::fclose(ctx.file);
        return blocks;
    }

    // Every block but the last is full, the last is short, and together they carry the
    // expected stream.
    void ExpectStream(const std::vector<std::string>& blocks, const std::string& expected) {
        ASSERT_FALSE(blocks.empty());
        std::string all;
        for (size_t i = 0; i < blocks.size(); ++i) {
            if (i + 1 < blocks.size()) {
                EXPECT_EQ(blocks[i].size(), kBlockSize) << "block " << i;
            }
            all += blocks[i];
        }
        EXPECT_LT(blocks.back().size(), kBlockSize);
        EXPECT_EQ(all, expected);
        EXPECT_EQ(blocks.size(), expected.size() / kBlockSize + 1);
    }

    kvtest::TestEnv env;
};

TEST_F(CoreBlocks, NetasciiConvertsBareLineFeedsOnly) {
    EXPECT_EQ(Blocks("a\nb", ReadNetasciiBlock), std::vector{"a\r\nb"s});
    EXPECT_EQ(Blocks("a\r\nb", ReadNetasciiBlock), std::vector{"a\r\nb"s});
    EXPECT_EQ(Blocks("\nx", ReadNetasciiBlock), std::vector{"\r\nx"s});
    EXPECT_EQ(Blocks("x\r", ReadNetasciiBlock), std::vector{"x\r"s}) << "a lone CR at the end";
    EXPECT_EQ(Blocks("\r\r\n\n", ReadNetasciiBlock), std::vector{"\r\r\n\r\n"s});
    EXPECT_EQ(Blocks("", ReadNetasciiBlock), std::vector{""s});
}

TEST_F(CoreBlocks, NetasciiLineFeedAtTheBlockBoundary) {
    const std::string letters(511, 'x');
    auto blocks = Blocks(letters + "\nyz", ReadNetasciiBlock);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0], letters + "\r");
    EXPECT_EQ(blocks[1], "\nyz");

    blocks = Blocks(letters + "\r\nq", ReadNetasciiBlock);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0], letters + "\r");
    EXPECT_EQ(blocks[1], "\nq") << "the file's own CR must not get a second one";

    blocks = Blocks(std::string(510, 'x') + "\n", ReadNetasciiBlock);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0], std::string(510, 'x') + "\r\n");
    EXPECT_EQ(blocks[1], "") << "exactly 512 converted bytes end with an empty block";
}

TEST_F(CoreBlocks, NetasciiFileOfLineFeedsOnly) {
    const std::string lfs(1000, '\n');
    const auto blocks = Blocks(lfs, ReadNetasciiBlock);
    ExpectStream(blocks, NetasciiOf(lfs));
    ASSERT_EQ(blocks.size(), 4u);
    EXPECT_EQ(blocks[3].size(), 2000u - 3 * 512);
}

TEST_F(CoreBlocks, NetasciiMatchesTheReferenceOnGeneratedFiles) {
    std::mt19937 rng(20240611);
    const char alphabet[] = {'\n', '\n', '\r', 'a', 'b', '\0', '\x7F', '\xFF'};
    std::vector<size_t> sizes = {1, 2, 255, 256, 257, 511, 512, 513, 1023, 1024, 1025, 1536};
    for (int i = 0; i < 24; ++i) sizes.push_back(rng() % 3000);
    for (size_t size : sizes) {
        std::string content(size, 'a');
        for (char& c : content) c = alphabet[rng() % sizeof alphabet];
        SCOPED_TRACE("size " + std::to_string(size));
        ExpectStream(Blocks(content, ReadNetasciiBlock), NetasciiOf(content));
    }
}

TEST_F(CoreBlocks, OctetBlockSizes) {
    const struct {
        size_t size;
        std::vector<size_t> blocks;
    } cases[] = {
        {0, {0}}, {1, {1}}, {511, {511}}, {512, {512, 0}}, {513, {512, 1}}, {1024, {512, 512, 0}},
    };
    for (const auto& c : cases) {
        const std::string content = kvtest::PatternData(c.size, 7);
        const auto blocks = Blocks(content, ReadOctetBlock);
        std::vector<size_t> sizes;
        std::string all;
        for (const auto& b : blocks) {
            sizes.push_back(b.size());
            all += b;
        }
        EXPECT_EQ(sizes, c.blocks) << c.size;
        EXPECT_EQ(all, content) << c.size;
    }
    const std::string crlf = "a\nb\r\n";
    EXPECT_EQ(Blocks(crlf, ReadOctetBlock), std::vector{crlf}) << "octet never converts";
}

TEST_F(CoreBlocks, ReadErrorFailsTheReader) {
    // A stream whose reads fail: a write-only one, and one opened on a directory.
    const std::string file = Path("writeonly");
    for (BlockReader reader : {ReadOctetBlock, ReadNetasciiBlock}) {
        TransferContext ctx;
        InitTransferContext(&ctx, 1000);
        ctx.file = std::fopen(file.c_str(), "wb");
        ASSERT_NE(ctx.file, nullptr);
        ctx.sendLen = kMaxPacket;
        EXPECT_FALSE(reader(&ctx)) << "a read error is not the end of the file";
        std::fclose(ctx.file);

        ctx.file = std::fopen(env.dir().c_str(), "rb");
        if (ctx.file != nullptr) {
            ctx.sendLen = kMaxPacket;
            EXPECT_FALSE(reader(&ctx)) << "reading a directory";
            std::fclose(ctx.file);
        }

        ctx.file = nullptr;
        ctx.sendLen = kMaxPacket;
        EXPECT_FALSE(reader(&ctx)) << "no file at all";
    }
}

TEST_F(CoreBlocks, WriterStoresPayloadsUnchanged) {
    const std::string path = Path("target");
    TransferContext ctx;
    ctx.file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(ctx.file, nullptr);

    const std::string payload = "x\r\ny\n" + std::string(507, 'z');
    std::memcpy(ctx.recvBuf, "\0\3\0\1", 4);
    std::memcpy(ctx.recvBuf + 4, payload.data(), payload.size());
    ctx.recvLen = 4 + static_cast<int32_t>(payload.size());
    EXPECT_TRUE(WriteDataBlock(&ctx));

    ctx.recvLen = 4;
    EXPECT_TRUE(WriteDataBlock(&ctx)) << "an empty block writes nothing and succeeds";
    ctx.recvLen = 3;
    EXPECT_FALSE(WriteDataBlock(&ctx)) << "not even a DATA header";
    ctx.recvLen = 9999;
    EXPECT_FALSE(WriteDataBlock(&ctx)) << "more than the buffer holds";
    std::fclose(ctx.file);
    EXPECT_EQ(kvtest::ReadFile(path), payload);

    // A stream that cannot be written makes the writer fail.
    ctx.file = std::fopen(path.c_str(), "rb");
    ASSERT_NE(ctx.file, nullptr);
    ctx.recvLen = 10;
    EXPECT_FALSE(WriteDataBlock(&ctx));
    std::fclose(ctx.file);
    EXPECT_EQ(kvtest::ReadFile(path), payload);
}

}  // namespace
