// The setup tool's steps: what it binds of the support library, and the two sequences
// that the command line and the dialog run.
#pragma once

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

// Each step runs whatever the one before returned; failures show their own boxes.
void SetupInstall(const SetupFunctions& f);
void SetupRemove(const SetupFunctions& f);

// The setup dialog; its exit code.
int RunSetupDialog(const SetupFunctions& f);
