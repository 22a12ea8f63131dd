// The exports of the service support library kvtftpasc. No program links against it:
// each loads it by name (see loader/) and looks the functions up; the pointer types
// below are what they bind the names to.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kv/export.h"

// The thread routine that SpawnThread runs: the platform's thread start routine.
using KvThreadRoutine = uint32_t(KV_STDCALL*)(void* arg);

// Room a caller gives ReturnSvcInstallDirectory and GetProductInformationCopy.
constexpr size_t kInstallDirectoryRoom = 261;
constexpr size_t kProductInformationRoom = 512;

extern "C" {
// ---- the service ----
uint32_t AddSvcToMachine(void);
uint32_t RemoveSvcFromMachine(void);
uint32_t DoSvcStart(void);
uint32_t DoSvcStop(void);
uint32_t DoSvcPause(void);
uint32_t DoSvcResume(void);
uint32_t DoSvcParamChange(void);
uint32_t GetSvcStatus(void);
const char* GetStatusAsString(uint32_t state);
uint32_t QueryStartupType(void);
uint32_t SetStartupType(uint32_t startType);
uint32_t SetSvcInstallDirectory(void);
uint32_t ReturnSvcInstallDirectory(char* buffer);
void SvcError(const char* caption);
int GenericMessage(const char* caption, const char* text);
uint32_t SpawnThread(KvThreadRoutine routine, void* arg, uint32_t runInline);

// ---- the event source ----
uint32_t AddEventSource(void);
uint32_t RemoveEventSource(void);
uint32_t CheckEventSource(void);
void SendGenericLogMessage(const char* text);
uint32_t SendServerStartedMessage(void);
uint32_t SendServerStoppedMessage(void);
uint32_t SendServerPausedMessage(void);
uint32_t SendServerResumedMessage(void);
uint32_t OpenEventViewer(void);

// ---- the control panel registration and the product information ----
uint32_t AddCplToMachine(void);
uint32_t RemoveCplFromMachine(void);
uint32_t AddCplToRegistry(const char* directory);
uint32_t RemoveCplFromRegistry(void);
uint32_t AddCplToSystemRoot(const char* directory);
uint32_t RemoveCplFromSystemRoot(void);
const char** GetProductInformation(const char** text);
void GetProductInformationCopy(char* buffer);
}

// The names as the programs look them up, and the types they bind them to.
namespace kvasc {
using VoidFn = uint32_t (*)(void);
using StatusTextFn = decltype(&GetStatusAsString);
using SetStartupTypeFn = decltype(&SetStartupType);
using ReturnDirectoryFn = decltype(&ReturnSvcInstallDirectory);
using SvcErrorFn = decltype(&SvcError);
using GenericMessageFn = decltype(&GenericMessage);
using SpawnThreadFn = decltype(&SpawnThread);
using LogMessageFn = decltype(&SendGenericLogMessage);
using DirectoryFn = decltype(&AddCplToRegistry);
using ProductInformationFn = decltype(&GetProductInformation);
using ProductInformationCopyFn = decltype(&GetProductInformationCopy);
}  // namespace kvasc
