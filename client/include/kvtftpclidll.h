// The client library's exports (KVTFTPCLIDLL.DLL, kvtftpclidll.so), as an application
// binds them by name. The called function removes its arguments (__stdcall on Windows).
#pragma once

#include "kv/export.h"

extern "C" {
// Starts one transfer on a worker thread: action 0 upload, 1 download; mode 0 netascii,
// 1 octet; logEnable 0 or 1. 1 when the worker was started, 0 when an argument was
// refused or no thread could be made.
int KV_STDCALL TFTPTransfer(const char* server, int action, int mode, const char* localPath,
                            const char* remotePath, int logEnable, const char* logPath);
// 1 while the worker of the last started transfer runs, else 0.
int KV_STDCALL TFTPQueryStatus(void);
}

using TFTPTransferProc = int(KV_STDCALL*)(const char* server, int action, int mode,
                                          const char* localPath, const char* remotePath,
                                          int logEnable, const char* logPath);
using TFTPQueryStatusProc = int(KV_STDCALL*)(void);
