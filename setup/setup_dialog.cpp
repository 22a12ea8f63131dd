// The setup tool's dialog: the two sequences behind two buttons, the product
// information beside them and a status line.
#include <iterator>

#include "images.h"
#include "kv/ui.h"
#include "setup.h"

namespace {

using kvp::ControlClass;
using kvp::DialogItem;

// In tab order.
const DialogItem kItems[] = {
    {kIdSetupCreate, ControlClass::kButton, kvp::kBsPushButton | kvp::kWsTabStop, 0, 7, 7, 108, 23,
     "&Create service", 0},
    {kIdSetupRemove, ControlClass::kButton, kvp::kBsPushButton | kvp::kWsTabStop, 0, 7, 43, 108, 23,
     "&Remove service", 0},
    {kIdSetupExit, ControlClass::kButton, kvp::kBsDefPushButton | kvp::kWsTabStop, 0, 228, 89, 50,
     14, "&Exit", 0},
    {kIdSetupProduct, ControlClass::kEdit,
     kvp::kEsMultiLine | kvp::kEsReadOnly | kvp::kEsAutoVScroll | kvp::kWsBorder, 0, 133, 7, 145,
     74, nullptr, 0},
    {kIdSetupStatus, ControlClass::kStatic, kvp::kSsLeft, 0, 36, 88, 119, 15, nullptr, 0},
    {kvp::kNoId, ControlClass::kStatic, kvp::kSsIcon, 0, 7, 83, 21, 20, nullptr, kSetupIconId},
};

const kvp::ImageResource kImages[] = {
    {kSetupIconId, kvimg::kTftpGears32, kvimg::kTftpGears16},
};

void Status(kvp::HDlg dlg, const char* text) {
    kvp::SetDlgItemTextA(dlg, kIdSetupStatus, text);
}

const SetupFunctions* FunctionsOf(kvp::HDlg dlg) {
    return reinterpret_cast<const SetupFunctions*>(kvp::GetDialogUserData(dlg));
}

}  // namespace

const kvp::DialogTemplate kSetupDialog = {
    kSetupDialogId,
    kvp::kWsPopup | kvp::kWsCaption | kvp::kWsSysMenu | kvp::kDsModalFrame | kvp::kDsCenter |
        kvp::kDsSetFont,
    285,
    110,
    "TFTP service setup tool",
    "MS Sans Serif",
    8,
    kItems,
    std::size(kItems),
};

const kvp::ModuleResources kSetupResources = {kImages, std::size(kImages)};

intptr_t SetupDlgProc(kvp::HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t lparam) {
    switch (msg) {
        case kvp::kWmInitDialog: {
            kvp::SetDialogUserData(dlg, lparam);
            const char* text = nullptr;
            FunctionsOf(dlg)->getProductInformation(&text);
            if (text != nullptr) kvp::SetDlgItemTextA(dlg, kIdSetupProduct, text);
            return 1;
        }
        case kvp::kWmCommand:
            // The steps run here, on the dialog's thread, one sequence at a time.
            switch (kvp::LoWord(wparam)) {
                case kIdSetupCreate:
                    Status(dlg, "Please wait...");
                    SetupInstall(*FunctionsOf(dlg));
                    Status(dlg, "Creation done. Please exit.");
                    break;
                case kIdSetupRemove:
                    Status(dlg, "Please wait...");
                    SetupRemove(*FunctionsOf(dlg));
                    Status(dlg, "Removal done. Please exit.");
                    break;
                case kIdSetupExit:
                    kvp::EndDialog(dlg, 0);
                    break;
                default:
                    break;
            }
            return 1;
        case kvp::kWmClose:
            kvp::EndDialog(dlg, 0);
            return 1;
        default:
            return 0;
    }
}

int RunSetupDialog(const SetupFunctions& f) {
    if (kvp::DialogBoxIndirectParamA(&kSetupResources, kSetupDialog, nullptr, SetupDlgProc,
                                     reinterpret_cast<intptr_t>(&f)) == -1) {
        // No display: the command line still works.
        kvp::MessageBoxA(nullptr, "Use -i to install the service.\nUse -r to remove the service.",
                         "Setup help", kvp::kMbIconInformation);
    }
    return 0;
}
