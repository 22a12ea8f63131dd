// The TFTP protocol core shared by the server engine and the client engine: packets
// and error texts, the per-transfer record and its timed packet I/O, and the block
// readers and writer.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "kv/net.h"

constexpr uint16_t kOpRrq = 1;
constexpr uint16_t kOpWrq = 2;
constexpr uint16_t kOpData = 3;
constexpr uint16_t kOpAck = 4;
constexpr uint16_t kOpError = 5;
constexpr uint16_t kOpOack = 6;

constexpr int kMaxPacket = 516;
constexpr unsigned kBlockSize = 512;
// The stream buffer of a transfer's file: the file is read or written in steps of this
// size, one system call per 128 blocks.
constexpr size_t kFileBufferSize = 64 * 1024;
// The block sizes a client may negotiate; a datagram of the largest still fits the
// 65507 bytes an IPv4 UDP datagram can carry.
constexpr uint32_t kMinBlockSize = 8;
constexpr uint32_t kMaxBlockSize = 65464;

// How failures inside the core reach the user; the server and the client each fill one.
// Each member takes the reporter itself (for its context) and the core's message (such
// as "SendPacketToPeer: send() error"), and completes it with the error text itself.
struct CoreReporter {
    using Fn = void (*)(const CoreReporter& self, const char* msg);
    Fn socket_error = nullptr;      // with the socket layer's last error
    Fn system_error = nullptr;      // with the system's last error
    Fn large_packet = nullptr;      // "RecvPacketFromPeer: Unexpectedly large ..."
    const void* context = nullptr;  // the owner's, for its members
};

struct TransferContext {
    kvp::socket_t socket = kvp::kInvalidSocket;
    std::FILE* file = nullptr;
    std::string fileName;
    std::string mode;
    uint16_t block = 0;
    uint8_t recvBuf[kMaxPacket] = {};
    int32_t recvLen = 0;
    uint8_t sendBuf[kMaxPacket] = {};
    int32_t sendLen = 0;
    int32_t maxPacket = kMaxPacket;
    uint32_t blockSize = kBlockSize;
    int32_t lastInterval = 0;
    uint32_t timeout = 0;
    int32_t waitSec = 0;
    int32_t waitUsec = 0;
    // The last byte the netascii reader put into a payload; -1 before the first.
    int lastNetasciiByte = -1;
    // Bytes the netascii reader has read from the file and not yet sent: those from
    // aheadPos to aheadLen.
    uint8_t netasciiAhead[kBlockSize] = {};
    uint16_t aheadPos = 0;
    uint16_t aheadLen = 0;
    const CoreReporter* reporter = nullptr;
    // Set by the owner while the transfer may be told to end from another thread: a
    // receive then waits in short steps and, once the flag is up, returns false without a
    // report.
    const std::atomic<bool>* cancel = nullptr;
    // A transfer with a negotiated block size keeps its packets outside the record: a
    // set pointer holds the given capacity (at least kMaxPacket), and the core's packet
    // I/O, parsers and block readers use it instead of the inline buffer.
    uint8_t* recvData = nullptr;
    int32_t recvCapacity = kMaxPacket;
    uint8_t* sendData = nullptr;
    int32_t sendCapacity = kMaxPacket;
    // Set for a negotiated transfer: a receiver takes block 0 after 65535 (wrapped then
    // records that it did), and reports a block ahead of the expected one as kAhead.
    bool blockRollover = false;
    bool wrapped = false;
    // The file's stream buffer (kFileBufferSize bytes): the file must be closed before
    // the record goes away.
    std::unique_ptr<char[]> fileBuffer;
};

// Sets the record up for a new transfer with the given initial time-out.
void InitTransferContext(TransferContext* ctx, uint32_t initialTimeoutMs);
// The buffers the core uses for the transfer, and their room.
inline uint8_t* RecvBuffer(TransferContext* ctx) {
    return ctx->recvData != nullptr ? ctx->recvData : ctx->recvBuf;
}
inline uint8_t* SendBuffer(TransferContext* ctx) {
    return ctx->sendData != nullptr ? ctx->sendData : ctx->sendBuf;
}
inline int32_t RecvCapacity(const TransferContext* ctx) {
    return ctx->recvData != nullptr ? ctx->recvCapacity : kMaxPacket;
}
inline int32_t SendCapacity(const TransferContext* ctx) {
    return ctx->sendData != nullptr ? ctx->sendCapacity : kMaxPacket;
}
// Gives the transfer's file, opened and not yet read or written, a stream buffer of
// kFileBufferSize bytes owned by the record.
void UseLargeFileBuffer(TransferContext* ctx);

// ---- packets and error texts ----
std::string GetTFTPErrorText(uint16_t code);
uint16_t GetPacketOpcode(const uint8_t* buf, int len);
uint16_t GetPacketBlock(const uint8_t* buf, int len);
bool ExtractFilenameAndMode(TransferContext* ctx);
// The text runs from offset 4 to the first 0 byte or the end of the packet. The code is
// set only from packets longer than 4 bytes; callers preset it (to 0).
bool ExtractErrorInfo(TransferContext* ctx, uint16_t* code, std::string* text);
bool ExtractAckBlock(TransferContext* ctx, uint16_t* block);
bool ExtractDataBlock(TransferContext* ctx, const uint8_t** data, int* count);
bool SendAckToPeer(TransferContext* ctx);
bool SendDataToPeer(TransferContext* ctx);
bool SendErrorToPeer(TransferContext* ctx, uint16_t code, const char* text);
// Builds an ERROR packet into buf (kMaxPacket bytes); an empty text takes the table
// text; a text too long for one packet is cut. Returns the packet length.
int BuildErrorPacket(uint8_t* buf, uint16_t code, const char* text);
// The log line for an ERROR packet received during a transfer: fmt takes the file name,
// the code and the code's table text; " Details: " and the peer's text follow when the
// packet has one. Cut to fit the buffer.
void FormatReceivedError(char* buf, size_t size, const char* fmt, const std::string& file,
                         uint16_t code, const std::string& details);

// ---- option negotiation ----
// The options the server understands, in the order an OACK carries them.
enum TftpOption { kOptBlksize, kOptTsize, kOptTimeout, kOptWindowsize, kOptionCount };
struct TftpOptions {
    bool present[kOptionCount] = {};
    uint64_t value[kOptionCount] = {};
    std::string name[kOptionCount];  // as the client spelt it
    bool any() const;
};
// Reads the name/value pairs after the mode of the request in buf (len bytes, never
// read beyond): names without regard to case, unknown ones skipped. False when the area
// is malformed: a pair without its 0 bytes, an empty name, a name given twice, or a
// known option whose value is not a decimal number (values beyond 2^40 read as 2^40).
// Nothing after the mode, or only 0 bytes, is an empty, well formed area; a malformed
// one leaves out empty.
bool ParseRequestOptions(const uint8_t* buf, int len, TftpOptions* out);
// Builds an OACK carrying the present options into buf (cap bytes); its length, or 0
// when it does not fit.
int BuildOackPacket(uint8_t* buf, int cap, const TftpOptions& granted);

// ---- conversation I/O ----
// Server form: bound to a fresh port and connected to the client.
kvp::socket_t CreateConversationSocket(const kvp::SockAddr4& client, const CoreReporter* r);
bool SendPacketToPeer(TransferContext* ctx);
// Sends `count` packets laid out back to back from `first`: each `stride` bytes, the last
// `lastLen`. Where the system can, they go down together, far cheaper than one by one.
// Returns how many went out: fewer when the socket filled up or a send failed.
int SendPacketRunToPeer(TransferContext* ctx, const uint8_t* first, int32_t stride, int32_t count,
                        int32_t lastLen);
bool RecvPacketFromPeer(TransferContext* ctx);
void UpdateSelectTimeout(TransferContext* ctx);
void SetTimeoutFromInterval(TransferContext* ctx, uint32_t startTick, uint32_t endTick);

// The time-out a transfer loop uses after measuring an interval: the interval itself,
// but never below min(kMinAdaptiveTimeoutMs, the initial time-out). On a fast link the
// measured interval is often below the tick counter's resolution, and waiting only 1 ms
// for a live peer fails transfers on a loaded machine.
constexpr uint32_t kMinAdaptiveTimeoutMs = 200;
void AdaptTimeout(TransferContext* ctx, uint32_t startTick, uint32_t endTick,
                  uint32_t initialTimeoutMs);

// When a waiting side re-sends and when it gives up. Every wait that ends without
// progress (a time-out, or a packet that moves nothing: a duplicate, an old ACK, a short
// or unknown packet) is a miss; progress (the block in flight acknowledged, the expected
// block accepted, the first reply) clears them. A transfer gives up at a miss once more
// than `limit` misses have come in a row and no progress has been made for the horizon:
// limit + 1 waits of the initial time-out (at least one). While the waits last at least
// the initial time-out this is the plain count of time-outs; when the adaptive interval has
// shortened them, a peer that retransmits only every few seconds is still waited for,
// and a peer that keeps sending packets that move nothing is given up all the same.
struct RetryWatch {
    int32_t limit = 0;
    uint32_t horizonMs = 0;
    uint32_t lastProgressTick = 0;
    int32_t misses = 0;
};
// The wait a time-out of ms milliseconds gives (seconds of 1024 ms), in milliseconds.
uint32_t ConvertedWaitMs(uint32_t ms);
void StartRetryWatch(RetryWatch* w, int32_t limit, uint32_t initialTimeoutMs, uint32_t now);
void NoteProgress(RetryWatch* w, uint32_t now);
// One miss; true when the transfer gives up.
bool NoteMiss(RetryWatch* w, uint32_t now);
// After a time-out a wait shorter than the initial time-out doubles (so the last step
// may reach up to twice the initial time-out); a longer one stays. A lossy or slow link
// is not flooded with retransmissions, and a peer that ignores repeats and re-sends only
// when its own timer runs out (every few seconds) gets a pause long enough for that
// timer to run out. The adaptive interval sets the pace again with the next answer.
void BackOffTimeout(TransferContext* ctx, uint32_t initialTimeoutMs);

// Before the peer's first answer (DATA 1 of a download, ACK 0 of an upload) a transfer
// may be a forged request's, or its peer gone: the first packet then goes out at most
// kMaxUnansweredSends times (fewer when the retry limit allows fewer), the waits between
// the sends doubling from min(initial time-out, kUnansweredBaseMs), and after the last
// send one base wait for its answer. With a time-out of a second or more: sends at 0, 1,
// 3, 7, 15 and 31 s, given up at 32 s. Once the peer has answered, RetryWatch alone rules.
constexpr int32_t kMaxUnansweredSends = 6;
constexpr uint32_t kUnansweredBaseMs = 1000;
struct FirstReplyWatch {
    uint32_t baseMs = 0;
    int32_t sendLimit = 0;
    int32_t sends = 0;  // sends of the first packet so far
};
void StartFirstReplyWatch(FirstReplyWatch* w, int32_t retransmits, uint32_t initialTimeoutMs);
// Counts one send of the first packet; returns the wait for an answer to it, in ms.
uint32_t NoteFirstSend(FirstReplyWatch* w);
// True when the wait after the latest send was the last one.
bool FirstReplyExhausted(const FirstReplyWatch& w);

// Readers fill the send buffer from offset 4 and set the send length; they return false
// when the file could not be read (a read error is never taken for the end of the file).
using BlockReader = bool (*)(TransferContext* ctx);

// ---- steps that the transfer loops of server and client share ----
// "netascii" in any letter case: the mode whose files are sent with line ends converted.
bool IsNetasciiMode(const std::string& mode);
// The reader for a transfer in this mode: netascii, or octet for every other mode.
BlockReader ReaderForMode(const std::string& mode);

// Builds a read or write request (opcode, name, 0, mode, 0) into buf (kMaxPacket bytes).
// Returns its length, or 0 when name and mode do not fit one packet.
int BuildRequestPacket(uint8_t* buf, uint16_t opcode, const std::string& name,
                       const std::string& mode);

// Moves a sender on to its next block: the block number advances (block 0 follows
// 65535) and the reader fills the send buffer. False when the file could not be read.
bool ReadNextBlock(TransferContext* ctx, BlockReader reader);

// What an ACK received by a sender means for the block in flight.
enum class AckVerdict {
    kIgnore,     // too short, or for another block: wait on without sending
    kNextBlock,  // the block in flight was full: the next one is in the send buffer
    kComplete,   // the last (short) block is acknowledged: the transfer is complete
    kReadFailed  // the next block could not be read from the file
};
AckVerdict AdvanceOnAck(TransferContext* ctx, BlockReader reader);

// What a receiver does with a DATA packet, expecting the block after the last one it
// accepted (ctx->block). Block numbers compare as plain integers: no block is accepted
// after 65535, unless the transfer has blockRollover.
enum class DataVerdict {
    kStored,  // the expected block, a full one, written: acknowledge it
    kLast,    // the expected block, a short one, written and flushed: acknowledge it and
              // the file is complete
    kRepeat,  // the block accepted last, again: its ACK was lost, acknowledge it again
    kOld,     // an older block: nothing is written or sent
    kFailed,  // the transfer ends: the text (also sent in an ERROR packet) says why, a
              // failed write (code 3) or a block ahead of the expected one (code 4)
    kAhead    // (block rollover only) a block ahead of the expected one: those between
              // were lost, the last block accepted is acknowledged again
};
// Judges and stores the DATA packet in the receive buffer; text (size bytes) receives
// the line to log for kFailed. The last block is flushed before it is acknowledged, so
// that a write error the stream's buffer would only show on closing is never taken for
// a stored file.
DataVerdict AcceptDataBlock(TransferContext* ctx, char* text, size_t size);
// Acknowledges the block just stored; when the ACK went out, the time-out follows the
// time from the DATA packet's receipt to now. Returns whether it went out.
bool AcknowledgeDataBlock(TransferContext* ctx, uint32_t receiptTick, uint32_t initialTimeoutMs);

// ---- block readers and writer ----
bool ReadNetasciiBlock(TransferContext* ctx);
bool ReadOctetBlock(TransferContext* ctx);
bool WriteDataBlock(TransferContext* ctx);
