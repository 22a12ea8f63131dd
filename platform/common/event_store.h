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

// A store that has dropped its oldest records begins with the line "#base N": N is how
// many bytes of records were dropped before its first record over the store's life, so
// positions of records stay valid across trims.
constexpr char kEventStoreBaseTag[] = "#base ";

// N of the store's "#base N" line (0 without one); *records is where its records begin.
uint64_t EventStoreBase(const std::string& text, size_t* records);

// Appends to out every whole record of the store's text from *position (a position in
// the store's life, as EventStoreBase counts), in order, and moves *position past them.
// Only lines with their line end count: a last line without one is a record still being
// written, or the remains of a failed one; lines that are not records are skipped.
void ParseEventStoreFrom(const std::string& text, uint64_t* position,
                         std::vector<EventRecord>* out);

}  // namespace kvp::internal
