// What the service manager's calls and the service dispatcher share on POSIX: the files
// in $KVTFTP_STATE_DIR/run, the locks, the service records in the registry, the status
// file and the control socket.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "kv/service.h"
#include "posix_io.h"

namespace kvp {

// A manager or service handle. Open handles are kept in a set, so that a stale or foreign
// pointer is refused instead of used.
struct ScHandleState {
    bool manager = false;
    uint32_t access = 0;     // the rights granted, generic rights mapped to specific ones
    std::string name;        // a service handle's service, spelled as its files are
    bool hasRecord = false;  // false for a foreground dispatcher's service
};

}  // namespace kvp

namespace kvp::internal {

// The handle when it is open and of the kind asked for; else null, with
// kErrorInvalidHandle as the last error.
ScHandleState* CheckHandle(ScHandle handle, bool manager);
// True when the handle holds the right; else sets kErrorAccessDenied.
bool HasAccess(const ScHandleState* handle, uint32_t right);

// Sets the calling thread's last error to a Windows code; returns false for the calls'
// failure paths.
bool FailWith(long code);

// ---- names and files (service_records.cpp) --------------------------------------------

// A name Windows takes: 1 to 256 characters, no slash, backslash or control character.
bool ValidServiceName(const char* name);
std::string RunDir();
// RunDir()/<name><suffix>: ".sock", ".status", ".host" (the dispatcher's lock), ".start"
// (the starters' lock), ".log".
std::string RunFile(const std::string& name, const char* suffix);

// ---- locks (service_locks.cpp) --------------------------------------------------------

// Whole-file write locks owned by the open file (Linux OFD locks): released when the
// descriptor closes or the process ends, and testable without being taken, so that a
// probe never makes a concurrent locker fail.
// Opens (creating) a lock file; -1 with errno.
int OpenLockFile(const std::string& path);
// Takes the lock, waiting up to wait_ms for a holder to let go (0: not at all). False with
// errno: EAGAIN when the lock is held elsewhere (also by another descriptor of this
// process) and wait_ms is 0, ETIMEDOUT when it stayed held for wait_ms.
bool LockFile(int fd, int wait_ms);
// A starter holds the starters' lock while it waits for a previous dispatcher to go and
// for the new one to answer (up to 35 s); a waiter gives up a little after that.
inline int StartLockWaitMs() {
    return 4 * LockWaitMs();
}
// Opens and takes the starters' lock of the service; false with the last error set
// (kErrorServiceRequestTimeout when it stayed held).
bool TakeStartLock(const std::string& name, Fd* lock);
// True while some open file holds the lock.
bool IsLocked(const std::string& path);
// True while a dispatcher serves the service.
bool HostAlive(const std::string& name);
// True while someone holds the database lock.
bool DatabaseLocked();

// ---- records (service_records.cpp) ----------------------------------------------------

struct ServiceRecord {
    std::string name;  // as the record's key spells it
    std::string imagePath;
    uint32_t type = kServiceWin32OwnProcess;
    uint32_t start = kServiceDemandStart;
    uint32_t errorControl = kServiceErrorNormal;
    std::string displayName;
    std::string description;
    std::string objectName;
    bool markedForDelete = false;
};

// Reads the record of a name (any case). kErrorServiceDoesNotExist when there is none; a
// record marked for deletion whose dispatcher is gone is removed on the way.
long ReadRecord(const std::string& name, ServiceRecord* record);
// Creates the record; kErrorServiceExists when its key exists already.
long CreateRecord(const ServiceRecord& record);
// Writes the values that differ from the record as read (old).
long UpdateRecord(const ServiceRecord& old, const ServiceRecord& updated);
long MarkRecordForDelete(const std::string& name);
// Removes the record with its subkeys, and the service's status and socket files.
long RemoveRecord(const std::string& name);
// The spelling under which a service's files are kept: its record's, else that of a
// running dispatcher without a record (the foreground mode); "" when neither exists.
std::string KnownServiceName(const std::string& name);

// ---- status (service_status.cpp) ------------------------------------------------------

// Replaces the status file atomically; only the dispatcher that holds the host lock
// writes it.
bool WriteStatusFile(const std::string& name, const ServiceStatus& status);
// The status as the manager answers it: the last one reported while a dispatcher lives;
// else stopped, with the last exit codes (kErrorServiceNeverStarted when there are none).
// Returns whether a dispatcher lives.
bool CurrentStatus(const std::string& name, ServiceStatus* status);

// ---- control socket (service_socket.cpp) ----------------------------------------------

// Reads len bytes unless the peer closes first; the count read, or -1 with errno
// (ETIMEDOUT when the time ran out). The wait is one of this layer's controlled waits.
ssize_t ReadWithin(int fd, void* buf, size_t len, int timeout_ms);
// Sends the control code to the service's dispatcher and waits for its answer (the
// handler has run then): the result code (kErrorSuccess or the refusal) and the status.
// A dispatcher that is gone, or goes before it answers, gives kErrorServiceNotActive;
// no answer within 30 s gives kErrorServiceRequestTimeout.
long SendControl(const std::string& name, uint32_t control, ServiceStatus* status);
// The dispatcher's listening socket (a stale socket file is replaced), owner-only; -1 with
// errno.
int ListenControlSocket(const std::string& name);
// True when the connected peer runs as this user or as root; a refused one is noted in
// the debug output.
bool PeerMayControl(int fd);
// Reads one request from an accepted connection; false when none came in time.
bool ReadControlRequest(int fd, uint32_t* control);
void WriteControlReply(int fd, long result, const ServiceStatus& status);

// ---- between StartServiceA and the dispatcher it starts --------------------------------

// The environment of a started program names the service and a socket on which its
// dispatcher receives the start arguments (NUL-terminated, until end of file) and answers
// with one 32-bit result: 0 once it serves the control socket, else a Windows code. A
// program that cannot be run sends kExecFailed | errno instead.
constexpr char kServiceNameVar[] = "KVTFTP_SERVICE_NAME";
constexpr char kServiceFdVar[] = "KVTFTP_SERVICE_FD";
constexpr uint32_t kExecFailed = 0x80000000u;

}  // namespace kvp::internal
