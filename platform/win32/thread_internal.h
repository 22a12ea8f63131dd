// The waits that every blocking call of this layer goes through, so that suspend and
// terminate reach a platform thread wherever it waits (see kv/thread.h).
#pragma once

#include <cstdint>

#include "win32.h"

namespace kvp::internal {

// Thrown from a wait of a thread that is being terminated; caught only in the thread's
// entry, so the thread's stack unwinds and its destructors run. Deliberately not a
// std::exception, so that ordinary handlers in the thread's code let it pass.
struct ThreadTerminated {};

// Waits for the handle (none: for the time alone) for at most ms (INFINITE: no limit).
// An auto-reset event that the wait took while the thread was being held or ended is
// set again, so that the signal is not lost to the other waiters.
// Returns 1 signalled, 0 time-out, -1 failure (system's last error set).
int ControlledWait(HANDLE h, uint32_t ms, bool auto_reset);

// Waits until the socket is readable (or writable) for at most the time given.
// Returns 1 ready, 0 time-out, -1 failure (socket layer's last error in WSAGetLastError).
int ControlledSelect(SOCKET s, bool write, long sec, long usec);

void ControlledSleep(uint32_t ms);

}  // namespace kvp::internal
