// The client library's two entry points: start one transfer on a worker thread, and
// ask whether that worker still runs.
#include <exception>

#include "client_engine.h"
#include "kv/export.h"
#include "kv/thread.h"

KV_EXPORT int KV_STDCALL TFTPTransfer(const char* server, int action, int mode,
                                      const char* localPath, const char* remotePath, int logEnable,
                                      const char* logPath);
KV_EXPORT int KV_STDCALL TFTPQueryStatus(void);

KV_EXPORT int KV_STDCALL TFTPTransfer(const char* server, int action, int mode,
                                      const char* localPath, const char* remotePath, int logEnable,
                                      const char* logPath) {
    try {
        // Every argument is checked before the settings change, so a refused call
        // leaves a running worker's settings alone.
        if (action != 0 && action != 1) return 0;
        if (mode != 0 && mode != 1) return 0;
        if (logEnable != 0 && logEnable != 1) return 0;
        if (logEnable == 1 && logPath == nullptr) return 0;
        if (localPath == nullptr || remotePath == nullptr) return 0;

        ResetClientSettings();
        ClientSettings& s = g_clientSettings;
        CopySetting(s.TFTPServer, server, kServerNameChars);
        s.Action = static_cast<uint8_t>(action);
        s.TransferMode = static_cast<uint8_t>(mode);
        CopySetting(s.LocalPath, localPath, kPathChars);
        CopySetting(s.RemotePath, remotePath, kPathChars);
        s.LogEnable = static_cast<uint8_t>(logEnable);
        // With logging off a missing path keeps the default.
        if (logPath != nullptr) CopySetting(s.LogPath, logPath, kPathChars);

        kvp::ThreadHandle worker = kvp::CreateThread(ClientTransferThread, nullptr);
        if (!worker) return 0;
        s.worker = std::move(worker);
        return 1;
    } catch (...) {
        return 0;
    }
}

KV_EXPORT int KV_STDCALL TFTPQueryStatus(void) {
    try {
        const kvp::ThreadHandle worker = g_clientSettings.worker;
        if (!worker) return 0;
        uint32_t code = 0;
        if (!kvp::GetExitCodeThread(worker, &code)) return 0;
        if (code == kvp::kStillActive) return 1;
        // The worker has its result but may still be on its way out through this
        // library's code. A caller may free the library as soon as it reads 0, so 0 is
        // said only once the thread is gone: the wait joins it, and takes no longer
        // than the worker's last few instructions.
        kvp::WaitForThread(worker, kvp::kInfinite);
        return 0;
    } catch (...) {
        return 0;
    }
}
