#include "lossy_relay.h"

#include <algorithm>

#include "kv/time.h"

namespace kvtest {

namespace {

// Room for any datagram a test may send (the relay passes oversized ones on too).
constexpr int kRoom = 2048;
// How often a reader looks whether the relay is being stopped.
constexpr long kReadStepUs = 50 * 1000;

uint64_t Key(const kvp::SockAddr4& a) {
    return (static_cast<uint64_t>(a.addr) << 16) | a.port;
}

kvp::SockAddr4 Loopback(uint16_t portHost) {
    kvp::SockAddr4 a;
    a.addr = kvp::HostToNet32(0x7F000001);
    a.port = kvp::HostToNet16(portHost);
    return a;
}

}  // namespace

struct LossyRelay::Endpoint {
    kvp::Socket sock;
    std::thread reader;
    void (LossyRelay::*handler)(Endpoint*, const kvp::SockAddr4&, const std::string&) = nullptr;
    Session* session = nullptr;
    kvp::SockAddr4 serverPeer;  // for a transfer's endpoint: the server's port it stands for
};

struct LossyRelay::Session {
    kvp::SockAddr4 client;
    Endpoint* up = nullptr;                   // talks to the server
    std::map<uint16_t, Endpoint*> transfers;  // per server port: talks to the client
};

LossyRelay::LossyRelay(uint16_t listenPort, uint16_t serverPort, double rate, uint32_t seed,
                       int maxDelayMs)
    : server_(Loopback(serverPort)), rate_(rate), maxDelayMs_(std::max(1, maxDelayMs)), rng_(seed) {
    std::lock_guard<std::mutex> lock(mu_);
    Endpoint* main = NewEndpoint(listenPort, &LossyRelay::FromClient);
    if (main == nullptr) return;
    kvp::SockAddr4 local;
    if (kvp::GetSockName(main->sock.get(), &local) != 0) return;
    port_ = kvp::NetToHost16(local.port);
    delayThread_ = std::thread([this] { RunDelays(); });
    ok_ = true;
}

LossyRelay::~LossyRelay() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
        stopping_.store(true);
    }
    delaysChanged_.notify_all();
    if (delayThread_.joinable()) delayThread_.join();
    // No endpoint is added once stop_ is set.
    for (auto& e : endpoints_) {
        if (e->reader.joinable()) e->reader.join();
    }
}

LossyRelay::Counts LossyRelay::counts() const {
    std::lock_guard<std::mutex> lock(mu_);
    return counts_;
}

LossyRelay::Endpoint* LossyRelay::NewEndpoint(uint16_t port,
                                              void (LossyRelay::*handler)(Endpoint*,
                                                                          const kvp::SockAddr4&,
                                                                          const std::string&)) {
    if (stop_) return nullptr;
    auto e = std::make_unique<Endpoint>();
    e->sock.reset(kvp::UdpSocket());
    if (!e->sock.valid() || kvp::Bind(e->sock.get(), Loopback(port)) != 0) return nullptr;
    e->handler = handler;
    Endpoint* raw = e.get();
    endpoints_.push_back(std::move(e));
    raw->reader = std::thread([this, raw] { Read(raw); });
    return raw;
}

void LossyRelay::Read(Endpoint* e) {
    char buf[kRoom];
    kvp::SockAddr4 from;
    while (!stopping_.load()) {
        const int n = kvp::RecvFromWithin(e->sock.get(), buf, kRoom, &from, 0, kReadStepUs);
        if (n < 0) continue;
        std::lock_guard<std::mutex> lock(mu_);
        ++counts_.datagrams;
        (this->*(e->handler))(e, from, std::string(buf, static_cast<size_t>(n)));
    }
}

void LossyRelay::FromClient(Endpoint*, const kvp::SockAddr4& from, const std::string& data) {
    std::unique_ptr<Session>& s = sessions_[Key(from)];
    if (!s) {
        s = std::make_unique<Session>();
        s->client = from;
        s->up = NewEndpoint(0, &LossyRelay::FromServer);
        if (s->up == nullptr) return;
        s->up->session = s.get();
    }
    if (s->up != nullptr) Pass(s->up->sock.get(), server_, data);
}

void LossyRelay::FromServer(Endpoint* e, const kvp::SockAddr4& from, const std::string& data) {
    Session* s = e->session;
    Endpoint*& t = s->transfers[from.port];
    if (t == nullptr) {
        t = NewEndpoint(0, &LossyRelay::FromClientToTransfer);
        if (t == nullptr) return;
        t->session = s;
        t->serverPeer = from;
    }
    Pass(t->sock.get(), s->client, data);
}

void LossyRelay::FromClientToTransfer(Endpoint* e, const kvp::SockAddr4& from,
                                      const std::string& data) {
    Session* s = e->session;
    // Only the session's client is relayed, as a server's connected socket hears only it.
    if (from.addr != s->client.addr || from.port != s->client.port) return;
    Pass(s->up->sock.get(), e->serverPeer, data);
}

void LossyRelay::Pass(kvp::socket_t sock, const kvp::SockAddr4& to, const std::string& data) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> delay(1, maxDelayMs_);
    const bool negotiation =
        data.size() >= 2 && data[0] == 0 &&
        (data[1] == 6 || (data[1] == 4 && data.size() == 4 && data[2] == 0 && data[3] == 0));
    if (negotiation && spareNegotiation_.load()) {
        kvp::SendTo(sock, data.data(), static_cast<int>(data.size()), to);
        return;
    }
    if (chance(rng_) < rate_) {
        ++counts_.dropped;
        return;
    }
    bool now = true;
    if (chance(rng_) < rate_) {
        ++counts_.duplicated;
    } else if (chance(rng_) < rate_) {
        ++counts_.delayed;
        now = false;
    } else {
        kvp::SendTo(sock, data.data(), static_cast<int>(data.size()), to);
        return;
    }
    // A duplicate goes now and again later; a delayed datagram only later, so that those
    // sent after it may overtake it.
    if (now) kvp::SendTo(sock, data.data(), static_cast<int>(data.size()), to);
    delays_.push_back(
        Delayed{kvp::GetTickCount() + static_cast<uint32_t>(delay(rng_)), sock, to, data});
    delaysChanged_.notify_all();
}

void LossyRelay::RunDelays() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!stop_) {
        if (delays_.empty()) {
            delaysChanged_.wait(lock);
            continue;
        }
        const uint32_t now = kvp::GetTickCount();
        auto first = std::min_element(
            delays_.begin(), delays_.end(), [now](const Delayed& a, const Delayed& b) {
                return static_cast<int32_t>(a.due - now) < static_cast<int32_t>(b.due - now);
            });
        const int32_t left = static_cast<int32_t>(first->due - now);
        if (left > 0) {
            delaysChanged_.wait_for(lock, std::chrono::milliseconds(left));
            continue;
        }
        kvp::SendTo(first->sock, first->data.data(), static_cast<int>(first->data.size()),
                    first->to);
        delays_.erase(first);
    }
}

}  // namespace kvtest
