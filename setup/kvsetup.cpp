// kvsetup: puts the TFTP server service onto this machine and takes it off again, from
// its command line (-i, -r, -h) or from its dialog.
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "kv/dynlib.h"
#include "kv/ui.h"
#include "loader.h"
#include "setup.h"

// The support library stays loaded until the process ends, as every library of the
// suite does; kept where the whole program can see it, so that it counts as kept.
kvp::HLibrary g_support = nullptr;

namespace {

// The first two characters of the command line, in lower case.
bool CommandIs(int argc, char** argv, const char* option) {
    if (argc < 2) return false;
    const char* a = argv[1];
    return a[0] != '\0' && std::tolower(static_cast<unsigned char>(a[0])) == option[0] &&
           std::tolower(static_cast<unsigned char>(a[1])) == option[1];
}

}  // namespace

int main(int argc, char** argv) {
    g_support = LoadSupportLibrary();
    if (g_support == nullptr) {
        kvp::MessageBoxA(nullptr, "Unable to load the resource DLL.", "Setup error",
                         kvp::kMbIconError);
        return 1;
    }
    SetupFunctions f;
    const char* missing = nullptr;
    if (!BindSetupFunctions(g_support, &f, &missing)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "Unable to load the resource DLL: it lacks the function %s.", missing);
        kvp::MessageBoxA(nullptr, text, "Setup error", kvp::kMbIconError);
        return 1;
    }
    if (CommandIs(argc, argv, "-i")) {
        SetupInstall(f);
    } else if (CommandIs(argc, argv, "-r")) {
        SetupRemove(f);
    } else if (CommandIs(argc, argv, "-h")) {
        kvp::MessageBoxA(nullptr, "Use -i to install the service.\nUse -r to remove the service.",
                         "Setup help", kvp::kMbIconInformation);
    } else {
        return RunSetupDialog(f);
    }
    return 0;
}
