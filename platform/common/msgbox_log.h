// What a message box that nobody sees leaves behind, the same on every platform: the
// button it answers with and its line in the KVTFTP_MSGBOX_LOG file.
#pragma once

#include <string>

namespace kvp::internal {

// The default button of the box's kind, chosen by the MB_DEFBUTTONn bits as Windows
// does.
int DefaultButton(unsigned flags);

// One line: caption, text and flags separated by tabs; line breaks and tabs inside the
// texts are written as \n, \r and \t so that they cannot split a record.
std::string MessageBoxLogLine(const char* caption, const char* text, unsigned flags);

}  // namespace kvp::internal
