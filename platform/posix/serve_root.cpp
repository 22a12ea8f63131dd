// Which roots a server on POSIX must not serve.
#include "kv/serve_root.h"

#include <climits>
#include <cstdlib>
#include <string>

#include "kv/paths.h"

namespace kvp {

namespace {

std::string Resolved(const char* path) {
    char buf[PATH_MAX];
    if (!path || !*path || !::realpath(path, buf)) return {};
    return buf;
}

// True when `inner` is `outer` or lies below it (both resolved).
bool Within(const std::string& inner, const std::string& outer) {
    if (outer.empty() || inner.size() < outer.size()) return false;
    if (inner.compare(0, outer.size(), outer) != 0) return false;
    return inner.size() == outer.size() || outer == "/" || inner[outer.size()] == '/';
}

}  // namespace

ServeRootConcern ClassifyServeRoot(const char* root) {
    const std::string dir = Resolved(root);
    if (dir.empty()) return ServeRootConcern::kNone;
    if (dir == "/") return ServeRootConcern::kFileSystemRoot;
    const std::string state = Resolved(StateDir().c_str());
    if (!state.empty() && (Within(dir, state) || Within(state, dir)))
        return ServeRootConcern::kServerState;
    return ServeRootConcern::kNone;
}

}  // namespace kvp
