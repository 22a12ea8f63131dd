// Giving up root for another user.
#pragma once

#include <string>

namespace kvp {

// Turns the process, started by root and before it starts any thread, into the named
// user: its groups, its group, its user, with no way back to root and nothing of root's
// privileges but the right to bind ports below 1024, so that a server can bind its port
// again later. `ownDir`, when given and missing, is first made for that user (owner-only,
// its parent must exist); one that exists is left as it is. Linux only: elsewhere false.
// False with *error (if given) saying why, the process unchanged unless the last steps
// failed (then it must end).
bool RunAsUser(const char* name, const char* ownDir, std::string* error);

}  // namespace kvp
