// The applet's configuration dialog under the headless host, opened through the
// applet's entry as the control panel opens it, in a fresh state directory that is also
// the current directory (the dialog's default root directory).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "applet.h"
#include "control_panel.h"
#include "dialog_fixture.h"
#include "kv/dialog_headless.h"
#include "kv/registry.h"
#include "test_support.h"

namespace kvtest {

constexpr const char* kServerKey = "SOFTWARE\\Korvane\\TFTP Server";

class CplDialogTest : public HeadlessDialogTest {
  protected:
    CplDialogTest() : HeadlessDialogTest(kvcpl::kIdCancel) {}

    // Opens the dialog as a double click in the control panel does, through the whole
    // conversation with CPlApplet, and waits until it shows the key.
    void Open() {
        ui_.Run([] { return static_cast<intptr_t>(kvcontrol::OpenApplet(CPlApplet, 0, nullptr)); });
        ASSERT_TRUE(ui_.WaitOpen(kvcpl::kDialogServer));
        // Listed as open before its opening has run: until then the readiness is that of
        // the previous opening.
        ASSERT_TRUE(ui_.Settle());
        ASSERT_TRUE(ui_.WaitFor([] { return kvcpl::DialogReady(); }));
        ASSERT_TRUE(ui_.Settle());
    }
    // Ends the dialog with the button (OK, Cancel) and waits until the applet returned.
    void CloseWith(int id) {
        ASSERT_TRUE(ui_.Click(id));
        intptr_t r = 0;
        ASSERT_TRUE(ui_.WaitDone(&r, 20000));
        EXPECT_EQ(ui_.Top(), nullptr);
    }

    // The server key's values: texts, flags as their byte, -1 when missing or of
    // another kind.
    static std::string KeyText(const char* name) {
        kvp::RegKey key;
        if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyRead, key.out()) !=
            kvp::kErrorSuccess)
            return "<no key>";
        std::vector<char> buf(4096);
        uint32_t size = static_cast<uint32_t>(buf.size()), type = 0;
        if (kvp::RegQueryValueExA(key.get(), name, &type, reinterpret_cast<uint8_t*>(buf.data()),
                                  &size) != kvp::kErrorSuccess)
            return "<missing>";
        return type == kvp::kRegSz ? std::string(buf.data()) : "<not text>";
    }
    static int64_t KeyNumber(const char* name) {
        kvp::RegKey key;
        if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyRead, key.out()) !=
            kvp::kErrorSuccess)
            return -1;
        uint8_t b[8] = {};
        uint32_t size = sizeof b, type = 0;
        if (kvp::RegQueryValueExA(key.get(), name, &type, b, &size) != kvp::kErrorSuccess)
            return -1;
        if (type == kvp::kRegBinary && size == 1) return b[0];
        if (type == kvp::kRegDword && size == 4)
            return b[0] | b[1] << 8 | b[2] << 16 | static_cast<int64_t>(b[3]) << 24;
        return -1;
    }
    static void PutText(const char* name, const std::string& text) {
        SetMachineString(kServerKey, name, kvp::kRegSz, text);
    }
    static void PutFlag(const char* name, uint8_t v) {
        SetMachineValue(kServerKey, name, kvp::kRegBinary, &v, 1);
    }
    // The HKEY_LOCAL_MACHINE hive as a file.
    std::string HivePath() const { return env_.dir() + "/state/registry/HKEY_LOCAL_MACHINE.reg"; }
    // A directory at the hive's lock name: readers still read the hive, no writer can take
    // the lock to replace it.
    void BlockHiveWrites() const {
        const std::string lock = env_.dir() + "/state/registry/HKEY_LOCAL_MACHINE.lock";
        std::filesystem::remove(lock);
        std::filesystem::create_directories(lock + "/blocked");
    }
    void UnblockHiveWrites() const {
        std::filesystem::remove_all(env_.dir() + "/state/registry/HKEY_LOCAL_MACHINE.lock");
    }
};

}  // namespace kvtest
