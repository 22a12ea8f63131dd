#include "svc_common.h"

#include <memory>
#include <new>
#include <string>
#include <utility>

#include "kv/debug.h"
#include "kv/errors.h"
#include "kv/thread.h"
#include "kv/ui.h"

namespace {

struct RoutineCall {
    KvThreadRoutine routine;
    void* arg;
};

// The platform's threads run plain functions; the routine has the calling convention
// of a system thread routine.
uint32_t RunRoutine(void* p) {
    std::unique_ptr<RoutineCall> call(static_cast<RoutineCall*>(p));
    return call->routine(call->arg);
}

}  // namespace

void ShowSystemErrorCode(const char* caption, int err) {
    std::string text = kvp::SystemErrorText(err);
    kvp::MessageBoxA(nullptr, text.c_str(), caption,
                     kvp::kMbIconError | kvp::kMbServiceNotification);
    text += '\n';
    kvp::OutputDebugStringA(text.c_str());
}

void ShowSystemError(const char* caption) {
    ShowSystemErrorCode(caption, kvp::LastSystemError());
}

int ShowWarning(const char* caption, const char* text) {
    return kvp::MessageBoxA(nullptr, text, caption, kvp::kMbIconWarning);
}

uint32_t StartRoutineThread(KvThreadRoutine routine, void* arg, uint32_t runInline,
                            kvp::ThreadHandle* started) {
    if (routine == nullptr) return 0;
    auto* call = new (std::nothrow) RoutineCall{routine, arg};
    kvp::ThreadHandle thread;
    if (call != nullptr) {
        thread = kvp::CreateThread(RunRoutine, call);
        if (!thread) delete call;
    }
    if (thread) {
        if (started != nullptr) *started = std::move(thread);
        return 1;
    }
    ShowSystemError("Thread creation failed");
    if (runInline != 0) routine(arg);
    return 0;
}
