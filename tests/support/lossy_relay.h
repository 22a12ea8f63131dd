// A UDP relay on 127.0.0.1 that stands for a poor link between TFTP clients and a
// server: each datagram, in either direction, is dropped, duplicated or delayed (and so
// reordered) at a set rate. It follows the server's change of port: every port the
// server answers from gets a port of its own on the relay, from which the client hears
// the answers and to which it sends the rest of the transfer.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kv/net.h"

namespace kvtest {

class LossyRelay {
  public:
    struct Counts {
        uint64_t datagrams = 0;  // taken from either side
        uint64_t dropped = 0;
        uint64_t duplicated = 0;
        uint64_t delayed = 0;
    };

    // Listens on 127.0.0.1:listenPort (0: any free port) and relays to
    // 127.0.0.1:serverPort. rate (0 to 1) is the chance of each fault: a datagram is
    // dropped with that chance; one not dropped is duplicated with that chance; one not
    // duplicated is delayed by 1 to maxDelayMs milliseconds with that chance.
    LossyRelay(uint16_t listenPort, uint16_t serverPort, double rate, uint32_t seed,
               int maxDelayMs = 30);
    ~LossyRelay();
    LossyRelay(const LossyRelay&) = delete;
    LossyRelay& operator=(const LossyRelay&) = delete;

    bool ok() const { return ok_; }
    uint16_t port() const { return port_; }
    // From now on an OACK and an ACK of block 0 pass untouched: the link's faults then
    // fall on the windows of a negotiated transfer alone.
    void SpareNegotiation() { spareNegotiation_.store(true); }
    Counts counts() const;

  private:
    struct Endpoint;
    struct Session;
    struct Delayed {
        uint32_t due;
        kvp::socket_t sock;
        kvp::SockAddr4 to;
        std::string data;
    };

    Endpoint* NewEndpoint(uint16_t port,
                          void (LossyRelay::*handler)(Endpoint*, const kvp::SockAddr4&,
                                                      const std::string&));
    void Read(Endpoint* e);
    void FromClient(Endpoint* e, const kvp::SockAddr4& from, const std::string& data);
    void FromServer(Endpoint* e, const kvp::SockAddr4& from, const std::string& data);
    void FromClientToTransfer(Endpoint* e, const kvp::SockAddr4& from, const std::string& data);
    // Sends through the faults of the link.
    void Pass(kvp::socket_t sock, const kvp::SockAddr4& to, const std::string& data);
    void RunDelays();

    bool ok_ = false;
    uint16_t port_ = 0;
    kvp::SockAddr4 server_;
    double rate_;
    int maxDelayMs_;
    bool stop_ = false;  // under mu_: no endpoint is added once set
    std::atomic<bool> stopping_{false};
    std::atomic<bool> spareNegotiation_{false};

    mutable std::mutex mu_;
    std::condition_variable delaysChanged_;
    std::mt19937 rng_;
    Counts counts_;
    std::vector<std::unique_ptr<Endpoint>> endpoints_;
    // Per client (address and port): its session.
    std::map<uint64_t, std::unique_ptr<Session>> sessions_;
    std::vector<Delayed> delays_;
    std::thread delayThread_;
};

}  // namespace kvtest
