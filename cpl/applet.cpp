// The applet's entry point, the support library's binding and release, the threads the
// dialog starts, and the product information dialog.
#include "applet.h"

#include <cstdio>
#include <iterator>
#include <mutex>
#include <utility>
#include <vector>

#include "kv/thread.h"
#include "kv/ui.h"
#include "loader.h"
#include "svc_common.h"

namespace kvcpl {

SupportFunctions g_support;
kvp::HLibrary g_supportLibrary = nullptr;

namespace {

std::mutex g_threadsMu;
std::vector<kvp::ThreadHandle> g_threads;
// Manual reset: set from the dialog's end until the next opening.
const kvp::EventHandle g_stop = kvp::CreateEventA(true, false, "applet stop");

bool BindExportsOrSay(const ExportBinding* bindings, size_t count) {
    const char* missing = nullptr;
    if (BindExports(g_supportLibrary, bindings, count, &missing)) return true;
    char text[160];
    std::snprintf(text, sizeof text, "The TFTP server library lacks the function %s.", missing);
    GenericMessage("Load TFTP server DLL", text);
    return false;
}

}  // namespace

// ---- helpers ----------------------------------------------------------------------------

int GenericMessage(const char* caption, const char* text) {
    return ShowWarning(caption, text);
}

void SvcError(const char* caption) {
    ShowSystemError(caption);
}

uint32_t SpawnThread(KvThreadRoutine routine, void* arg, uint32_t runInline) {
    kvp::ThreadHandle thread;
    const uint32_t started = StartRoutineThread(routine, arg, runInline, &thread);
    if (thread) {
        std::lock_guard<std::mutex> hold(g_threadsMu);
        g_threads.push_back(std::move(thread));
    }
    return started;
}

bool AllThreadsEnded() {
    std::lock_guard<std::mutex> hold(g_threadsMu);
    for (const kvp::ThreadHandle& t : g_threads)
        if (kvp::WaitForThread(t, 0) != kvp::WaitResult::kSignaled) return false;
    return true;
}

bool StopRequested() {
    return kvp::WaitForEvent(g_stop, 0) == kvp::WaitResult::kSignaled;
}

bool WaitForStop(uint32_t ms) {
    return kvp::WaitForEvent(g_stop, ms) == kvp::WaitResult::kSignaled;
}

void RequestStop() {
    kvp::SetEvent(g_stop);
}

void ResetStop() {
    kvp::ResetEvent(g_stop);
}

// ---- the support library ---------------------------------------------------------------

bool BindSupportLibrary() {
    g_supportLibrary = LoadSupportLibrary();
    if (g_supportLibrary == nullptr) return false;
    SupportFunctions& f = g_support;
    const ExportBinding bindings[] = {
        {"DoSvcStart", Slot(&f.doSvcStart)},
        {"DoSvcStop", Slot(&f.doSvcStop)},
        {"DoSvcPause", Slot(&f.doSvcPause)},
        {"DoSvcResume", Slot(&f.doSvcResume)},
        {"DoSvcParamChange", Slot(&f.doSvcParamChange)},
        {"GetSvcStatus", Slot(&f.getSvcStatus)},
        {"GetStatusAsString", Slot(&f.getStatusAsString)},
        {"QueryStartupType", Slot(&f.queryStartupType)},
        {"SetStartupType", Slot(&f.setStartupType)},
        {"OpenEventViewer", Slot(&f.openEventViewer)},
        {"AddEventSource", Slot(&f.addEventSource)},
        {"RemoveEventSource", Slot(&f.removeEventSource)},
        {"CheckEventSource", Slot(&f.checkEventSource)},
    };
    if (BindExportsOrSay(bindings, std::size(bindings))) return true;
    ReleaseSupportLibrary();
    return false;
}

void ReleaseSupportLibrary() {
    // The pollers end at the stop; a command thread ends when its library call returns.
    RequestStop();
    std::vector<kvp::ThreadHandle> threads;
    {
        std::lock_guard<std::mutex> hold(g_threadsMu);
        threads.swap(g_threads);
    }
    for (const kvp::ThreadHandle& t : threads) kvp::WaitForThread(t, kvp::kInfinite);
    g_support = SupportFunctions{};
    if (g_supportLibrary != nullptr) kvp::FreeLibrary(g_supportLibrary);
    g_supportLibrary = nullptr;
}

// ---- the product information dialog -----------------------------------------------------

intptr_t ProductInfoDialogProc(kvp::HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t) {
    switch (msg) {
        case kvp::kWmInitDialog: {
            kvasc::ProductInformationFn getProductInformation = nullptr;
            const ExportBinding binding[] = {
                {"GetProductInformation", Slot(&getProductInformation)}};
            const char* text = nullptr;
            if (g_supportLibrary != nullptr && BindExportsOrSay(binding, 1))
                getProductInformation(&text);
            if (text != nullptr) kvp::SetDlgItemTextA(dlg, kIdProductText, text);
            // The library's picture 102 is this module's picture 104.
            kvp::SetDlgItemImage(dlg, kIdProductPicture, kBitmapProduct);
            return 1;
        }
        case kvp::kWmCommand:
            if (kvp::LoWord(wparam) == kIdOk) kvp::EndDialog(dlg, kIdOk);
            return 1;
        case kvp::kWmClose:
            kvp::EndDialog(dlg, 0);
            return 1;
        default:
            return 0;
    }
}

}  // namespace kvcpl

// ---- the entry point --------------------------------------------------------------------

KV_EXPORT int32_t KV_STDCALL CPlApplet(kvp::HDlg owner, uint32_t msg, intptr_t, intptr_t param2) {
    try {
        switch (msg) {
            case kvp::kCplInit:
                return 1;
            case kvp::kCplGetCount:
                return 1;
            case kvp::kCplInquire: {
                auto* info = reinterpret_cast<kvp::CplInfo*>(param2);
                if (info != nullptr) {
                    info->idIcon = kvcpl::kIconApplet;
                    info->idName = kvcpl::kStringName;
                    info->idInfo = kvcpl::kStringInfo;
                    info->lData = 0;
                }
                return 0;
            }
            case kvp::kCplDblClk: {
                const intptr_t r =
                    kvp::DialogBoxIndirectParamA(&kvcpl::kAppletResources, kvcpl::kServerDialog,
                                                 owner, kvcpl::ServerDialogProc, 0);
                if (r == -1) kvcpl::SvcError("Failed to create the control panel");
                // The library goes only after every thread of the dialog has ended, also
                // when the dialog was ended from outside.
                kvcpl::ReleaseSupportLibrary();
                return 0;
            }
            default:
                return 0;
        }
    } catch (...) {
        return 0;
    }
}
