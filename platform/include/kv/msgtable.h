// Messages of a module's message table, as an event viewer formats event descriptions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvp {

// Formats message `id` of the message table in the module file `module_path`, as
// FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY) does with a
// module loaded by LoadLibraryExA(LOAD_LIBRARY_AS_DATAFILE): the file is read as data,
// never run. %1..%99 take inserts[0..98] (an optional !printf-spec! after the number is
// honoured for strings; an insert beyond `count` stays as written), %0 ends the text
// without a line break, %n is CR LF, %r CR, %t a tab, and any other character after '%'
// stands for itself. Line ends of the table text come out as CR LF. A name without a
// directory is looked for beside the calling program first, then in the system
// directory and the library search path; Windows file names map to Linux ones (the
// name rule of LoadLibraryA). False, with the system's last error set, when the module
// cannot be read, holds no message table, or has no message `id`; a corrupt file fails
// the same way. The text is cut at 64 KiB, the limit of FormatMessageA's buffer.
bool FormatModuleMessage(const char* module_path, uint32_t id, const char* const* inserts,
                         size_t count, std::string* out);

}  // namespace kvp
