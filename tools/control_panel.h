// The control panel's part, shared by kvcontrol and its tests: which applets the machine
// has, and the conversation with an applet's CPlApplet entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kv/cpl.h"
#include "kv/dynlib.h"

namespace kvcontrol {

constexpr const char* kCplsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";

// The applet files: the values of the "Cpls" list (environment references expanded),
// then the .cpl files of the system directory that the list does not already name.
std::vector<std::string> AppletFiles();

// The applets of one entry as CPL_INQUIRE describes them; false when CPL_INIT refuses.
// Sends CPL_INIT, CPL_GETCOUNT, CPL_INQUIRE for each applet, CPL_STOP for each and
// CPL_EXIT.
bool InquireApplets(kvp::CplAppletFn entry, std::vector<kvp::CplInfo>* applets);

// Opens applet `index` as a double click does: CPL_INIT, CPL_GETCOUNT, CPL_INQUIRE for
// each applet, CPL_DBLCLK for the one opened (its dialog runs until it ends), CPL_STOP
// for each and CPL_EXIT. False when CPL_INIT refuses or there is no such applet (the
// conversation is then ended with CPL_EXIT).
bool OpenApplet(kvp::CplAppletFn entry, int index, kvp::HDlg owner);

// An applet library loaded by its path (Windows file names follow the file name rule)
// and its entry; freed with the object.
class AppletLibrary {
  public:
    explicit AppletLibrary(const std::string& path);
    ~AppletLibrary();
    AppletLibrary(const AppletLibrary&) = delete;
    AppletLibrary& operator=(const AppletLibrary&) = delete;
    kvp::CplAppletFn entry() const { return entry_; }
    kvp::HLibrary library() const { return lib_; }
    // The library's string resource, "" when it has none.
    std::string String(int32_t id) const;

  private:
    kvp::HLibrary lib_ = nullptr;
    kvp::CplAppletFn entry_ = nullptr;
};

}  // namespace kvcontrol
