// A dialog template of the suite as the in-memory template the Windows dialog manager
// reads (DLGTEMPLATE with DLGITEMTEMPLATE entries).
#pragma once

#include <vector>

#include "dialog/dialog_core.h"
#include "win32/win32.h"

namespace kvp::win32dlg {

// Words, so that the result is WORD-aligned; items start on DWORD boundaries relative
// to the start, which the vector's allocation keeps DWORD-aligned.
std::vector<WORD> BuildTemplate(const DialogTemplate& tmpl);

}  // namespace kvp::win32dlg
