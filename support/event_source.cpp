// The event source "KVTFTP": its registration with the library as message file, the
// entries of the service's life and free texts, and the event viewer.
#include <cstdint>
#include <cstring>
#include <string>

#include "install_dir.h"
#include "kv/errors.h"
#include "kv/eventlog.h"
#include "kv/export.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "kv/ui.h"
#include "kvtftpasc.h"
#include "svc_common.h"

namespace {

constexpr const char* kSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KVTFTP";
constexpr const char* kMessageFile = "KVTFTPASC.DLL";
constexpr uint32_t kTypesSupported = 7;

constexpr uint32_t kMsgText = 0x40000001;
constexpr uint32_t kMsgStarted = 0x40000002;
constexpr uint32_t kMsgStopped = 0x40000003;
constexpr uint32_t kMsgPaused = 0x40000004;
constexpr uint32_t kMsgResumed = 0x40000005;

// One entry without insertion texts; nonzero once the log was opened and closed again.
uint32_t SendServerMessage(uint32_t id) noexcept {
    return NoThrow(0u, [&]() -> uint32_t {
        kvp::HEventSource src = kvp::RegisterEventSourceA(nullptr, kServiceName);
        if (src == nullptr) return 0;
        kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, id, nullptr, 0);
        return kvp::DeregisterEventSource(src) ? 1 : 0;
    });
}

}  // namespace

KV_EXPORT uint32_t AddEventSource(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        kvp::RegKey key;
        uint32_t disposition = 0;
        const long rc = kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kSourceKey, kvp::kKeyAllAccess,
                                             key.out(), &disposition);
        if (rc != kvp::kErrorSuccess) {
            ShowSystemErrorCode("Add event source key", static_cast<int>(rc));
            return 0;
        }
        // A directory too long for the file name leaves the bare name, as with no directory.
        char file[kPathRoom];
        if (!ComposeInstalledPath(file, sizeof file, kMessageFile))
            std::snprintf(file, sizeof file, "%s", kMessageFile);
        kvp::RegSetValueExA(key.get(), "EventMessageFile", kvp::kRegExpandSz,
                            reinterpret_cast<const uint8_t*>(file),
                            static_cast<uint32_t>(std::strlen(file) + 1));
        const uint32_t types = kTypesSupported;
        kvp::RegSetValueExA(key.get(), "TypesSupported", kvp::kRegDword,
                            reinterpret_cast<const uint8_t*>(&types), sizeof types);
        return 1;
    });
}

KV_EXPORT uint32_t RemoveEventSource(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        const long rc = kvp::RegDeleteKeyA(kvp::kHkeyLocalMachine, kSourceKey);
        if (rc != kvp::kErrorSuccess) {
            ShowSystemErrorCode("Remove event source key", static_cast<int>(rc));
            return 0;
        }
        return 1;
    });
}

KV_EXPORT uint32_t CheckEventSource(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        kvp::RegKey key;
        return kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kSourceKey, kvp::kKeyRead, key.out()) ==
                       kvp::kErrorSuccess
                   ? 1
                   : 0;
    });
}

KV_EXPORT void SendGenericLogMessage(const char* text) {
    if (text == nullptr || text[0] == '\0') return;
    kvp::HEventSource src = kvp::RegisterEventSourceA(nullptr, kServiceName);
    if (src == nullptr) return;
    const char* strings[1] = {text};
    kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, kMsgText, strings, 1);
    kvp::DeregisterEventSource(src);
}

KV_EXPORT uint32_t SendServerStartedMessage(void) {
    return SendServerMessage(kMsgStarted);
}
KV_EXPORT uint32_t SendServerStoppedMessage(void) {
    return SendServerMessage(kMsgStopped);
}
KV_EXPORT uint32_t SendServerPausedMessage(void) {
    return SendServerMessage(kMsgPaused);
}
KV_EXPORT uint32_t SendServerResumedMessage(void) {
    return SendServerMessage(kMsgResumed);
}

KV_EXPORT uint32_t OpenEventViewer(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        if (kvp::CreateProcessA("eventvwr.exe")) return 1;
        if (kvp::CreateProcessA("mmc.exe eventvwr.msc")) return 1;
        kvp::MessageBoxA(nullptr, "Failed to find the event viewer tool", "Warning",
                         kvp::kMbIconInformation);
        return 0;
    });
}
