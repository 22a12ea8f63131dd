// kvcontrol: the Control Panel's stand-in. Lists the applets of the machine (those named
// in the control panel's "Cpls" registry list and the .cpl files of the system
// directory) with the names and descriptions they give, or opens one as a double click
// in the Control Panel does.
//
//   kvcontrol              lists the applets
//   kvcontrol NAME[,@N]    opens applet N (0 when not given) of the applet file NAME: a
//                          path, or a file name looked for among the listed applets,
//                          beside this program and in the system directory

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "control_panel.h"
#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/text.h"

namespace {

int Usage() {
    std::fprintf(stderr,
                 "Usage: kvcontrol [NAME[,@N]]\n"
                 "Without NAME, lists the control panel applets; with it, opens applet N\n"
                 "(default 0) of the applet file NAME.\n");
    return 2;
}

std::string FileNameOf(const std::string& path) {
    const size_t cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(cut + 1);
}

int List() {
    const std::vector<std::string> files = kvcontrol::AppletFiles();
    if (files.empty()) {
        std::printf("No control panel applets are registered.\n");
        return 0;
    }
    for (const std::string& file : files) {
        kvcontrol::AppletLibrary lib(file);
        if (lib.library() == nullptr || lib.entry() == nullptr) {
            const int err = kvp::LastSystemError();
            std::printf("%s\n    cannot be loaded: %s\n", file.c_str(),
                        lib.library() == nullptr ? kvp::SystemErrorText(err).c_str()
                                                 : "it has no CPlApplet entry");
            continue;
        }
        std::vector<kvp::CplInfo> applets;
        if (!kvcontrol::InquireApplets(lib.entry(), &applets)) {
            std::printf("%s\n    refuses to start\n", file.c_str());
            continue;
        }
        for (size_t i = 0; i < applets.size(); ++i) {
            std::printf("%s\n    %s\n    %s,@%zu\n", lib.String(applets[i].idName).c_str(),
                        lib.String(applets[i].idInfo).c_str(), file.c_str(), i);
        }
    }
    return 0;
}

// Where NAME leads: a path as it is; a file name among the listed applets, else in the
// system directory, else beside this program and on the library path.
std::string Locate(const std::string& name) {
    if (name.find_first_of("/\\") != std::string::npos) return name;
    for (const std::string& file : kvcontrol::AppletFiles())
        if (kvp::EqualNoCase(FileNameOf(file), name)) return file;
    char dir[261];
    if (kvp::GetSystemDirectoryA(dir, sizeof dir) != 0) {
        const std::string inSystem = std::string(dir) + "/" + kvp::ToAsciiLower(name);
        if (kvp::PathExists(inSystem.c_str())) return inSystem;
    }
    return name;
}

int Open(std::string name) {
    int index = 0;
    const size_t at = name.rfind(",@");
    if (at != std::string::npos) {
        char* end = nullptr;
        const long n = std::strtol(name.c_str() + at + 2, &end, 10);
        if (end == name.c_str() + at + 2 || *end != '\0' || n < 0) return Usage();
        index = static_cast<int>(n);
        name.resize(at);
    }
    const std::string path = Locate(name);
    kvcontrol::AppletLibrary lib(path);
    if (lib.library() == nullptr) {
        std::fprintf(stderr, "kvcontrol: %s cannot be loaded: %s\n", path.c_str(),
                     kvp::SystemErrorText(kvp::LastSystemError()).c_str());
        return 1;
    }
    if (lib.entry() == nullptr) {
        std::fprintf(stderr, "kvcontrol: %s is no control panel applet (no CPlApplet)\n",
                     path.c_str());
        return 1;
    }
    if (!kvcontrol::OpenApplet(lib.entry(), index, nullptr)) {
        std::fprintf(stderr, "kvcontrol: %s has no applet %d\n", path.c_str(), index);
        return 1;
    }
    // The library is freed here, after CPL_EXIT.
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 1) return List();
    if (argc != 2 || argv[1][0] == '-') return Usage();
    return Open(argv[1]);
}
