// The server engine's exports (KVTFTPTSV.DLL, kvtftptsv.so), as its host binds them by
// name: each takes nothing and returns 1, or a system error number when it fails.
#pragma once

#include <cstdint>

#include "kv/export.h"

extern "C" {
uint32_t KV_STDCALL StartTFTPServer(void);
uint32_t KV_STDCALL PauseTFTPServer(void);
uint32_t KV_STDCALL ResumeTFTPServer(void);
uint32_t KV_STDCALL StopTFTPServer(void);
}

// The type of each of the four, for a pointer from GetProcAddress.
using TFTPServerControlProc = uint32_t(KV_STDCALL*)(void);
