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
        const unsigned char* at = p + static_cast<ptrdiff_t>(sent) * stride;
        if (segment && count - sent >= 2) {
            const int k = std::min(perCall, count - sent);
            const int len = (k - 1) * stride + (sent + k == count ? lastLen : stride);
            const int r = internal::SendSegmentedWithin(s, at, len, stride, sec, usec);
            if (r != internal::kSegmentationUnsupported) {
                if (r < 0) return sent > 0 ? sent : r;
                sent += k;
                continue;
            }
            segment = false;  // not here, not on this route: the rest one by one
        }
        const int r = SendWithin(s, at, sent + 1 == count ? lastLen : stride, sec, usec);
        if (r < 0) return sent > 0 ? sent : r;
        ++sent;
    }
    return sent;
}

}  // namespace kvp
