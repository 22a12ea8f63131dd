// The one wait that every blocking call of this layer goes through, so that suspend and
// terminate reach a platform thread wherever it waits.
#pragma once

#include <cstdint>

namespace kvp::internal {

// Thrown from a wait of a thread that is being terminated; caught only in the thread's
// entry, so the thread's stack unwinds and its destructors run. Deliberately not a
// std::exception, so that ordinary handlers in the thread's code let it pass.
struct ThreadTerminated {};

// Waits until fd reports one of events (POLLIN, POLLOUT), or until timeout_us
// microseconds have passed (negative: no limit); fd < 0 waits for the time alone.
// When fd is ready, accept (if given) decides whether the wait ends successfully; false
// means another waiter took what was ready and the wait goes on.
// Returns 1 ready, 0 time-out, -1 error with errno set.
// In a thread started by CreateThread the wait also watches the thread's controls: while
// the thread is suspended it holds and reports nothing; when the thread is terminated it
// throws ThreadTerminated (or, while the stack is already unwinding, fails with ECANCELED).
int ControlledWait(int fd, short events, int64_t timeout_us, bool (*accept)(void*) = nullptr,
                   void* ctx = nullptr);

}  // namespace kvp::internal
