#include "kv/signals.h"

#include <csignal>

#include "win32.h"

namespace kvp {

namespace {

// Set by the console's control thread, taken by WaitForTerminationSignal.
HANDLE g_request = nullptr;
volatile LONG g_signal = 0;

BOOL WINAPI OnConsoleControl(DWORD type) {
    LONG sig;
    switch (type) {
        case CTRL_C_EVENT:
            sig = SIGINT;
            break;
        case CTRL_BREAK_EVENT:
            sig = SIGBREAK;
            break;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            sig = SIGTERM;
            break;
        default:
            return FALSE;
    }
    ::InterlockedExchange(&g_signal, sig);
    ::SetEvent(g_request);
    // Windows ends the process once the handler of a close returns: give the program the
    // time its stop takes.
    if (sig == SIGTERM) ::Sleep(10000);
    return TRUE;
}

}  // namespace

bool BlockTerminationSignals() {
    if (!g_request) g_request = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return g_request && ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

int WaitForTerminationSignal() {
    if (!g_request || ::WaitForSingleObject(g_request, INFINITE) != WAIT_OBJECT_0) return -1;
    return static_cast<int>(::InterlockedExchange(&g_signal, 0));
}

}  // namespace kvp
