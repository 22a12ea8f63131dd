// What message boxes share on every platform: the handler a dialog host installed and
// the line a box leaves in the KVTFTP_MSGBOX_LOG file.
#pragma once

#include <string>

#include "kv/ui.h"

namespace kvp::internal {

// The handler SetMessageBoxHandler installed, or null.
MessageBoxHandler* CurrentMessageBoxHandler();

// One line: caption, text and flags separated by tabs; line breaks and tabs inside the
// texts are written as \n, \r and \t so that they cannot split a record.
std::string MessageBoxLogLine(const char* caption, const char* text, unsigned flags);

}  // namespace kvp::internal
