#include "common/send_run.h"

#include <algorithm>

namespace kvp {

namespace {

// What one segmented send may carry: the system's own bound on segments, and a UDP
// datagram's length bound on the whole.
constexpr int kMaxSegments = 64;
constexpr int kMaxSegmentedBytes = 65000;

}  // namespace

int SendRunWithin(socket_t s, const void* buf, int stride, int count, int lastLen, long sec,
                  long usec) {
    if (!buf || stride <= 0 || count <= 0 || lastLen <= 0 || lastLen > stride) {
        return SendWithin(s, nullptr, -1, sec, usec);  // fails as a bad argument does
    }
    const auto* p = static_cast<const unsigned char*>(buf);
    const int perCall = std::min(kMaxSegments, kMaxSegmentedBytes / stride);
    bool segment = perCall >= 2;
    int sent = 0;
    while (sent < count) {
        const int k = segment ? std::min(perCall, count - sent) : 1;
        const int len = (k - 1) * stride + (sent + k == count ? lastLen : stride);
        const unsigned char* at = p + static_cast<ptrdiff_t>(sent) * stride;
        int r = internal::kSegmentationUnsupported;
        if (k >= 2) r = internal::SendSegmentedWithin(s, at, len, stride, sec, usec);
        if (r == internal::kSegmentationUnsupported) {
            // Not here, not on this route: the rest of this run one by one.
            segment = false;
            r = SendWithin(s, at, std::min(len, stride), sec, usec);
            if (r >= 0) {
                ++sent;
                continue;
            }
        }
        if (r < 0) return sent > 0 ? sent : r;
        sent += k;
    }
    return sent;
}

}  // namespace kvp
