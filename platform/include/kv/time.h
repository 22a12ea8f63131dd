// Millisecond ticks and sleeping.
#pragma once

#include <cstdint>

namespace kvp {

// Milliseconds of a monotonic clock, truncated to 32 bits (wraps after 49.7 days).
uint32_t GetTickCount();

// Sleeps; inside a platform thread the sleep is a wait that suspend and terminate reach.
void Sleep(uint32_t ms);

}  // namespace kvp
