// The register of unanswered transfers: who is waiting for a first answer, from where,
// and who is oldest.
#include "unanswered.h"

#include <list>
#include <mutex>

#include "kv/net.h"
#include "report.h"

struct UnansweredRegister {
    std::mutex mu;
    // Oldest first.
    std::list<UnansweredTransfer*> listed;

    // Never destroyed: request threads may outlive everything else.
    static UnansweredRegister& Get() {
        static UnansweredRegister* r = new UnansweredRegister;
        return *r;
    }

    // Ends the oldest transfer of the address, or of all when addr is null. Called with
    // the lock held.
    void DisplaceOldest(const uint32_t* addr) {
        for (auto it = listed.begin(); it != listed.end(); ++it) {
            UnansweredTransfer* t = *it;
            if (addr != nullptr && t->addr_ != *addr) continue;
            t->cancel_.store(true, std::memory_order_release);
            // Wakes its wait at once where the platform allows it; the owner closes the
            // socket only after it has left the register, which needs this lock.
            kvp::ShutdownSocket(t->socket_);
            t->listed_ = false;
            listed.erase(it);
            return;
        }
    }

    void Enter(UnansweredTransfer* t) {
        std::lock_guard<std::mutex> lock(mu);
        int fromAddress = 0;
        for (const UnansweredTransfer* other : listed) fromAddress += other->addr_ == t->addr_;
        if (fromAddress >= kMaxUnansweredPerAddress) {
            DisplaceOldest(&t->addr_);
        } else if (static_cast<int>(listed.size()) >= kMaxUnanswered) {
            DisplaceOldest(nullptr);
        }
        listed.push_back(t);
        t->listed_ = true;
    }

    void Leave(UnansweredTransfer* t) {
        std::lock_guard<std::mutex> lock(mu);
        if (!t->listed_) return;
        listed.remove(t);
        t->listed_ = false;
    }
};

UnansweredTransfer::UnansweredTransfer(const ClientInfo& client, TransferContext* ctx)
    : ctx_(ctx), addr_(client.address.addr), socket_(ctx->socket) {
    StartFirstReplyWatch(&watch_, client.settings().retransmits, ctx->timeout);
    ctx_->cancel = &cancel_;
    UnansweredRegister::Get().Enter(this);
}

UnansweredTransfer::~UnansweredTransfer() {
    Leave();
    // The context outlives this object.
    ctx_->cancel = nullptr;
}

void UnansweredTransfer::Leave() {
    UnansweredRegister::Get().Leave(this);
    // A displaced transfer keeps watching: its socket is shut, and its next wait ends it.
    if (!displaced()) ctx_->cancel = nullptr;
}

bool UnansweredTransfer::Answered() {
    if (!answered_) {
        answered_ = true;
        Leave();
    }
    return !displaced();
}

void UnansweredTransfer::NoteSend() {
    if (answered_) return;
    ctx_->timeout = NoteFirstSend(&watch_);
    UpdateSelectTimeout(ctx_);
}

void UnansweredTransfer::LogDisplaced(const ClientInfo& client, const char* who) const {
    if (!displaced()) return;
    LogServerEventF(*client.listener,
                    "%s: %s did not answer for %s; a newer request took its place.", who,
                    client.addressText.c_str(), ctx_->fileName.c_str());
}

bool IsAnswer(uint16_t opcode) {
    return opcode >= kOpRrq && opcode <= kOpError;
}
