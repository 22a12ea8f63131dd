// The conversation of one transfer: its socket, the timed send and receive of one
// packet, and the time-out that follows the measured answer time.
#include <algorithm>
#include <cstdio>
#include <new>

#include "kv/net.h"
#include "tftp_core.h"

namespace {

void Report(const CoreReporter* r, CoreReporter::Fn CoreReporter::*member, const char* msg) {
    if (r != nullptr && r->*member != nullptr) (r->*member)(*r, msg);
}

}  // namespace

void InitTransferContext(TransferContext* ctx, uint32_t initialTimeoutMs) {
    ctx->block = 0;
    ctx->maxPacket = kMaxPacket;
    ctx->blockSize = kBlockSize;
    ctx->lastInterval = static_cast<int32_t>(initialTimeoutMs);
    ctx->timeout = initialTimeoutMs;
    UpdateSelectTimeout(ctx);
    ctx->lastNetasciiByte = -1;
    ctx->aheadPos = 0;
    ctx->aheadLen = 0;
    ctx->recvData = nullptr;
    ctx->recvCapacity = kMaxPacket;
    ctx->sendData = nullptr;
    ctx->sendCapacity = kMaxPacket;
    ctx->blockRollover = false;
    ctx->wrapped = false;
}

void UseLargeFileBuffer(TransferContext* ctx) {
    if (ctx->file == nullptr || ctx->fileBuffer) return;
    // Without a buffer of its own the stream keeps its default one.
    ctx->fileBuffer.reset(new (std::nothrow) char[kFileBufferSize]);
    if (ctx->fileBuffer) std::setvbuf(ctx->file, ctx->fileBuffer.get(), _IOFBF, kFileBufferSize);
}

kvp::socket_t CreateConversationSocket(const kvp::SockAddr4& client, const CoreReporter* r) {
    kvp::Socket s(kvp::UdpSocket());
    if (!s.valid()) {
        Report(r, &CoreReporter::socket_error,
               "CreateConversationSocket: Failed to create a socket");
        return kvp::kInvalidSocket;
    }
    // Port 0: the system picks a free port, the server's end of this conversation.
    kvp::SockAddr4 local;
    local.addr = kvp::HostToNet32(kvp::kInaddrAny);
    local.port = 0;
    if (kvp::Bind(s.get(), local) != 0) {
        Report(r, &CoreReporter::socket_error,
               "CreateConversationSocket: Failed to bind the socket");
        return kvp::kInvalidSocket;
    }
    // Connected, the socket hears only this client: strangers' datagrams are dropped by
    // the system before the transfer could see them.
    if (kvp::Connect(s.get(), client) != 0) {
        Report(r, &CoreReporter::socket_error,
               "CreateConversationSocket: Could not connect the socket");
        return kvp::kInvalidSocket;
    }
    return s.release();
}

namespace {

// False, with the report a failed send deserves, when SendWithin's result says it failed.
bool SendWentOut(const CoreReporter* r, int sent) {
    if (sent == kvp::kTimedOut) return false;
    if (sent == kvp::kWaitFailed) {
        Report(r, &CoreReporter::socket_error, "SendPacketToPeer: Select() error");
        return false;
    }
    if (sent < 0) {
        Report(r, &CoreReporter::socket_error, "SendPacketToPeer: send() error");
        return false;
    }
    return true;
}

}  // namespace

bool SendPacketToPeer(TransferContext* ctx) {
    const CoreReporter* r = ctx->reporter;
    // Never send beyond the buffer, whatever length a caller left.
    if (ctx->sendLen < 0 || ctx->sendLen > SendCapacity(ctx)) return false;
    // One call: a socket with room sends at once; only a full one waits for room.
    const int sent =
        kvp::SendWithin(ctx->socket, SendBuffer(ctx), ctx->sendLen, ctx->waitSec, ctx->waitUsec);
    if (!SendWentOut(r, sent)) return false;
    if (sent < ctx->sendLen) {
        Report(r, &CoreReporter::socket_error,
               "SendPacketToPeer: Failed to send whole data packet");
        return false;
    }
    ctx->sendLen = sent;
    return true;
}

int SendPacketRunToPeer(TransferContext* ctx, const uint8_t* first, int32_t stride, int32_t count,
                        int32_t lastLen) {
    const int sent =
        kvp::SendRunWithin(ctx->socket, first, stride, count, lastLen, ctx->waitSec, ctx->waitUsec);
    return SendWentOut(ctx->reporter, sent) ? sent : 0;
}

namespace {

// How often a receive that may be told to end looks at its flag; where the owner can also
// wake the wait (by shutting the socket down) it ends sooner.
constexpr int64_t kCancelStepUs = 1000 * 1000;

bool Cancelled(const TransferContext* ctx) {
    return ctx->cancel != nullptr && ctx->cancel->load(std::memory_order_acquire);
}

// The wait of RecvPacketFromPeer in steps of kCancelStepUs while a flag may end it.
int RecvWatchingCancel(TransferContext* ctx, int room) {
    int64_t left = static_cast<int64_t>(ctx->waitSec) * 1000000 + ctx->waitUsec;
    for (;;) {
        const int64_t step = std::min(left, kCancelStepUs);
        const int got =
            kvp::RecvWithin(ctx->socket, RecvBuffer(ctx), room, static_cast<long>(step / 1000000),
                            static_cast<long>(step % 1000000));
        left -= step;
        if (got != kvp::kTimedOut || left <= 0 || Cancelled(ctx)) return got;
    }
}

}  // namespace

bool RecvPacketFromPeer(TransferContext* ctx) {
    const CoreReporter* r = ctx->reporter;
    // The room offered can never exceed the buffer itself.
    const int room = std::clamp<int32_t>(ctx->recvLen, 0, RecvCapacity(ctx));
    // One call: the wait and the receive together.
    const int got = ctx->cancel == nullptr ? kvp::RecvWithin(ctx->socket, RecvBuffer(ctx), room,
                                                             ctx->waitSec, ctx->waitUsec)
                                           : RecvWatchingCancel(ctx, room);
    if (Cancelled(ctx)) {
        // Told to end: whatever the wait brought (a shut socket's end) is no failure.
        ctx->recvLen = 0;
        return false;
    }
    if (got == kvp::kTimedOut) {
        ctx->recvLen = 0;
        return true;
    }
    if (got == kvp::kWaitFailed) {
        Report(r, &CoreReporter::socket_error, "RecvPacketFromPeer: Select() error");
        ctx->recvLen = 0;
        return false;
    }
    // An oversized datagram fails here (it is consumed, never silently cut).
    if (got < 0) {
        Report(r, &CoreReporter::socket_error, "RecvPacketFromPeer: recv() error");
        ctx->recvLen = 0;
        return false;
    }
    if (got > ctx->maxPacket) {
        Report(r, &CoreReporter::large_packet,
               "RecvPacketFromPeer: Unexpectedly large packet received. Aborting.");
        ctx->recvLen = 0;
        return false;
    }
    // 0 bytes reads exactly like a time-out to the caller.
    ctx->recvLen = got;
    return true;
}

void UpdateSelectTimeout(TransferContext* ctx) {
    // The divisor is 1024, not 1000: the wait is slightly shorter than the time-out in
    // seconds, and the microseconds may reach 1,023,000.
    ctx->waitSec = static_cast<int32_t>(ctx->timeout >> 10);
    ctx->waitUsec = static_cast<int32_t>((ctx->timeout & 1023u) * 1000u);
}

void SetTimeoutFromInterval(TransferContext* ctx, uint32_t startTick, uint32_t endTick) {
    // Unsigned subtraction measures correctly across the tick counter's wrap.
    const uint32_t interval = endTick - startTick;
    ctx->lastInterval = static_cast<int32_t>(interval);
    ctx->timeout = interval != 0 ? interval : 1;
    UpdateSelectTimeout(ctx);
}

void AdaptTimeout(TransferContext* ctx, uint32_t startTick, uint32_t endTick,
                  uint32_t initialTimeoutMs) {
    SetTimeoutFromInterval(ctx, startTick, endTick);
    const uint32_t floor =
        initialTimeoutMs < kMinAdaptiveTimeoutMs ? initialTimeoutMs : kMinAdaptiveTimeoutMs;
    if (ctx->timeout < floor) {
        ctx->timeout = floor;
        UpdateSelectTimeout(ctx);
    }
}

uint32_t ConvertedWaitMs(uint32_t ms) {
    return (ms >> 10) * 1000u + (ms & 1023u);
}

void StartRetryWatch(RetryWatch* w, int32_t limit, uint32_t initialTimeoutMs, uint32_t now) {
    w->limit = limit;
    // 64 bits and a cap: a long time-out times a large limit must not wrap round to a
    // short horizon, and a horizon beyond half the tick counter's range could never be
    // measured.
    const uint64_t waits = limit < 0 ? 1u : static_cast<uint64_t>(limit) + 1u;
    const uint64_t horizon = waits * ConvertedWaitMs(initialTimeoutMs);
    w->horizonMs = static_cast<uint32_t>(std::min<uint64_t>(horizon, 0x7FFFFFFFu));
    NoteProgress(w, now);
}

void NoteProgress(RetryWatch* w, uint32_t now) {
    w->lastProgressTick = now;
    w->misses = 0;
}

bool NoteMiss(RetryWatch* w, uint32_t now) {
    const bool exhausted = w->misses > w->limit;
    if (w->misses < 0x7FFFFFFF) ++w->misses;
    return exhausted && now - w->lastProgressTick >= w->horizonMs;
}

void BackOffTimeout(TransferContext* ctx, uint32_t initialTimeoutMs) {
    if (ctx->timeout >= initialTimeoutMs) return;
    const uint64_t doubled = ctx->timeout > 0 ? 2ull * ctx->timeout : 1u;
    ctx->timeout = static_cast<uint32_t>(
        std::min<uint64_t>({doubled, 2ull * initialTimeoutMs, 0xFFFFFFFFull}));
    UpdateSelectTimeout(ctx);
}

void StartFirstReplyWatch(FirstReplyWatch* w, int32_t retransmits, uint32_t initialTimeoutMs) {
    w->baseMs = std::min(initialTimeoutMs, kUnansweredBaseMs);
    if (w->baseMs == 0) w->baseMs = 1;
    // As RetryWatch counts: a limit of n allows n + 1 retransmissions after the first send.
    const int64_t sends = static_cast<int64_t>(retransmits) + 2;
    w->sendLimit = static_cast<int32_t>(std::clamp<int64_t>(sends, 1, kMaxUnansweredSends));
    w->sends = 0;
}

uint32_t NoteFirstSend(FirstReplyWatch* w) {
    if (w->sends < w->sendLimit) ++w->sends;
    if (w->sends >= w->sendLimit) return w->baseMs;
    return w->baseMs << (w->sends - 1);
}

bool FirstReplyExhausted(const FirstReplyWatch& w) {
    return w.sends >= w.sendLimit;
}
