// What the file opening below a root falls back on, reachable for tests.
#pragma once

#include <cstdio>

#include "kv/paths.h"

namespace kvp::internal {

// OpenFileBelow without the kernel's confined path walk, as on a kernel that lacks it:
// every step is opened without following a link, so no link is followed at all, and a
// parent reference is refused.
std::FILE* OpenFileBelowStepwise(const char* root, const char* name, BelowMode mode);

}  // namespace kvp::internal
