// The event log's text store, one record a line:
//   time <TAB> type <TAB> source <TAB> category <TAB> 0xEVENTID <TAB> count [<TAB> string]...
// Tabs, line breaks and backslashes inside texts are escaped, so a record is always one
// line. The POSIX event log keeps its records so; the Windows backend keeps them so too
// when a state directory is set (see eventlog.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kv/eventlog.h"

namespace kvp::internal {

// One record as a line of the store, with its line end.
std::string FormatEventRecord(int64_t time, uint16_t type, const std::string& source,
                              uint16_t category, uint32_t event_id, const char* const* strings,
                              uint16_t num_strings);

// Appends every whole record of the store's text to out, in order. Only lines with their
// line end count: a last line without one is a record still being written, or the
// remains of a failed one; lines that are not records are skipped.
void ParseEventStore(const std::string& text, std::vector<EventRecord>* out);

}  // namespace kvp::internal
