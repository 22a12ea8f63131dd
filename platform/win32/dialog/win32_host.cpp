// The Win32 dialog host is not written yet: without it no dialog can be shown, and
// DialogBoxIndirectParamA reports that.
#include "dialog/dialog_core.h"

namespace kvp::dlg {

Host* ToolkitHost() {
    return nullptr;
}

}  // namespace kvp::dlg
