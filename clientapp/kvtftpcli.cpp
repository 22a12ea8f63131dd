// The desktop TFTP client: one dialog window.
#include <cstdio>
#include <cstdlib>

#include "client_dialog.h"

int main() {
    const int status = kvcli::RunClientProgram();
    // A transfer that the close box left running ends with the program, without static
    // destructors under its feet.
    std::fflush(nullptr);
    std::_Exit(status);
}
