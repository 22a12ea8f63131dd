// Time-out arithmetic: the 1024 divisor of the wait conversion and the measured interval.
#include <gtest/gtest.h>

#include <vector>

#include "test_support.h"
#include "tftp_core.h"

namespace {

class CoreTimeout : public ::testing::Test {
  protected:
    void Expect(uint32_t timeout, int32_t sec, int32_t usec) {
        ctx.timeout = timeout;
        UpdateSelectTimeout(&ctx);
        EXPECT_EQ(ctx.waitSec, sec) << timeout;
        EXPECT_EQ(ctx.waitUsec, usec) << timeout;
    }

    kvtest::TestEnv env;
    TransferContext ctx;
};

TEST_F(CoreTimeout, WaitUsesTheDivisor1024) {
    Expect(5000, 4, 904000);
    Expect(1000, 0, 1000000);
    Expect(1024, 1, 0);
    Expect(1023, 0, 1023000);
    Expect(1, 0, 1000);
    Expect(0, 0, 0);
    Expect(0xFFFFFFFFu, 4194303, 1023000);
}

TEST_F(CoreTimeout, IntervalBecomesTheTimeout) {
    SetTimeoutFromInterval(&ctx, 1000, 1000);
    EXPECT_EQ(ctx.lastInterval, 0);
    EXPECT_EQ(ctx.timeout, 1u) << "a reply within the same tick";
    EXPECT_EQ(ctx.waitSec, 0);
    EXPECT_EQ(ctx.waitUsec, 1000);

    SetTimeoutFromInterval(&ctx, 0xFFFFFFF0u, 0x10u);
    EXPECT_EQ(ctx.lastInterval, 32) << "the tick counter wrapped between the ticks";
    EXPECT_EQ(ctx.timeout, 32u);
    EXPECT_EQ(ctx.waitUsec, 32000);

    SetTimeoutFromInterval(&ctx, 100, 100 + 2100);
    EXPECT_EQ(ctx.timeout, 2100u);
    EXPECT_EQ(ctx.waitSec, 2);
    EXPECT_EQ(ctx.waitUsec, 52000);
}

TEST_F(CoreTimeout, InitStartsATransferAndKeepsItsResources) {
    ctx.socket = 42;
    ctx.file = stdin;
    ctx.fileName = "name";
    ctx.mode = "octet";
    ctx.block = 99;
    ctx.maxPacket = 3;
    ctx.blockSize = 4;
    ctx.lastNetasciiByte = '\r';
    ctx.aheadLen = 7;  // the look-ahead of an earlier file
    ctx.aheadPos = 3;
    InitTransferContext(&ctx, 5000);
    EXPECT_EQ(ctx.block, 0);
    EXPECT_EQ(ctx.maxPacket, 516);
    EXPECT_EQ(ctx.blockSize, 512u);
    EXPECT_EQ(ctx.lastInterval, 5000);
    EXPECT_EQ(ctx.timeout, 5000u);
    EXPECT_EQ(ctx.waitSec, 4);
    EXPECT_EQ(ctx.waitUsec, 904000);
    EXPECT_EQ(ctx.lastNetasciiByte, -1);
    EXPECT_EQ(ctx.aheadLen, ctx.aheadPos) << "nothing of an earlier file is sent";
    EXPECT_EQ(ctx.socket, 42);
    EXPECT_EQ(ctx.file, stdin);
    EXPECT_EQ(ctx.fileName, "name");
    EXPECT_EQ(ctx.mode, "octet");
}

TEST(AdaptiveTimeout, AdaptiveTimeoutKeepsAFloor) {
    TransferContext ctx;
    InitTransferContext(&ctx, 5000);
    // An answer within the same tick would leave 1 ms.
    AdaptTimeout(&ctx, 1000, 1000, 5000);
    EXPECT_EQ(ctx.timeout, kMinAdaptiveTimeoutMs);
    EXPECT_EQ(ctx.waitSec, 0);
    EXPECT_EQ(ctx.waitUsec, static_cast<int32_t>(kMinAdaptiveTimeoutMs * 1000));
    EXPECT_EQ(ctx.lastInterval, 0);
    // Longer intervals are taken as measured, across the tick counter's wrap too.
    AdaptTimeout(&ctx, 0xFFFFFF00u, 0x00000300u, 5000);
    EXPECT_EQ(ctx.timeout, 0x400u);
    EXPECT_EQ(ctx.waitSec, 1);
    EXPECT_EQ(ctx.waitUsec, 0);
    // The floor never exceeds the configured initial time-out.
    AdaptTimeout(&ctx, 10, 12, 50);
    EXPECT_EQ(ctx.timeout, 50u);
}

TEST(RetryWatch, TimeOutsOfTheInitialLengthCountAsBefore) {
    // Waits as long as the initial time-out: the eighth miss in a row gives up with a
    // limit of 6, as a plain count would.
    RetryWatch w;
    StartRetryWatch(&w, 6, 1000, 50);
    uint32_t now = 50;
    for (int miss = 1; miss <= 7; ++miss) EXPECT_FALSE(NoteMiss(&w, now += 1000)) << miss;
    EXPECT_TRUE(NoteMiss(&w, now += 1000));
    // A limit of 0 allows one more wait; a negative one none.
    StartRetryWatch(&w, 0, 1000, 0);
    EXPECT_FALSE(NoteMiss(&w, 1000));
    EXPECT_TRUE(NoteMiss(&w, 2000));
    StartRetryWatch(&w, -3, 1000, 0);
    EXPECT_TRUE(NoteMiss(&w, 1000));
}

TEST(RetryWatch, ShortWaitsDoNotGiveUpBeforeTheHorizon) {
    RetryWatch w;
    // Limit 6 of 5000 ms: the horizon is seven waits of 4904 ms.
    StartRetryWatch(&w, 6, 5000, 0xFFFFF000u);
    EXPECT_EQ(w.horizonMs, 7u * 4904u);
    uint32_t now = 0xFFFFF000u;
    // Waits of 200 ms: many misses, and still waiting until the horizon has passed (the
    // tick counter wraps on the way).
    for (int miss = 0; miss < 171; ++miss) ASSERT_FALSE(NoteMiss(&w, now += 200)) << miss;
    EXPECT_TRUE(NoteMiss(&w, now += 200));
    // Progress starts the count and the horizon again.
    NoteProgress(&w, now);
    for (int miss = 0; miss < 20; ++miss) EXPECT_FALSE(NoteMiss(&w, now += 200));
}

TEST(RetryWatch, PacketsThatMoveNothingAreGivenUpAtTheHorizon) {
    // A peer that answers every wait with a packet that moves nothing: the misses come
    // fast, the horizon ends it.
    RetryWatch w;
    StartRetryWatch(&w, 6, 300, 0);
    uint32_t now = 0;
    while (!NoteMiss(&w, ++now)) ASSERT_LT(now, 10000u);
    EXPECT_EQ(now, 7u * 300u);
    // A horizon never wraps round to a short one, nor exceeds what the ticks can measure.
    StartRetryWatch(&w, 0x7FFFFFFF, 0xFFFFFFFFu, 0);
    EXPECT_EQ(w.horizonMs, 0x7FFFFFFFu);
}

TEST(FirstReplyWatch, FirstPacketGoesOutAtMostSixTimesWithDoublingWaits) {
    struct Case {
        int32_t retransmits;
        uint32_t initialMs;
        std::vector<uint32_t> waits;  // the wait after each send, until it gives up
    };
    const Case cases[] = {
        // With a second or more: sends at 0, 1, 3, 7, 15 and 31 s, given up at 32 s.
        {6, 5000, {1000, 2000, 4000, 8000, 16000, 1000}},
        {6, 1000, {1000, 2000, 4000, 8000, 16000, 1000}},
        {100, 100, {100, 200, 400, 800, 1600, 100}},
        // A smaller retry limit allows fewer sends, as it does later in the transfer.
        {0, 1000, {1000, 1000}},
        {2, 300, {300, 600, 1200, 300}},
        {-1, 1000, {1000}},
        {6, 0, {1, 2, 4, 8, 16, 1}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.retransmits << " " << c.initialMs);
        FirstReplyWatch w;
        StartFirstReplyWatch(&w, c.retransmits, c.initialMs);
        std::vector<uint32_t> waits;
        while (!FirstReplyExhausted(w) && waits.size() < 10) waits.push_back(NoteFirstSend(&w));
        EXPECT_EQ(waits, c.waits);
    }
}

TEST(RetryWatch, BackOffDoublesWhileShorterThanTheInitialTimeout) {
    TransferContext ctx;
    InitTransferContext(&ctx, 5000);
    AdaptTimeout(&ctx, 0, 0, 5000);
    const uint32_t expected[] = {400, 800, 1600, 3200, 6400, 6400};
    for (uint32_t e : expected) {
        BackOffTimeout(&ctx, 5000);
        EXPECT_EQ(ctx.timeout, e);
    }
    EXPECT_EQ(ctx.waitSec, 6);
    EXPECT_EQ(ctx.waitUsec, 256000);
    // The initial time-out itself stays, and so does a longer measured interval.
    InitTransferContext(&ctx, 5000);
    BackOffTimeout(&ctx, 5000);
    EXPECT_EQ(ctx.timeout, 5000u);
    SetTimeoutFromInterval(&ctx, 0, 7000);
    BackOffTimeout(&ctx, 5000);
    EXPECT_EQ(ctx.timeout, 7000u);
    // Never beyond twice the initial time-out, which does not wrap.
    SetTimeoutFromInterval(&ctx, 0, 0xC0000000u);
    BackOffTimeout(&ctx, 0xFFFFFFF0u);
    EXPECT_EQ(ctx.timeout, 0xFFFFFFFFu);
}

}  // namespace
