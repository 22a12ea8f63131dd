// The setup tool's steps: what it binds of the support library, and the two sequences
// that the command line and the dialog run.
#pragma once

#include "kv/dialog.h"
#include "kv/dynlib.h"
#include "kvtftpasc.h"

struct SetupFunctions {
    kvasc::VoidFn setSvcInstallDirectory = nullptr;
    kvasc::VoidFn addEventSource = nullptr;
    kvasc::VoidFn addSvcToMachine = nullptr;
    kvasc::VoidFn addCplToMachine = nullptr;
    kvasc::SetStartupTypeFn setStartupType = nullptr;
    kvasc::LogMessageFn sendGenericLogMessage = nullptr;
    kvasc::VoidFn doSvcStop = nullptr;
    kvasc::VoidFn removeEventSource = nullptr;
    kvasc::VoidFn removeSvcFromMachine = nullptr;
    kvasc::VoidFn removeCplFromMachine = nullptr;
    kvasc::ProductInformationFn getProductInformation = nullptr;
};

// Looks the functions up; false at the first one missing, with *missing naming it.
bool BindSetupFunctions(kvp::HLibrary lib, SetupFunctions* f, const char** missing);

// Each step runs whatever the one before returned; failures show their own boxes.
void SetupInstall(const SetupFunctions& f);
void SetupRemove(const SetupFunctions& f);

// The setup dialog (template 101) and its controls.
constexpr uint16_t kSetupDialogId = 101;
constexpr uint16_t kSetupIconId = 102;
constexpr int kIdSetupExit = 1000;
constexpr int kIdSetupProduct = 1001;
constexpr int kIdSetupCreate = 1002;
constexpr int kIdSetupRemove = 1003;
constexpr int kIdSetupStatus = 1004;
extern const kvp::DialogTemplate kSetupDialog;
extern const kvp::ModuleResources kSetupResources;

// The dialog's procedure; the parameter of its opening is the SetupFunctions to run.
intptr_t SetupDlgProc(kvp::HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t lparam);

// The setup dialog; the tool's exit code.
int RunSetupDialog(const SetupFunctions& f);
