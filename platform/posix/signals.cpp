#include "kv/signals.h"

#include <signal.h>

#include <cerrno>

namespace kvp {

namespace {

sigset_t TerminationSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

bool BlockTerminationSignals() {
    // A signal that is ignored is discarded before sigwait can see it, and a program
    // started in the background by a shell inherits SIGINT ignored.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    if (sigaction(SIGINT, &dfl, nullptr) != 0 || sigaction(SIGTERM, &dfl, nullptr) != 0)
        return false;
    sigset_t set = TerminationSet();
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int WaitForTerminationSignal() {
    sigset_t set = TerminationSet();
    int sig = 0;
    for (;;) {
        int rc = sigwait(&set, &sig);
        if (rc == 0) return sig;
        if (rc != EINTR) return -1;
    }
}

}  // namespace kvp
