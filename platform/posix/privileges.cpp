// Root given up for another user, as a daemon does once started: the groups, the group
// and the user changed, and of root's capabilities only CAP_NET_BIND_SERVICE kept, in
// the permitted and effective sets, so that a parameter change can bind the TFTP port
// anew. Capabilities are per thread: this runs before the process has any other.
#include "kv/privileges.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "posix_io.h"

namespace kvp {

namespace {

std::string Why(const char* what, int err) {
    return std::string("kvtftp: ") + what + ": " + std::strerror(err);
}

// Made owner-only for the user, without following a link at the name.
bool MakeDirFor(const char* path, uid_t uid, gid_t gid, std::string* error) {
    if (::mkdir(path, 0700) != 0) {
        if (errno == EEXIST) return true;
        *error = Why((std::string("cannot create ") + path).c_str(), errno);
        return false;
    }
    internal::Fd fd(::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0 || ::fchown(fd.get(), uid, gid) != 0 || ::fchmod(fd.get(), 0700) != 0) {
        *error = Why((std::string("cannot give ") + path + " to the user").c_str(), errno);
        return false;
    }
    return true;
}

bool KeepOnlyBindCapability(std::string* error) {
    __user_cap_header_struct header{};
    header.version = _LINUX_CAPABILITY_VERSION_3;
    header.pid = 0;
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    data[0].effective = data[0].permitted = 1u << CAP_NET_BIND_SERVICE;
    if (::syscall(SYS_capset, &header, data) != 0) {
        *error = Why("cannot keep CAP_NET_BIND_SERVICE", errno);
        return false;
    }
    return true;
}

}  // namespace

bool RunAsUser(const char* name, const char* ownDir, std::string* error) {
    std::string local;
    if (!error) error = &local;
    struct passwd pw {};
    struct passwd* found = nullptr;
    std::vector<char> buf(16384);
    const int rc = ::getpwnam_r(name, &pw, buf.data(), buf.size(), &found);
    if (rc != 0 || found == nullptr) {
        *error = std::string("kvtftp: no such user '") + name + "'";
        if (rc != 0) *error += std::string(": ") + std::strerror(rc);
        return false;
    }
    if (::geteuid() != 0) {
        *error = std::string("kvtftp: only root can run as the user '") + name + "'";
        return false;
    }
    if (ownDir && *ownDir && !MakeDirFor(ownDir, pw.pw_uid, pw.pw_gid, error)) return false;
    // Nothing else in the bounding set: not even a program started later can get more.
    for (int cap = 0; ::prctl(PR_CAPBSET_READ, cap, 0, 0, 0) >= 0; ++cap) {
        if (cap != CAP_NET_BIND_SERVICE && ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
            *error = Why("cannot drop the capabilities", errno);
            return false;
        }
    }
    if (::prctl(PR_SET_KEEPCAPS, 1, 0, 0, 0) != 0) {
        *error = Why("cannot keep capabilities across the change of user", errno);
        return false;
    }
    if (::initgroups(pw.pw_name, pw.pw_gid) != 0) {
        *error = Why("cannot take the user's groups", errno);
        return false;
    }
    if (::setresgid(pw.pw_gid, pw.pw_gid, pw.pw_gid) != 0 ||
        ::setresuid(pw.pw_uid, pw.pw_uid, pw.pw_uid) != 0) {
        *error = Why("cannot become the user", errno);
        return false;
    }
    ::prctl(PR_SET_KEEPCAPS, 0, 0, 0, 0);
    if (!KeepOnlyBindCapability(error)) return false;
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    // A user 0 asked for by name is root still; any other must have no way back.
    if (pw.pw_uid != 0 && (::setuid(0) == 0 || ::seteuid(0) == 0)) {
        *error = "kvtftp: root could be regained after the change of user";
        return false;
    }
    return true;
}

}  // namespace kvp
