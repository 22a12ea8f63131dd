// The transfers whose client has not answered their first packet yet. Such a transfer
// is cheap to drop and may come from a forged or vanished sender: those whose first wait
// has passed are bounded per source address, all of them in all, and at a bound a new
// request takes the place of an old one instead of being refused.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine.h"
#include "tftp_core.h"

// Unanswered transfers past their first wait allowed at once from one source address,
// and unanswered transfers allowed from all addresses (well below the bound on request
// threads, so that forged requests alone never keep answered transfers out).
constexpr int kMaxUnansweredPerAddress = 8;
constexpr int kMaxUnanswered = 128;

// One transfer's place among the unanswered ones, from its conversation's start until its
// client answers or the transfer ends; it paces the sends of the first packet meanwhile.
// The transfer must leave (Answered, or the destructor) before its socket is closed.
class UnansweredTransfer {
  public:
    // Takes a place for the client's address (ending the oldest transfer at a bound) and
    // makes the context's receives watch for the end of this one.
    UnansweredTransfer(const ClientInfo& client, TransferContext* ctx);
    ~UnansweredTransfer();
    UnansweredTransfer(const UnansweredTransfer&) = delete;
    UnansweredTransfer& operator=(const UnansweredTransfer&) = delete;

    // The client answered: the place is given up, and the usual retry rules hold. False
    // when a newer request has taken the place meanwhile: the transfer ends.
    bool Answered();
    bool answered() const { return answered_; }
    // Whether a newer request took this transfer's place.
    bool displaced() const { return cancel_.load(std::memory_order_acquire); }
    // After a send (or a failed send) of the first packet: sets the wait for its answer.
    void NoteSend();
    // True when the wait after the latest send was the last one.
    bool Exhausted() const { return !answered_ && FirstReplyExhausted(watch_); }
    // Leaves the register; before the transfer closes its socket.
    void Leave();
    // Logs, for a displaced transfer, that it gave up its place (who names the serving
    // function).
    void LogDisplaced(const ClientInfo& client, const char* who) const;

  private:
    friend struct UnansweredRegister;

    // Whether the first wait has passed without an answer (read under the register's lock).
    bool Overdue(uint32_t now) const { return now - enteredTick_ >= watch_.baseMs; }

    TransferContext* ctx_;
    uint32_t addr_;
    kvp::socket_t socket_;
    FirstReplyWatch watch_;  // its baseMs is set before the transfer is listed
    std::atomic<bool> cancel_{false};
    uint32_t enteredTick_ = 0;  // guarded by the register's lock
    bool listed_ = false;       // guarded by the register's lock
    bool answered_ = false;
};

// Whether a packet received on a conversation is an answer: any TFTP opcode.
bool IsAnswer(uint16_t opcode);
