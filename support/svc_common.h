// What the support library, the service host and the applet each build into
// themselves: the boxes that report a failure, and starting a routine on a thread.
#pragma once

#include <cstdint>

#include "kv/thread.h"
#include "kvtftpasc.h"

// The calling thread's last system error as text, in an error box captioned with the
// failed step (shown by a service too), and the same text to the debugger output.
void ShowSystemError(const char* caption);
// The same for an error code taken earlier.
void ShowSystemErrorCode(const char* caption, int err);
// A warning box without owner; the box's result.
int ShowWarning(const char* caption, const char* text);
// Starts the routine on a thread of its own: 1, with the thread in *started when asked.
// When no thread can be made, reports "Thread creation failed", runs the routine on the
// calling thread when asked, and returns 0.
uint32_t StartRoutineThread(KvThreadRoutine routine, void* arg, uint32_t runInline,
                            kvp::ThreadHandle* started = nullptr);

// Runs body and returns its result; an exception (out of memory, at worst) gives fail
// instead, so that none crosses an export.
template <class R, class F>
R NoThrow(R fail, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        return fail;
    }
}
