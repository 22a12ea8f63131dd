// Packet parsers and builders: malformed input, exact bytes of built packets, error texts.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_support.h"
#include "tftp_core.h"

namespace {

class CorePackets : public ::testing::Test {
  protected:
    // Puts the bytes into the receive buffer as if they had just been received.
    void Received(const std::string& bytes) {
        ASSERT_LE(bytes.size(), sizeof ctx.recvBuf);
        std::memcpy(ctx.recvBuf, bytes.data(), bytes.size());
        ctx.recvLen = static_cast<int32_t>(bytes.size());
    }

    kvtest::TestEnv env;
    TransferContext ctx;
};

using namespace std::string_literals;

TEST_F(CorePackets, MalformedRequestsAreRefused) {
    Received("\0\1"s);
    EXPECT_FALSE(ExtractFilenameAndMode(&ctx)) << "2 bytes: no name at all";
    Received("\0\1"s.substr(0, 1));
    EXPECT_FALSE(ExtractFilenameAndMode(&ctx)) << "1 byte";
    Received("\0\1a.txt"s);
    EXPECT_FALSE(ExtractFilenameAndMode(&ctx)) << "name without its 0 byte";
    Received("\0\1a.txt\0"s);
    EXPECT_FALSE(ExtractFilenameAndMode(&ctx)) << "nothing after the name's 0 byte";
}

TEST_F(CorePackets, RequestSplitsIntoNameAndMode) {
    Received("\0\1a.txt\0octet"s);
    ASSERT_TRUE(ExtractFilenameAndMode(&ctx)) << "a mode may end with the packet";
    EXPECT_EQ(ctx.fileName, "a.txt");
    EXPECT_EQ(ctx.mode, "octet");

    Received("\0\2\0octet\0"s);
    ASSERT_TRUE(ExtractFilenameAndMode(&ctx));
    EXPECT_EQ(ctx.fileName, "");
    EXPECT_EQ(ctx.mode, "octet");

    Received("\0\1dir\\boot.img\0netascii\0blksize\0001428\0tsize\0000\0"s);
    ASSERT_TRUE(ExtractFilenameAndMode(&ctx)) << "option bytes after the mode are ignored";
    EXPECT_EQ(ctx.fileName, "dir\\boot.img");
    EXPECT_EQ(ctx.mode, "netascii");

    Received("\0\1f\0\0"s);
    ASSERT_TRUE(ExtractFilenameAndMode(&ctx));
    EXPECT_EQ(ctx.fileName, "f");
    EXPECT_EQ(ctx.mode, "");
}

TEST_F(CorePackets, ParsersStayInsideTheBufferWhateverTheLength) {
    std::memset(ctx.recvBuf, 'x', sizeof ctx.recvBuf);
    ctx.recvLen = 100000;
    EXPECT_FALSE(ExtractFilenameAndMode(&ctx)) << "no 0 byte anywhere in the buffer";
    uint16_t code = 0;
    std::string text;
    ASSERT_TRUE(ExtractErrorInfo(&ctx, &code, &text));
    EXPECT_EQ(text.size(), sizeof ctx.recvBuf - 4);
    const uint8_t* data = nullptr;
    int count = -1;
    ASSERT_TRUE(ExtractDataBlock(&ctx, &data, &count));
    EXPECT_EQ(count, 512);

    ctx.recvLen = -7;
    EXPECT_FALSE(ExtractFilenameAndMode(&ctx));
    EXPECT_FALSE(ExtractErrorInfo(&ctx, &code, &text));
    EXPECT_FALSE(ExtractAckBlock(&ctx, &code));
    EXPECT_FALSE(ExtractDataBlock(&ctx, &data, &count));
}

TEST_F(CorePackets, OpcodeAndBlockOfShortPackets) {
    const uint8_t p[] = {0, 3, 0x12, 0x34};
    EXPECT_EQ(GetPacketOpcode(p, 0), 65535);
    EXPECT_EQ(GetPacketOpcode(p, 1), 65535);
    EXPECT_EQ(GetPacketOpcode(p, 2), 3);
    EXPECT_EQ(GetPacketBlock(p, 2), 65535);
    EXPECT_EQ(GetPacketBlock(p, 3), 65535);
    EXPECT_EQ(GetPacketBlock(p, 4), 0x1234);
    const uint8_t high[] = {0xFF, 0xFE, 0xAB, 0xCD};
    EXPECT_EQ(GetPacketOpcode(high, 4), 0xFFFE) << "fields are big-endian and unsigned";
    EXPECT_EQ(GetPacketBlock(high, 4), 0xABCD);
    EXPECT_EQ(GetPacketOpcode(nullptr, 4), 65535);
}

TEST_F(CorePackets, ErrorTextTable) {
    const char* const expected[] = {
        "An unspecified error occurred.",
        "The file was not found.",
        "The file could not be accessed.",
        "No space is left on the device, or the storage quota has been exceeded.",
        "An illegal TFTP operation has occurred.",
        "Unknown port number.",
        "The file already exists.",
        "No such user.",
    };
    for (uint16_t code = 0; code < 8; ++code) EXPECT_EQ(GetTFTPErrorText(code), expected[code]);
    for (uint16_t code : {8, 100, 32767, 32768, 65535})
        EXPECT_EQ(GetTFTPErrorText(code), "Unknown RFC-compliant TFTP error.") << code;
}

TEST_F(CorePackets, ErrorPacketBytes) {
    uint8_t buf[kMaxPacket];
    const std::string table =
        "No space is left on the device, or the storage quota has been exceeded.";
    ASSERT_EQ(table.size(), 71u);
    const std::string expected = "\0\5\0\3"s + table + "\0"s;
    ASSERT_EQ(BuildErrorPacket(buf, 3, ""), 76);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 76), expected);
    ASSERT_EQ(BuildErrorPacket(buf, 3, nullptr), 76);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 76), expected);

    ASSERT_EQ(BuildErrorPacket(buf, 0x0102, "Access violation"), 21);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 21), "\0\5\1\2Access violation\0"s);
}

TEST_F(CorePackets, LongErrorTextIsCutToOnePacket) {
    uint8_t buf[kMaxPacket + 8];
    std::memset(buf, 0xEE, sizeof buf);
    const std::string exact(511, 'e');
    ASSERT_EQ(BuildErrorPacket(buf, 1, exact.c_str()), kMaxPacket);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 4), 511), exact);
    EXPECT_EQ(buf[515], 0);

    const std::string longer(2000, 'L');
    std::memset(buf, 0xEE, sizeof buf);
    ASSERT_EQ(BuildErrorPacket(buf, 1, longer.c_str()), kMaxPacket);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 4), 511), longer.substr(0, 511));
    EXPECT_EQ(buf[515], 0);
    EXPECT_EQ(buf[kMaxPacket], 0xEE) << "nothing written past the packet";
}

TEST_F(CorePackets, ErrorInfoOfShortAndOddPackets) {
    uint16_t code = 0;
    std::string text = "stale";
    Received("\0\5"s);
    EXPECT_FALSE(ExtractErrorInfo(&ctx, &code, &text));

    for (const std::string& p : {"\0\5\0"s, "\0\5\0\2"s}) {
        code = 0;
        text = "stale";
        Received(p);
        ASSERT_TRUE(ExtractErrorInfo(&ctx, &code, &text)) << p.size();
        EXPECT_EQ(code, 0) << "a packet without text leaves the preset code";
        EXPECT_EQ(text, "");
    }

    Received("\0\5\0\2x"s);
    ASSERT_TRUE(ExtractErrorInfo(&ctx, &code, &text));
    EXPECT_EQ(code, 2);
    EXPECT_EQ(text, "x") << "text without its 0 byte ends with the packet";

    Received("\0\5\0\1not here\0trailing"s);
    ASSERT_TRUE(ExtractErrorInfo(&ctx, &code, &text));
    EXPECT_EQ(code, 1);
    EXPECT_EQ(text, "not here");
}

TEST_F(CorePackets, AckAndDataFields) {
    uint16_t block = 7;
    Received("\0\4\0"s);
    EXPECT_FALSE(ExtractAckBlock(&ctx, &block));
    Received("\0\4\1\0"s);
    ASSERT_TRUE(ExtractAckBlock(&ctx, &block));
    EXPECT_EQ(block, 256);

    const uint8_t* data = nullptr;
    int count = -1;
    Received("\0\3\0"s);
    EXPECT_FALSE(ExtractDataBlock(&ctx, &data, &count));
    Received("\0\3\xFF\xFF"s);
    ASSERT_TRUE(ExtractDataBlock(&ctx, &data, &count));
    EXPECT_EQ(ctx.block, 65535);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(data, ctx.recvBuf + 4);
    Received("\0\3\0\2"s + std::string(512, 'd'));
    ASSERT_TRUE(ExtractDataBlock(&ctx, &data, &count));
    EXPECT_EQ(ctx.block, 2);
    EXPECT_EQ(count, 512);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(data), count), std::string(512, 'd'));
}

// The option area after the mode: which options are read, and which areas are malformed.
TEST_F(CorePackets, OptionAreasParseOrAreRefusedWhole) {
    const std::string req = "\0\1f\0octet\0"s;
    struct Case {
        std::string area;
        bool wellFormed;
        std::string expect;  // "name=value;" for each option read, in option order
    };
    const Case cases[] = {
        {"", true, ""},
        {"\0\0"s, true, ""},
        {"blksize\0001428\0"s, true, "blksize=1428;"},
        {"TSIZE\0000\0BlkSize\08\0"s, true, "BlkSize=8;TSIZE=0;"},
        {"timeout\0003\0windowsize\00016\0"s, true, "timeout=3;windowsize=16;"},
        {"multicast\0\0blksize\000512\0"s, true, "blksize=512;"},
        {"blksize\099999999999999999999\0"s, true, "blksize=1099511627776;"},
        {"blksize\0001428"s, false, ""},
        {"blksize\0"s, false, ""},
        {"blksize"s, false, ""},
        {"blksize\0x12\0"s, false, ""},
        {"blksize\0\0"s, false, ""},
        {"blksize\0-1\0"s, false, ""},
        {"tsize\0000\0TSize\0000\0"s, false, ""},
        {"foo\0001\0foo\0002\0"s, false, ""},
        {"\0blksize\000512\0"s, false, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.area);
        const std::string p = req + c.area;
        TftpOptions o;
        EXPECT_EQ(ParseRequestOptions(reinterpret_cast<const uint8_t*>(p.data()),
                                      static_cast<int>(p.size()), &o),
                  c.wellFormed);
        std::string got;
        for (int k = 0; k < kOptionCount; ++k)
            if (o.present[k]) got += o.name[k] + "=" + std::to_string(o.value[k]) + ";";
        EXPECT_EQ(got, c.expect);
    }
    // A mode without its 0 byte leaves no option area; the length bounds the reading.
    const std::string cut = req + "blksize\0001428\0"s;
    TftpOptions o;
    EXPECT_TRUE(ParseRequestOptions(reinterpret_cast<const uint8_t*>(cut.data()), 8, &o));
    EXPECT_FALSE(o.any());
    EXPECT_FALSE(ParseRequestOptions(reinterpret_cast<const uint8_t*>(cut.data()),
                                     static_cast<int>(cut.size()) - 1, &o));
}

TEST_F(CorePackets, OackCarriesTheGrantedOptionsOnly) {
    TftpOptions g;
    g.present[kOptBlksize] = true;
    g.value[kOptBlksize] = 1428;
    g.name[kOptBlksize] = "BLKSIZE";
    g.present[kOptWindowsize] = true;
    g.value[kOptWindowsize] = 16;
    uint8_t buf[kMaxPacket];
    const int len = BuildOackPacket(buf, sizeof buf, g);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(len)),
              "\0\6BLKSIZE\0001428\0windowsize\00016\0"s);
    EXPECT_EQ(BuildOackPacket(buf, 10, g), 0) << "too small a buffer";
}

}  // namespace
