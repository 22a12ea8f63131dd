// The applet against a real service run by the service manager stand-in: its buttons
// follow what kvsc does from outside and drive the service themselves, Apply reaches the
// running server, the control panel's conversation releases the support library only
// after every thread of the dialog has ended, and kvcontrol lists and opens applets.
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cpl_fixture.h"
#include "kv/paths.h"
#include "kv/service.h"
#include "process_support.h"
#include "server_harness.h"
#include "service_harness.h"

namespace fs = std::filesystem;

namespace {

using kvtest::ProcessesOf;

using namespace kvcpl;

bool SupportLibraryMapped() {
    return kvtest::ReadFile("/proc/self/maps").find("/kvtftpasc.so") != std::string::npos;
}

size_t ThreadCount() {
    size_t n = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/task")) n += entry.exists();
    return n;
}

class CplServiceTest : public kvtest::CplDialogTest {
  protected:
    void SetUp() override {
        CplDialogTest::SetUp();
        rootA_ = env_.dir() + "/a";
        rootB_ = env_.dir() + "/b";
        fs::create_directories(rootA_);
        fs::create_directories(rootB_);
        kvtest::WriteFile(rootA_ + "/a.txt", "served from a");
        kvtest::WriteFile(rootB_ + "/b.txt", "served from b");
        const kvtest::CommandResult r = svctest::RunProgram({"kvsetup", "-i"});
        ASSERT_EQ(r.status, 0) << r.output;
        PutText("TFTPHome", rootA_);
    }
    void TearDown() override {
        CplDialogTest::TearDown();
        svctest::RunProgram({"kvsc", "stop", "KVTFTP"});
        svctest::WaitUntil([] { return svctest::QueryState() <= kvp::kServiceStopped; }, 12000);
        for (long pid : ProcessesOf("kvtftpsvc")) ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    void Sc(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"kvsc"};
        argv.insert(argv.end(), args.begin(), args.end());
        const kvtest::CommandResult r = svctest::RunProgram(argv);
        EXPECT_EQ(r.status, 0) << r.output;
    }
    // The dialog shows the state: its text, and the two buttons' pictures and states.
    void ExpectState(const char* text, uint16_t runImage, bool runEnabled, uint16_t pauseImage,
                     bool pauseEnabled) {
        ASSERT_TRUE(ui_.WaitText(kIdStatus, text, 20000)) << ui_.Text(kIdStatus);
        EXPECT_EQ(ui_.Image(kIdStartStop), runImage) << text;
        EXPECT_EQ(ui_.Enabled(kIdStartStop), runEnabled) << text;
        EXPECT_EQ(ui_.Image(kIdPauseResume), pauseImage) << text;
        EXPECT_EQ(ui_.Enabled(kIdPauseResume), pauseEnabled) << text;
    }
    void ExpectStopped() {
        ExpectState("The service is not running.", kIconStart, true, kIconPause, false);
    }
    void ExpectRunning() {
        ExpectState("The service is running.", kIconStop, true, kIconPause, true);
    }
    void ExpectPaused() {
        ExpectState("The service is paused.", kIconStop, true, kIconResume, true);
    }
    // Waits until the start type buttons show the type, all enabled.
    bool WaitStartType(int checked) {
        return ui_.WaitFor(
            [&] {
                for (int id : {kIdStartAuto, kIdStartManual, kIdStartDisabled})
                    if (!ui_.Enabled(id) || (ui_.Checked(id) == 1u) != (id == checked))
                        return false;
                return true;
            },
            20000);
    }
    // A download from the service, repeated while a restarted listener takes its port.
    std::string Fetch(const std::string& name) {
        srvtest::TransferResult r;
        for (int attempt = 0; attempt < 10 && !r.ok && !r.gotError; ++attempt) {
            srvtest::Peer peer;
            // Quick tries while the port is taken again, then as long as a loaded
            // machine may take to answer.
            r = srvtest::Download(peer, env_.tftpPort(), name, "octet",
                                  attempt < 3 ? 500 : srvtest::kPromptMs);
        }
        return r.ok ? r.data : "<failed: " + r.errorText + ">";
    }

    std::string rootA_, rootB_;
};

TEST_F(CplServiceTest, TheButtonsFollowTheServiceAndDriveIt) {
    Open();
    ExpectStopped();
    EXPECT_TRUE(WaitStartType(kIdStartManual));

    // From outside, with the service manager's command line.
    Sc({"start", "KVTFTP"});
    ExpectRunning();
    EXPECT_EQ(Fetch("a.txt"), "served from a");
    Sc({"pause", "KVTFTP"});
    ExpectPaused();
    // From the dialog.
    ASSERT_TRUE(ui_.Click(kIdPauseResume));
    ExpectRunning();
    ASSERT_TRUE(ui_.Click(kIdPauseResume));
    ExpectPaused();
    ASSERT_TRUE(ui_.Click(kIdStartStop));
    ExpectStopped();
    ASSERT_TRUE(ui_.Click(kIdStartStop));
    ExpectRunning();
    Sc({"stop", "KVTFTP"});
    ExpectStopped();

    // The start type: set by the dialog, and changed from outside.
    ASSERT_TRUE(ui_.Click(kIdStartAuto));
    EXPECT_TRUE(svctest::WaitUntil(
        [] { return svctest::MachineDword(svctest::kServiceKey, "Start") == 2u; }));
    EXPECT_TRUE(WaitStartType(kIdStartAuto));
    Sc({"config", "KVTFTP", "start=", "disabled"});
    EXPECT_TRUE(WaitStartType(kIdStartDisabled));
    ASSERT_TRUE(ui_.Mnemonic('m'));
    EXPECT_TRUE(svctest::WaitUntil(
        [] { return svctest::MachineDword(svctest::kServiceKey, "Start") == 3u; }));
    EXPECT_TRUE(WaitStartType(kIdStartManual));

    // Removed while the dialog polls: nothing is known any more.
    Sc({"delete", "KVTFTP"});
    ExpectState("Service state unknown. An error has occurred.", kIconStart, false, kIconPause,
                false);
    EXPECT_TRUE(ui_.WaitFor([&] { return !ui_.Enabled(kIdStartManual); }, 20000));
    CloseWith(kIdCancel);
}

TEST_F(CplServiceTest, ApplyReachesTheRunningServerOnlyWhenTheSettingsWereWritten) {
    Sc({"start", "KVTFTP"});
    ASSERT_TRUE(svctest::WaitForState(kvp::kServiceRunning));
    Open();
    ExpectRunning();
    EXPECT_EQ(Fetch("a.txt"), "served from a");

    // The key names b behind the service's back; a write that fails tells it nothing.
    PutText("TFTPHome", rootB_);
    BlockHiveWrites();
    ASSERT_TRUE(ui_.Type(kIdRootDirectory, rootB_));
    ASSERT_TRUE(ui_.Click(kIdApply));
    EXPECT_EQ(ui_.Text(kIdStatus), "The settings were not saved.");
    EXPECT_EQ(Fetch("a.txt"), "served from a");
    EXPECT_NE(Fetch("b.txt"), "served from b");

    // Written, the service takes the settings up at once.
    UnblockHiveWrites();
    ASSERT_TRUE(ui_.Click(kIdApply));
    EXPECT_EQ(ui_.Text(kIdStatus), "Parameter change request sent.");
    EXPECT_EQ(Fetch("b.txt"), "served from b");
    CloseWith(kIdOk);
    EXPECT_EQ(svctest::QueryState(), kvp::kServiceRunning);
}

// What the control panel sent, and what the process looked like when it did.
std::vector<uint32_t> g_sent;
bool g_mappedInDialog = false;
bool g_mappedAtStop = true;

int32_t KV_STDCALL RecordingEntry(kvp::HDlg owner, uint32_t msg, intptr_t p1, intptr_t p2) {
    g_sent.push_back(msg);
    if (msg == kvp::kCplStop) g_mappedAtStop = SupportLibraryMapped();
    return CPlApplet(owner, msg, p1, p2);
}

TEST_F(CplServiceTest, TheControlPanelsConversationReleasesTheLibraryAfterEveryThread) {
    const size_t threadsBefore = ThreadCount();
    EXPECT_FALSE(SupportLibraryMapped());
    ui_.Run(
        [] { return static_cast<intptr_t>(kvcontrol::OpenApplet(RecordingEntry, 0, nullptr)); });
    ASSERT_TRUE(ui_.WaitOpen(kDialogServer));
    ASSERT_TRUE(ui_.Settle());
    ASSERT_TRUE(ui_.WaitFor([] { return DialogReady(); }));
    ExpectStopped();
    g_mappedInDialog = SupportLibraryMapped();
    // The start waits a second inside the library; the dialog is cancelled meanwhile.
    ASSERT_TRUE(ui_.Click(kIdStartStop));
    ASSERT_TRUE(ui_.Click(kIdCancel));
    intptr_t opened = 0;
    ASSERT_TRUE(ui_.WaitDone(&opened, 20000));
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(g_sent, (std::vector<uint32_t>{kvp::kCplInit, kvp::kCplGetCount, kvp::kCplInquire,
                                             kvp::kCplDblClk, kvp::kCplStop, kvp::kCplExit}));
    EXPECT_TRUE(g_mappedInDialog);
    EXPECT_FALSE(g_mappedAtStop) << "released when the dialog ended";
    // The start came through whole before the library went.
    EXPECT_TRUE(svctest::WaitForState(kvp::kServiceRunning));
    EXPECT_TRUE(svctest::WaitUntil([&] { return ThreadCount() <= threadsBefore + 1; }))
        << "the session's own dialog thread at most";
}

TEST_F(CplServiceTest, KvcontrolListsAndOpensApplets) {
    const std::string bin = kvtest::BinDir() + "/";
    char system[261];
    ASSERT_NE(kvp::GetSystemDirectoryA(system, sizeof system), 0u);
    fs::copy_file(bin + "kvtftpcpl.cpl", std::string(system) + "/extra.cpl");
    kvtest::WriteFile(std::string(system) + "/broken.cpl", "not a library");
    kvtest::CommandResult r = svctest::RunProgram({"kvcontrol"});
    EXPECT_EQ(r.status, 0);
    const std::string entry =
        "TFTP Server\n    Configures and manages the TFTP server service\n    ";
    EXPECT_NE(r.output.find(entry + bin + "KVTFTPCPL.CPL,@0\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(entry + system + "/extra.cpl,@0\n"), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(std::string(system) + "/broken.cpl\n    cannot be loaded: "),
              std::string::npos)
        << r.output;

    // Without a display the dialog cannot be made: the applet says so, and kvcontrol
    // ends its conversation normally.
    r = svctest::RunProgram({"/usr/bin/env", "-u", "DISPLAY", bin + "kvcontrol", "KVTFTPCPL.CPL"});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_NE(env_.msgboxLog().find("Failed to create the control panel\t"), std::string::npos);
    r = svctest::RunProgram({"kvcontrol", "extra.cpl,@1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("has no applet 1"), std::string::npos) << r.output;
    r = svctest::RunProgram({"kvcontrol", "missing.cpl"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.output.find("missing.cpl cannot be loaded"), std::string::npos) << r.output;
}

}  // namespace
