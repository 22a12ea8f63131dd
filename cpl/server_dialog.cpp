// The server configuration dialog: its procedure, the start-up display, the two pollers
// that follow the service, the service and start type commands, help and the folder
// picker.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "applet.h"
#include "install_dir.h"
#include "kv/process.h"
#include "kv/ui.h"

namespace kvcpl {

namespace {

constexpr uint32_t kServicePollMs = 1000;
constexpr uint32_t kStartTypePollMs = 2000;
constexpr uint32_t kWelcomeMs = 500;
// While the dialog ends, how often it looks whether its threads have ended.
constexpr uintptr_t kEndTimer = 1;
constexpr uint32_t kEndCheckMs = 20;

// Service states and start types as the service manager numbers them.
constexpr int32_t kStopped = 1;
constexpr int32_t kStartPending = 2;
constexpr int32_t kStopPending = 3;
constexpr int32_t kRunning = 4;
constexpr int32_t kContinuePending = 5;
constexpr int32_t kPausePending = 6;
constexpr int32_t kPaused = 7;
constexpr uint32_t kAutoStart = 2;
constexpr uint32_t kDemandStart = 3;
constexpr uint32_t kDisabled = 4;

// One writer, the state poller; read by the service button threads.
std::atomic<int32_t> g_lastServiceState{-1};
// The opening's one-time steps done: the start-up display and the settings shown.
std::atomic<int> g_openingDone{0};
constexpr int kOpeningSteps = 2;
// The dialog's thread only: set once the dialog is ending.
bool g_ending = false;
intptr_t g_endResult = 0;

kvp::HDlg DialogOf(void* arg) {
    return static_cast<kvp::HDlg>(arg);
}

void Status(kvp::HDlg dlg, const char* text) {
    kvp::SetDlgItemTextA(dlg, kIdStatus, text);
}

void ShowWelcome(kvp::HDlg dlg) {
    Status(dlg, "Getting server details...");
    kvp::EnableDlgItem(dlg, kIdStartStop, false);
    kvp::EnableDlgItem(dlg, kIdPauseResume, false);
    kvp::SetDlgItemImage(dlg, kIdStartStop, kIconStart);
    kvp::SetDlgItemImage(dlg, kIdPauseResume, kIconPause);
    for (int id : {kIdStartAuto, kIdStartManual, kIdStartDisabled})
        kvp::EnableDlgItem(dlg, id, false);
    kvp::SetDlgItemImage(dlg, kIdAbout, kIconApplet);
    kvp::SetDlgItemImage(dlg, kIdEventViewer, kIconEventLog);
    if (g_support.checkEventSource() != 0)
        kvp::CheckDlgButton(dlg, kIdEnableLogging, kvp::kBstChecked);
    kvp::EnableDlgItem(dlg, kIdApply, false);
    Status(dlg, "Korvane TFTP server");
    if (!WaitForStop(kWelcomeMs)) Status(dlg, "Welcome.");
    ++g_openingDone;
}

uint32_t KV_STDCALL ShowWelcomeThread(void* arg) {
    ShowWelcome(DialogOf(arg));
    return 0;
}

uint32_t KV_STDCALL ReadDialogSettingsThread(void* arg) {
    ReadDialogSettings(DialogOf(arg));
    // The texts just set reported changes that enabled Apply: the controls show the key.
    kvp::PostMessageA(DialogOf(arg), kMsgSettingsShown, 0, 0);
    return 0;
}

uint32_t KV_STDCALL PollServiceState(void* arg) {
    const kvp::HDlg dlg = DialogOf(arg);
    g_lastServiceState = -1;
    while (!WaitForStop(kServicePollMs)) {
        const int32_t state = static_cast<int32_t>(g_support.getSvcStatus());
        if (state == g_lastServiceState) continue;
        g_lastServiceState = state;
        ShowServiceButtons(dlg, state);
        Status(dlg, g_support.getStatusAsString(static_cast<uint32_t>(state)));
    }
    return 0;
}

uint32_t KV_STDCALL PollStartupType(void* arg) {
    const kvp::HDlg dlg = DialogOf(arg);
    const int ids[] = {kIdStartAuto, kIdStartManual, kIdStartDisabled};
    int64_t last = -1;
    while (!WaitForStop(kStartTypePollMs)) {
        const uint32_t type = g_support.queryStartupType();
        if (type == last) continue;
        last = type;
        const bool known = type == kAutoStart || type == kDemandStart || type == kDisabled;
        for (int i = 0; i < 3; ++i) {
            kvp::EnableDlgItem(dlg, ids[i], known);
            if (known) {
                kvp::CheckDlgButton(dlg, ids[i],
                                    type == kAutoStart + static_cast<uint32_t>(i)
                                        ? kvp::kBstChecked
                                        : kvp::kBstUnchecked);
            }
        }
    }
    return 0;
}

// The service button threads act on the state the poller saw last.
uint32_t KV_STDCALL ToggleServiceRun(void*) {
    if (g_lastServiceState == kStopped) {
        g_support.doSvcStart();
    } else {
        g_support.doSvcStop();
    }
    return 0;
}

uint32_t KV_STDCALL ToggleServicePause(void*) {
    if (g_lastServiceState == kRunning) {
        g_support.doSvcPause();
    } else {
        g_support.doSvcResume();
    }
    return 0;
}

// OpenEventViewer takes no argument: a thread runs it through a routine of the thread
// routine's shape.
uint32_t KV_STDCALL OpenEventViewerThread(void*) {
    return g_support.openEventViewer();
}

uint32_t KV_STDCALL SetStartAutomatic(void*) {
    return g_support.setStartupType(kAutoStart);
}
uint32_t KV_STDCALL SetStartManual(void*) {
    return g_support.setStartupType(kDemandStart);
}
uint32_t KV_STDCALL SetStartDisabled(void*) {
    return g_support.setStartupType(kDisabled);
}

void Help(kvp::HDlg dlg) {
    Status(dlg, "Starting on-line help...");
    char dir[kPathRoom];
    std::snprintf(dir, sizeof dir, "%s", ReadSvcInstallDirectory());
    if (kvp::ShellExecuteA(dlg, "open", "KVTFTPHLP.HLP", nullptr, dir, kvp::kSwShowNormal) <= 32)
        Status(dlg, "The help file KVTFTPHLP.HLP could not be opened.");
}

void BrowseForRoot(kvp::HDlg dlg) {
    char path[4096] = "";
    if (!kvp::BrowseForFolderA(dlg, "Select the TFTP root...", path, sizeof path)) return;
    if (std::strlen(path) > static_cast<size_t>(kRootChars)) {
        char text[160];
        std::snprintf(text, sizeof text,
                      "The folder's path has %zu characters; the TFTP server takes at most %d.\n"
                      "The root directory was not changed.",
                      std::strlen(path), kRootChars);
        kvp::MessageBoxA(dlg, text, "TFTP server configuration", kvp::kMbOk | kvp::kMbIconWarning);
        return;
    }
    kvp::SetDlgItemTextA(dlg, kIdRootDirectory, path);
}

void UseDefaults(kvp::HDlg dlg) {
    if (kvp::MessageBoxA(dlg,
                         "This will reset all TFTP server settings to the default.\n"
                         "Would you like to do this?",
                         "Reset server settings",
                         kvp::kMbYesNo | kvp::kMbIconQuestion) != kvp::kIdYes)
        return;
    ResetDialogSettings(dlg);
    Status(dlg, "Options reset. Press 'Apply' to save.");
}

// Ends the dialog once every thread it started has ended, so that none is left inside
// the library when it is released; the dialog keeps running its boxes meanwhile.
void EndWhenThreadsEnd(kvp::HDlg dlg, intptr_t result) {
    g_ending = true;
    g_endResult = result;
    RequestStop();
    if (AllThreadsEnded()) {
        kvp::EndDialog(dlg, result);
    } else {
        kvp::SetTimer(dlg, kEndTimer, kEndCheckMs);
    }
}

void OnCommand(kvp::HDlg dlg, int id) {
    switch (id) {
        case kIdOk:
            kvp::EnableDlgItem(dlg, kIdOk, false);
            kvp::EnableDlgItem(dlg, kIdCancel, false);
            if (ApplyDialogSettings(dlg)) {
                EndWhenThreadsEnd(dlg, kIdOk);
            } else {
                // Nothing was stored: the dialog stays, with what was entered.
                kvp::EnableDlgItem(dlg, kIdOk, true);
                kvp::EnableDlgItem(dlg, kIdCancel, true);
            }
            break;
        case kIdCancel:
            EndWhenThreadsEnd(dlg, kIdCancel);
            break;
        case kIdApply:
            ApplyDialogSettings(dlg);
            break;
        case kIdAbout:
            kvp::DialogBoxIndirectParamA(&kAppletResources, kProductDialog, dlg,
                                         ProductInfoDialogProc, 0);
            break;
        case kIdHelp:
            Help(dlg);
            break;
        case kIdUseDefaults:
            UseDefaults(dlg);
            break;
        case kIdStartStop:
            SpawnThread(ToggleServiceRun, nullptr, 1);
            break;
        case kIdPauseResume:
            SpawnThread(ToggleServicePause, nullptr, 1);
            break;
        case kIdEventViewer:
            SpawnThread(OpenEventViewerThread, nullptr, 1);
            break;
        case kIdBrowseRoot:
            BrowseForRoot(dlg);
            break;
        case kIdStartAuto:
            SpawnThread(SetStartAutomatic, nullptr, 1);
            break;
        case kIdStartManual:
            SpawnThread(SetStartManual, nullptr, 1);
            break;
        case kIdStartDisabled:
            SpawnThread(SetStartDisabled, nullptr, 1);
            break;
        case kIdClientRestrict:
            kvp::EnableDlgItem(dlg, kIdAllowedClients,
                               kvp::IsDlgButtonChecked(dlg, kIdClientRestrict) == kvp::kBstChecked);
            break;
        case kIdLogSyslogs: {
            const bool on = kvp::IsDlgButtonChecked(dlg, kIdLogSyslogs) == kvp::kBstChecked;
            kvp::EnableDlgItem(dlg, kIdSyslogHost, on);
            kvp::EnableDlgItem(dlg, kIdFacility, on);
            break;
        }
        default:
            break;
    }
}

}  // namespace

int32_t LastServiceState() {
    return g_lastServiceState;
}

bool DialogReady() {
    return g_openingDone >= kOpeningSteps;
}

void ShowServiceButtons(kvp::HDlg dlg, int32_t state) {
    struct Look {
        uint16_t runImage;
        bool runEnabled;
        uint16_t pauseImage;
        bool pauseEnabled;
    };
    Look look{kIconStart, false, kIconPause, false};
    switch (state) {
        case kStopped:
            look = {kIconStart, true, kIconPause, false};
            break;
        case kStartPending:
            look = {kIconStop, false, kIconPause, false};
            break;
        case kRunning:
            look = {kIconStop, true, kIconPause, true};
            break;
        case kContinuePending:
            look = {kIconStart, false, kIconResume, false};
            break;
        case kPaused:
            look = {kIconStop, true, kIconResume, true};
            break;
        case kStopPending:
        case kPausePending:
        default:
            break;
    }
    kvp::SetDlgItemImage(dlg, kIdStartStop, look.runImage);
    kvp::EnableDlgItem(dlg, kIdStartStop, look.runEnabled);
    kvp::SetDlgItemImage(dlg, kIdPauseResume, look.pauseImage);
    kvp::EnableDlgItem(dlg, kIdPauseResume, look.pauseEnabled);
}

intptr_t ServerDialogProc(kvp::HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t) {
    switch (msg) {
        case kvp::kWmInitDialog:
            g_ending = false;
            g_openingDone = 0;
            g_lastServiceState = -1;
            ResetStop();
            if (!BindSupportLibrary()) {
                kvp::EndDialog(dlg, 0);
                return 1;
            }
            SpawnThread(ShowWelcomeThread, dlg, 1);
            SpawnThread(ReadDialogSettingsThread, dlg, 1);
            SpawnThread(PollServiceState, dlg, 0);
            SpawnThread(PollStartupType, dlg, 0);
            return 1;
        case kvp::kWmCommand:
            if (g_ending) return 1;
            kvp::EnableDlgItem(dlg, kIdApply, true);
            OnCommand(dlg, kvp::LoWord(wparam));
            return 1;
        case kvp::kWmClose:
            if (!g_ending) EndWhenThreadsEnd(dlg, 0);
            return 1;
        case kvp::kWmTimer:
            if (wparam == kEndTimer && AllThreadsEnded()) {
                kvp::KillTimer(dlg, kEndTimer);
                kvp::EndDialog(dlg, g_endResult);
            }
            return 1;
        case kMsgSettingsShown:
            if (!g_ending) kvp::EnableDlgItem(dlg, kIdApply, false);
            ++g_openingDone;
            return 1;
        default:
            return 0;
    }
}

}  // namespace kvcpl
