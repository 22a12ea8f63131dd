#include "kv/time.h"

#include <time.h>

#include "kv/thread.h"
#include "wait_internal.h"

namespace kvp {

uint32_t GetTickCount() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void Sleep(uint32_t ms) {
    // Waiting for nothing but the time; a thread that is being terminated leaves by the
    // exception the wait throws.
    internal::ControlledSleep(ms == kInfinite ? -1 : static_cast<int64_t>(ms) * 1000);
}

}  // namespace kvp
