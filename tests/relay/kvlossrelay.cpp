// The lossy link as a program, for bench/loss: relays 127.0.0.1:LISTEN to
// 127.0.0.1:SERVER, dropping, duplicating and delaying datagrams at RATE, until SIGTERM
// or SIGINT; then prints what it did.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "lossy_relay.h"

namespace {
std::atomic<bool> g_stop{false};
extern "C" void OnSignal(int) {
    g_stop.store(true);
}
}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: kvlossrelay LISTEN_PORT SERVER_PORT RATE [SEED]\n");
        return 2;
    }
    const auto listen = static_cast<uint16_t>(std::atoi(argv[1]));
    const auto server = static_cast<uint16_t>(std::atoi(argv[2]));
    const double rate = std::atof(argv[3]);
    const auto seed = static_cast<uint32_t>(argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    kvtest::LossyRelay relay(listen, server, rate, seed);
    if (!relay.ok()) {
        std::fprintf(stderr, "kvlossrelay: cannot listen on 127.0.0.1:%u\n", listen);
        return 1;
    }
    std::printf("relaying 127.0.0.1:%u to 127.0.0.1:%u at rate %.3f\n", relay.port(), server, rate);
    std::fflush(stdout);
    while (!g_stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const kvtest::LossyRelay::Counts c = relay.counts();
    std::printf(
        "datagrams %llu dropped %llu duplicated %llu delayed %llu\n",
        static_cast<unsigned long long>(c.datagrams), static_cast<unsigned long long>(c.dropped),
        static_cast<unsigned long long>(c.duplicated), static_cast<unsigned long long>(c.delayed));
    return 0;
}
