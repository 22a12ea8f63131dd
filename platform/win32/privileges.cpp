#include "kv/privileges.h"

namespace kvp {

// A Windows service's account is the service manager's business.
bool RunAsUser(const char*, const char*, std::string* error) {
    if (error) *error = "running as another user is not supported on Windows";
    return false;
}

}  // namespace kvp
