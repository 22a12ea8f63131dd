// The Control Panel's applet interface: the messages a control panel sends to the one
// entry point of an applet library, CPlApplet, and the record that CPL_INQUIRE fills.
#pragma once

#include <cstdint>

#include "kv/dialog.h"
#include "kv/export.h"

namespace kvp {

constexpr uint32_t kCplInit = 1;
constexpr uint32_t kCplGetCount = 2;
constexpr uint32_t kCplInquire = 3;  // param1: applet number, param2: CplInfo*
constexpr uint32_t kCplSelect = 4;
constexpr uint32_t kCplDblClk = 5;  // param1: applet number, param2: the applet's lData
constexpr uint32_t kCplStop = 6;
constexpr uint32_t kCplExit = 7;
constexpr uint32_t kCplNewInquire = 8;

// CPLINFO: resource identifiers of the applet's icon, name and description in the
// applet's library, and a value given back with CPL_DBLCLK.
struct CplInfo {
    int32_t idIcon;
    int32_t idName;
    int32_t idInfo;
    intptr_t lData;
};

// The exported name and type of the entry point.
constexpr const char* kCplAppletName = "CPlApplet";
using CplAppletFn = int32_t(KV_STDCALL*)(HDlg owner, uint32_t msg, intptr_t param1,
                                         intptr_t param2);

}  // namespace kvp
