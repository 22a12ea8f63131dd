// The waits that every blocking call of this layer goes through, so that suspend and
// terminate reach a platform thread wherever it waits.
#pragma once

#include <cstdint>

namespace kvp::internal {

// Thrown from a wait of a thread that is being terminated; caught only in the thread's
// entry, so the thread's stack unwinds and its destructors run. Deliberately not a
// std::exception, so that ordinary handlers in the thread's code let it pass.
struct ThreadTerminated {};

// Waits until fd reports one of events (POLLIN, POLLOUT), or until timeout_us
// microseconds have passed (negative: no limit).
// When fd is ready, accept (if given) decides whether the wait ends successfully; false
// means another waiter took what was ready and the wait goes on.
// Returns 1 ready, 0 time-out, -1 error with errno set.
// In a thread started by CreateThread the wait also watches the thread's controls: while
// the thread is suspended it holds and reports nothing; when the thread is terminated it
// throws ThreadTerminated (or, while the stack is already unwinding, fails with ECANCELED).
// For the length of the wait the thread borrows a wake descriptor that suspend and
// terminate poke; it holds none otherwise.
int ControlledWait(int fd, short events, int64_t timeout_us, bool (*accept)(void*) = nullptr,
                   void* ctx = nullptr);

// Sleeps for timeout_us microseconds (negative: for ever), held while the thread is
// suspended and ended by terminate like every other wait.
void ControlledSleep(int64_t timeout_us);

// A socket call that blocks in the system by the socket's own time-out (a receive with
// SO_RCVTIMEO) is bracketed by these two, so that it needs no descriptor of its own and
// no second call to be reachable:
// - BeginBlockingCall applies the controls already pending (holds while suspended,
//   throws when terminated) and records fd; TerminateThread shuts a recorded socket down,
//   which ends the call at once (the thread is ending, and its socket with it);
// - EndBlockingCall forgets fd and applies the controls that came meanwhile, so that a
//   thread suspended during the call holds before it acts on what the call brought.
// Both return 1 when the thread was held, 0 when not, -1 when it was terminated while its
// stack is already unwinding. Outside platform threads they do nothing and return 0.
int BeginBlockingCall(int fd);
int EndBlockingCall();

// Applies pending controls at a point that is not a wait (before a send that need not
// wait): cheap when there are none. Returns as EndBlockingCall.
int ApplyPendingControls();

}  // namespace kvp::internal
