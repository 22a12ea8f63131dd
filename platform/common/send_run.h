// The system's part of sending a run of datagrams: one buffer that the system cuts into
// datagrams of `segment` bytes (the last may be shorter).
#pragma once

#include "kv/net.h"

namespace kvp::internal {

// Returned when the system, the route or the device cannot segment; the caller then sends
// the datagrams one by one.
constexpr int kSegmentationUnsupported = -4;

// As SendWithin, for the whole buffer at once: len bytes on success.
int SendSegmentedWithin(socket_t s, const void* buf, int len, int segment, long sec, long usec);

}  // namespace kvp::internal
