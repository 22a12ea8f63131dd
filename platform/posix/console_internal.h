// Standard error as a console, or as systemd's journal.
#pragma once

#include <string>

namespace kvp::internal {

// The priorities of the journal's stream protocol ("<3>" before a line).
constexpr int kConsoleError = 3;
constexpr int kConsoleWarning = 4;
constexpr int kConsoleInfo = 6;

// True when standard error is the stream systemd connected to its journal (named by
// JOURNAL_STREAM), which keeps the time itself and reads a priority from the front of
// each line.
bool ConsoleIsJournal();

// The text for standard error: under the journal each line with the priority in front,
// elsewhere as it is.
std::string ConsoleText(const char* text, int priority);

}  // namespace kvp::internal
