// The setup dialog is not built yet: without it, the tool says how to use its command
// line.
#include "kv/ui.h"
#include "setup.h"

int RunSetupDialog(const SetupFunctions&) {
    kvp::MessageBoxA(nullptr, "Use -i to install the service.\nUse -r to remove the service.",
                     "Setup help", kvp::kMbIconInformation);
    return 0;
}
