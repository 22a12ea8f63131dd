// The Application event log. On POSIX an append-only store,
// $KVTFTP_STATE_DIR/eventlog/Application.log, one record a line, kept below the maximum
// size of the log (registry value MaxSize of HKEY_LOCAL_MACHINE
// "SYSTEM\CurrentControlSet\Services\EventLog\Application", bytes, default 512 KiB,
// at least 64 KiB) by overwriting the oldest records as needed. On Windows the system's
// log; but when KVTFTP_STATE_DIR is set (tests set it), the same store in that
// directory, so that each test reads back only its own records (Wine keeps no event log
// at all: it accepts the records and reads none back); and in the directory that
// KVTFTP_EVENTLOG_DIR names, when that is set.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvp {

constexpr uint16_t kEventlogSuccess = 0x0000;
constexpr uint16_t kEventlogErrorType = 0x0001;
constexpr uint16_t kEventlogWarningType = 0x0002;
constexpr uint16_t kEventlogInformationType = 0x0004;

struct EventSourceState;
using HEventSource = EventSourceState*;

// Null on failure (system's last error set).
HEventSource RegisterEventSourceA(const char* server, const char* source);
bool ReportEventA(HEventSource src, uint16_t type, uint16_t category, uint32_t event_id,
                  const char* const* strings, uint16_t num_strings);
bool DeregisterEventSource(HEventSource src);

// One stored record, as read back by the viewer and by tests.
struct EventRecord {
    int64_t time = 0;  // seconds since 1970
    uint16_t type = 0;
    std::string source;
    uint16_t category = 0;
    uint32_t event_id = 0;
    std::vector<std::string> strings;
};

// Every record of the store in order; false when it cannot be read (an absent store
// reads as empty).
bool ReadEventLog(std::vector<EventRecord>* out);
// The records from *position on (0: from the oldest kept), and *position moved past the
// last of them, for a reader that follows the log as it grows: positions stay valid while
// the oldest records are overwritten. A position past the end (the log was cleared)
// reads from the start.
bool ReadEventLogFrom(uint64_t* position, std::vector<EventRecord>* out);

}  // namespace kvp
