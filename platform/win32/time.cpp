#include "kv/time.h"

#include <chrono>

#include "thread_internal.h"

namespace kvp {

uint32_t GetTickCount() {
    // The performance counter, in whole milliseconds: the system's tick count moves in
    // steps of 10 to 16 ms, too coarse for the time-outs measured from it.
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now().time_since_epoch());
    return static_cast<uint32_t>(ms.count());
}

void Sleep(uint32_t ms) {
    internal::ControlledSleep(ms);
}

}  // namespace kvp
