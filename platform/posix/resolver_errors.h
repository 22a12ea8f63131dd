// Numbers of the resolver's failures, in the range Windows uses for them (WSAHOST_NOT_FOUND
// and its neighbours), far above every errno value.
#pragma once

namespace kvp::internal {

constexpr int kErrHostNotFoundValue = 11001;  // no such host
constexpr int kErrTryAgainValue = 11002;      // temporary failure, try again
constexpr int kErrNoRecoveryValue = 11003;    // the resolver failed for good
constexpr int kErrNoDataValue = 11004;        // name known, but no data of the kind asked

}  // namespace kvp::internal
