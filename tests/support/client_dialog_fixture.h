// The desktop client's dialog under the headless host, in a fresh state directory whose
// directory is also the current one (the default local and log paths lie there).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "client_dialog.h"
#include "dialog_fixture.h"
#include "kv/dialog_headless.h"
#include "kv/registry.h"
#include "test_support.h"

namespace kvtest {

class ClientDialogTest : public HeadlessDialogTest {
  protected:
    ClientDialogTest() : HeadlessDialogTest(kvcli::kIdClose) {}

    void Open() {
        ui_.Run([] {
            return kvp::DialogBoxIndirectParamA(&kvcli::kClientResources, kvcli::kClientDialog,
                                                nullptr, kvcli::ClientDialogProc, 0);
        });
        ASSERT_TRUE(ui_.WaitOpen(kvcli::kClientDialogId));
        ASSERT_TRUE(ui_.Settle());
    }
    // Ends the dialog with Close and returns its result.
    intptr_t Close() {
        EXPECT_TRUE(ui_.Click(kvcli::kIdClose));
        intptr_t r = -1;
        EXPECT_TRUE(ui_.WaitDone(&r));
        return r;
    }
    // Types into an edit and leaves it for the Go button's neighbour.
    void TypeAndLeave(int id, const std::string& text) {
        ASSERT_TRUE(ui_.Focus(id));
        ASSERT_TRUE(ui_.Type(id, text));
        ASSERT_TRUE(ui_.Focus(kvcli::kIdServer));
    }
    // Fills the dialog for one transfer to 127.0.0.1 and presses Go.
    void Start(int action, int mode, const std::string& local, const std::string& remote,
               bool log) {
        ASSERT_TRUE(ui_.Type(kvcli::kIdServer, "127.0.0.1"));
        ASSERT_TRUE(ui_.Click(action));
        ASSERT_TRUE(ui_.Click(mode));
        ASSERT_TRUE(ui_.Type(kvcli::kIdLocalPath, local));
        ASSERT_TRUE(ui_.Type(kvcli::kIdRemotePath, remote));
        if ((ui_.Checked(kvcli::kIdLogEnabled) == 1u) != log) {
            ASSERT_TRUE(ui_.Click(kvcli::kIdLogEnabled));
        }
        ASSERT_TRUE(ui_.Click(kvcli::kIdGo));
    }
    // The default log file.
    std::string LogPath() const { return cwd_ + "/tftpclilog.txt"; }
    bool LogHas(const std::string& line) const {
        return ReadFile(LogPath()).find(line) != std::string::npos;
    }
    bool WaitComplete(uint32_t ms = 60000) {
        return ui_.WaitText(kvcli::kIdStatus, "Transfer complete.", ms) &&
               ui_.WaitText(kvcli::kIdGo, "Go", ms);
    }

    // The client key's values.
    static long OpenKey(kvp::RegKey* key) {
        return kvp::RegOpenKeyExA(kvp::kHkeyCurrentUser, kvcli::kClientKey, kvp::kKeyRead,
                                  key->out());
    }
    static std::string KeyText(const char* name) {
        kvp::RegKey key;
        if (OpenKey(&key) != kvp::kErrorSuccess) return "<no key>";
        char buf[1024] = "";
        uint32_t size = sizeof buf, type = 0;
        if (kvp::RegQueryValueExA(key.get(), name, &type, reinterpret_cast<uint8_t*>(buf), &size) !=
            kvp::kErrorSuccess)
            return "<missing>";
        return type == kvp::kRegSz ? std::string(buf) : "<not text>";
    }
    static int KeyFlag(const char* name) {
        kvp::RegKey key;
        if (OpenKey(&key) != kvp::kErrorSuccess) return -1;
        uint8_t b[4] = {};
        uint32_t size = sizeof b, type = 0;
        if (kvp::RegQueryValueExA(key.get(), name, &type, b, &size) != kvp::kErrorSuccess ||
            type != kvp::kRegBinary || size != 1)
            return -1;
        return b[0];
    }
    static void PutValue(const char* name, uint32_t type, const std::string& data) {
        kvp::RegKey key;
        uint32_t disposition = 0;
        ASSERT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyCurrentUser, kvcli::kClientKey, kvp::kKeyAllAccess,
                                       key.out(), &disposition),
                  kvp::kErrorSuccess);
        ASSERT_EQ(kvp::RegSetValueExA(key.get(), name, type,
                                      reinterpret_cast<const uint8_t*>(data.data()),
                                      static_cast<uint32_t>(data.size())),
                  kvp::kErrorSuccess);
    }
    static void PutText(const char* name, const std::string& text) {
        PutValue(name, kvp::kRegSz, text + std::string(1, '\0'));
    }
    static void PutFlag(const char* name, uint8_t v) {
        PutValue(name, kvp::kRegBinary, std::string(1, static_cast<char>(v)));
    }
    std::string HivePath() const { return env_.dir() + "/state/registry/HKEY_CURRENT_USER.reg"; }
};

}  // namespace kvtest
