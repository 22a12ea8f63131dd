// The register of unanswered transfers: who is waiting for a first answer, from where,
// and who is oldest.
#include "unanswered.h"

#include <list>
#include <mutex>

#include "kv/net.h"
#include "kv/time.h"
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

    // Ends a listed transfer. Called with the lock held.
    static void Displace(std::list<UnansweredTransfer*>* listed,
                         std::list<UnansweredTransfer*>::iterator it) {
        UnansweredTransfer* t = *it;
        t->cancel_.store(true, std::memory_order_release);
        // Wakes its wait at once where the platform allows it; the owner closes the
        // socket only after it has left the register, which needs this lock.
        kvp::ShutdownSocket(t->socket_);
        t->listed_ = false;
        listed->erase(it);
    }

    // A new request takes the place of a transfer whose client has let its first wait
    // pass: the oldest such one of the address when the address has used up its share,
    // else the oldest such one of all at the bound in all. Only when none has let a wait
    // pass does the bound in all end the oldest transfer outright: clients that started
    // together (a rack booting at once, a script fetching in parallel) all answer within
    // a round trip, and are not each other's flood.
    void Enter(UnansweredTransfer* t) {
        std::lock_guard<std::mutex> lock(mu);
        const uint32_t now = kvp::GetTickCount();
        // The address's overdue ones; those past its share are ended below, oldest first.
        int overdueFromAddress = 0;
        for (const UnansweredTransfer* other : listed) {
            overdueFromAddress += other->addr_ == t->addr_ && other->Overdue(now);
        }
        auto oldestOverdue = listed.end();
        for (auto it = listed.begin(); it != listed.end();) {
            const bool overdue = (*it)->Overdue(now);
            if (overdue && (*it)->addr_ == t->addr_ &&
                overdueFromAddress >= kMaxUnansweredPerAddress) {
                --overdueFromAddress;
                Displace(&listed, it++);
                continue;
            }
            if (overdue && oldestOverdue == listed.end()) oldestOverdue = it;
            ++it;
        }
        if (static_cast<int>(listed.size()) >= kMaxUnanswered) {
            Displace(&listed, oldestOverdue != listed.end() ? oldestOverdue : listed.begin());
        }
        t->enteredTick_ = now;
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
