// The control panel applet kvtftpcpl: its entry point, its two dialogs and the support
// library's functions as the applet binds them.
#pragma once

#include <cstdint>

#include "kv/cpl.h"
#include "kv/dialog.h"
#include "kv/dynlib.h"
#include "kv/export.h"
#include "kvtftpasc.h"

// The entry point the control panel drives.
KV_EXPORT int32_t KV_STDCALL CPlApplet(kvp::HDlg owner, uint32_t msg, intptr_t param1,
                                       intptr_t param2);

namespace kvcpl {

// ---- resources --------------------------------------------------------------------------

constexpr uint16_t kIconApplet = 101;  // also the About button's picture
constexpr uint16_t kDialogServer = 102;
constexpr uint16_t kDialogProduct = 103;
constexpr uint16_t kBitmapProduct = 104;
constexpr uint16_t kIconStop = 111;
constexpr uint16_t kIconResume = 112;
constexpr uint16_t kIconStart = 113;
constexpr uint16_t kIconPause = 114;
constexpr uint16_t kIconEventLog = 115;
constexpr int32_t kStringName = 116;
constexpr int32_t kStringInfo = 117;

extern const kvp::DialogTemplate kServerDialog;
extern const kvp::DialogTemplate kProductDialog;
extern const kvp::ModuleResources kAppletResources;

// The configuration dialog's controls.
constexpr int kIdOk = 1;
constexpr int kIdCancel = 2;
constexpr int kIdApply = 1000;
constexpr int kIdAbout = 1001;
constexpr int kIdHelp = 1002;
constexpr int kIdStatus = 1017;
constexpr int kIdEnableLogging = 1018;
constexpr int kIdUseDefaults = 1019;
constexpr int kIdStartStop = 1020;
constexpr int kIdPauseResume = 1021;
constexpr int kIdEventViewer = 1022;
constexpr int kIdBrowseRoot = 1023;
constexpr int kIdStartAuto = 1024;
constexpr int kIdStartManual = 1032;
constexpr int kIdStartDisabled = 1033;
constexpr int kIdAllowUploads = 1034;
constexpr int kIdAllowDownloads = 1035;
constexpr int kIdClientRestrict = 1036;
constexpr int kIdAllowedClients = 1037;
constexpr int kIdAllowOverwrite = 1038;
constexpr int kIdFacility = 1040;
constexpr int kIdLogSyslogs = 1041;
constexpr int kIdLogEventLogs = 1042;
constexpr int kIdRootDirectory = 1043;
constexpr int kIdSendBackErrors = 1044;
constexpr int kIdSyslogHost = 1045;

// The product information dialog's controls.
constexpr int kIdProductPicture = 1006;
constexpr int kIdProductText = 1009;

// ---- the support library ---------------------------------------------------------------

// The entry points the configuration dialog uses, bound in this order when it opens.
struct SupportFunctions {
    kvasc::VoidFn doSvcStart = nullptr;
    kvasc::VoidFn doSvcStop = nullptr;
    kvasc::VoidFn doSvcPause = nullptr;
    kvasc::VoidFn doSvcResume = nullptr;
    kvasc::VoidFn doSvcParamChange = nullptr;
    kvasc::VoidFn getSvcStatus = nullptr;
    kvasc::StatusTextFn getStatusAsString = nullptr;
    kvasc::VoidFn queryStartupType = nullptr;
    kvasc::SetStartupTypeFn setStartupType = nullptr;
    kvasc::VoidFn openEventViewer = nullptr;
    kvasc::VoidFn addEventSource = nullptr;
    kvasc::VoidFn removeEventSource = nullptr;
    kvasc::VoidFn checkEventSource = nullptr;
};

// Bound while the configuration dialog runs; written on the dialog's thread before any
// worker starts.
extern SupportFunctions g_support;
extern kvp::HLibrary g_supportLibrary;

// Loads the support library and binds the entry points; false after the boxes that say
// why.
bool BindSupportLibrary();
// Ends the pollers, waits for every thread the dialog started, then releases the library.
void ReleaseSupportLibrary();

// ---- threads ----------------------------------------------------------------------------

// The applet's own copies of the helpers, so that it can report before the library is
// loaded. SpawnThread keeps every thread it starts, for ReleaseSupportLibrary.
int GenericMessage(const char* caption, const char* text);
void SvcError(const char* caption);
uint32_t SpawnThread(KvThreadRoutine routine, void* arg, uint32_t runInline);
// True once every thread started by SpawnThread has ended.
bool AllThreadsEnded();
// Set when the dialog ends: the pollers and the start-up display stop waiting.
bool StopRequested();
// Waits up to ms for the stop; true when it came.
bool WaitForStop(uint32_t ms);
void RequestStop();
void ResetStop();

// ---- the dialogs ------------------------------------------------------------------------

intptr_t ServerDialogProc(kvp::HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t lparam);
intptr_t ProductInfoDialogProc(kvp::HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t lparam);

// The settings of the server key in the dialog's controls.
void ReadDialogSettings(kvp::HDlg dlg);
// 1 when every value was written; 0 (nothing or part written) otherwise, with the
// system's reason in *error.
int WriteDialogSettings(kvp::HDlg dlg, int* error = nullptr);
void ResetDialogSettings(kvp::HDlg dlg);
// True when the settings were written and the service was told.
bool ApplyDialogSettings(kvp::HDlg dlg);

// The service buttons for a service state.
void ShowServiceButtons(kvp::HDlg dlg, int32_t state);

// The last state the state poller saw; -1 before its first poll.
int32_t LastServiceState();
// True once the opening's one-time work is done: the start-up display has ended and the
// controls show the key (the pollers go on).
bool DialogReady();

// The texts that the dialog writes at most (the server's field widths less the
// terminator).
constexpr int kRootChars = 260;
constexpr int kClientsChars = 1024;
constexpr int kSyslogHostChars = 63;

// A private message the settings reader posts when it has shown the key.
constexpr uint32_t kMsgSettingsShown = kvp::kWmApp + 1;

}  // namespace kvcpl
