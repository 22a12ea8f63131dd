// The support library through its exports: the install directory, the service record it
// creates and removes, the commands on a missing service, the event source and the
// control panel registration.
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "kv/errors.h"
#include "kv/paths.h"
#include "service_harness.h"

namespace fs = std::filesystem;

namespace svctest {
namespace {

class SupportTest : public ::testing::Test {
  protected:
    Support& lib_ = Support::Get();
    kvtest::TestEnv env_;

    std::string InstallDirectory() {
        char buf[kInstallDirectoryRoom] = "unchanged";
        const uint32_t n = lib_.fn<kvasc::ReturnDirectoryFn>("ReturnSvcInstallDirectory")(buf);
        EXPECT_EQ(n, std::strlen(buf) + 1);
        return buf;
    }
    size_t CountBoxes(const std::string& prefix) {
        size_t n = 0;
        for (const std::string& line : kvtest::Lines(env_.msgboxLog()))
            n += line.rfind(prefix, 0) == 0 ? 1 : 0;
        return n;
    }
};

TEST(SupportExports, ExactlyTheNamedFunctions) {
    kvtest::TestEnv env;
    const kvtest::CommandResult r =
        RunProgram({"/usr/bin/nm", "-D", "--defined-only", kvtest::BinDir() + "/kvtftpasc.so"});
    ASSERT_EQ(r.status, 0) << r.output;
    std::set<std::string> names;
    for (const std::string& line : kvtest::Lines(r.output)) {
        const size_t sp = line.rfind(' ');
        if (sp != std::string::npos && line.size() > sp + 2 && line[sp - 1] == 'T')
            names.insert(line.substr(sp + 1));
    }
    const std::set<std::string> expected = {"AddSvcToMachine",
                                            "RemoveSvcFromMachine",
                                            "DoSvcStart",
                                            "DoSvcStop",
                                            "DoSvcPause",
                                            "DoSvcResume",
                                            "DoSvcParamChange",
                                            "GetSvcStatus",
                                            "GetStatusAsString",
                                            "QueryStartupType",
                                            "SetStartupType",
                                            "SetSvcInstallDirectory",
                                            "ReturnSvcInstallDirectory",
                                            "SvcError",
                                            "GenericMessage",
                                            "SpawnThread",
                                            "AddEventSource",
                                            "RemoveEventSource",
                                            "CheckEventSource",
                                            "SendGenericLogMessage",
                                            "SendServerStartedMessage",
                                            "SendServerStoppedMessage",
                                            "SendServerPausedMessage",
                                            "SendServerResumedMessage",
                                            "OpenEventViewer",
                                            "AddCplToMachine",
                                            "RemoveCplFromMachine",
                                            "AddCplToRegistry",
                                            "RemoveCplFromRegistry",
                                            "AddCplToSystemRoot",
                                            "RemoveCplFromSystemRoot",
                                            "GetProductInformation",
                                            "GetProductInformationCopy"};
    EXPECT_EQ(names, expected);
}

TEST_F(SupportTest, InstallDirectoryIsLookedUpWithItsSeparatorAndNeverOverflows) {
    EXPECT_EQ(InstallDirectory(), "");
    SetMachineText(kServerKey, "RootDirectory", "/opt/tftp");
    EXPECT_EQ(InstallDirectory(), "/opt/tftp/");
    SetMachineText(kServerKey, "RootDirectory", "/opt/tftp/");
    EXPECT_EQ(InstallDirectory(), "/opt/tftp/");
    // No room left for the separator: refused rather than cut to another directory.
    SetMachineText(kServerKey, "RootDirectory", "/" + std::string(259, 'd'));
    EXPECT_EQ(InstallDirectory(), "");
    SetMachineText(kServerKey, "RootDirectory", "/" + std::string(258, 'd'));
    EXPECT_EQ(InstallDirectory().size(), 260u);
    // A value that fills the buffer without its terminator is no text.
    {
        kvp::RegKey k;
        ASSERT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyWrite, k.out()),
                  kvp::kErrorSuccess);
        const std::string raw(261, 'x');
        ASSERT_EQ(kvp::RegSetValueExA(k.get(), "RootDirectory", kvp::kRegSz,
                                      reinterpret_cast<const uint8_t*>(raw.data()), 261),
                  kvp::kErrorSuccess);
    }
    EXPECT_EQ(InstallDirectory(), "");
}

TEST_F(SupportTest, SetInstallDirectoryRecordsTheCallersDirectoryAndLogsAnOverwrite) {
    EXPECT_EQ(lib_.call("SetSvcInstallDirectory"), 1u);
    char self[261];
    ASSERT_TRUE(kvp::GetModuleFileNameA(self, sizeof self));
    const std::string dir = fs::path(self).parent_path().string() + "/";
    EXPECT_EQ(MachineText(kServerKey, "RootDirectory"), dir);
    EXPECT_TRUE(Events().empty());
    EXPECT_EQ(lib_.call("SetSvcInstallDirectory"), 1u);
    const std::vector<Event> events = Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, 0x40000001u);
    EXPECT_EQ(events[0].text, "Install directory overwritten.");
}

TEST_F(SupportTest, ServiceIsCreatedWithItsIdentityOnceAndRemoved) {
    // A blank in the path: the program path is quoted, so that no other program runs.
    SetMachineText(kServerKey, "RootDirectory", "/opt/my tftp");
    ASSERT_EQ(lib_.call("AddSvcToMachine"), 1u) << env_.msgboxLog();
    EXPECT_EQ(MachineText(kServiceKey, "ImagePath"), "\"/opt/my tftp/KVTFTPSVC.EXE\"");
    EXPECT_EQ(MachineText(kServiceKey, "DisplayName"), "TFTP server");
    EXPECT_EQ(MachineText(kServiceKey, "Description"), "Korvane TFTP server");
    EXPECT_EQ(MachineDword(kServiceKey, "Start"), 3u);
    EXPECT_EQ(MachineDword(kServiceKey, "Type"), 0x10u);
    EXPECT_EQ(MachineDword(kServiceKey, "ErrorControl"), 1u);
    EXPECT_EQ(lib_.call("QueryStartupType"), 3u);
    EXPECT_EQ(lib_.fn<kvasc::SetStartupTypeFn>("SetStartupType")(2), 1u);
    EXPECT_EQ(lib_.call("QueryStartupType"), 2u);

    EXPECT_EQ(lib_.call("AddSvcToMachine"), 0u);
    EXPECT_EQ(CountBoxes("Install service\t" + kvp::SystemErrorText(1073)), 1u) << env_.msgboxLog();
    // A stopped service: the stop is refused by the manager and the state read silently.
    EXPECT_EQ(lib_.call("DoSvcStop"), 1u);
    EXPECT_EQ(lib_.call("GetSvcStatus"), 1u);
    EXPECT_EQ(lib_.call("RemoveSvcFromMachine"), 1u);
    EXPECT_FALSE(MachineKeyExists(kServiceKey));
    EXPECT_EQ(kvtest::Lines(env_.msgboxLog()).size(), 1u) << env_.msgboxLog();

    // Without a recorded directory the program path is the bare file name.
    kvp::RegKey k;
    ASSERT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyWrite, k.out()),
              kvp::kErrorSuccess);
    ASSERT_EQ(kvp::RegDeleteValueA(k.get(), "RootDirectory"), kvp::kErrorSuccess);
    ASSERT_EQ(lib_.call("AddSvcToMachine"), 1u);
    EXPECT_EQ(MachineText(kServiceKey, "ImagePath"), "KVTFTPSVC.EXE");
}

TEST_F(SupportTest, CommandsOnAMissingServiceFailWithTheirBoxes) {
    for (const char* name : {"DoSvcStart", "DoSvcStop", "DoSvcPause", "DoSvcResume",
                             "DoSvcParamChange", "GetSvcStatus"}) {
        EXPECT_EQ(lib_.call(name), 0u) << name;
    }
    EXPECT_EQ(CountBoxes("Service open error\t" + kvp::SystemErrorText(1060)), 6u)
        << env_.msgboxLog();
    EXPECT_EQ(lib_.call("RemoveSvcFromMachine"), 0u);
    EXPECT_EQ(CountBoxes("Open SCM\t"), 1u);
    // A failure's code is never read as a start type.
    const uint32_t code = lib_.call("QueryStartupType");
    EXPECT_EQ(code, 1060u);
    EXPECT_EQ(CountBoxes("QueryStartupType: Open service handle\t"), 1u);
    EXPECT_EQ(lib_.fn<kvasc::SetStartupTypeFn>("SetStartupType")(3), 0u);
    EXPECT_EQ(CountBoxes("SetStartupType: Open service handle\t"), 1u);
}

TEST_F(SupportTest, StatusTextsAreConstantAndCoverEveryState) {
    auto text = lib_.fn<kvasc::StatusTextFn>("GetStatusAsString");
    const char* unknown = "Service state unknown. An error has occurred.";
    EXPECT_STREQ(text(0), unknown);
    EXPECT_STREQ(text(8), unknown);
    EXPECT_STREQ(text(1), "The service is not running.");
    EXPECT_STREQ(text(4), "The service is running.");
    EXPECT_STREQ(text(5), "The service continue is pending.");
    EXPECT_STREQ(text(7), "The service is paused.");
    // Earlier texts stay valid, and nothing is allocated per call.
    EXPECT_EQ(text(2), text(2));
}

TEST_F(SupportTest, EventSourceIsRegisteredWithTheLibraryAsMessageFile) {
    SetMachineText(kServerKey, "RootDirectory", "/opt/tftp");
    EXPECT_EQ(lib_.call("AddEventSource"), 1u);
    EXPECT_EQ(MachineText(kSourceKey, "EventMessageFile"), "/opt/tftp/KVTFTPASC.DLL");
    EXPECT_EQ(MachineDword(kSourceKey, "TypesSupported"), 7u);
    EXPECT_EQ(lib_.call("CheckEventSource"), 1u);
    SetMachineText(kServerKey, "RootDirectory", "/srv/other/");
    EXPECT_EQ(lib_.call("AddEventSource"), 1u);
    EXPECT_EQ(MachineText(kSourceKey, "EventMessageFile"), "/srv/other/KVTFTPASC.DLL");
    EXPECT_EQ(lib_.call("RemoveEventSource"), 1u);
    EXPECT_EQ(lib_.call("CheckEventSource"), 0u);
    EXPECT_EQ(lib_.call("RemoveEventSource"), 0u);
    EXPECT_EQ(CountBoxes("Remove event source key\t" + kvp::SystemErrorText(2)), 1u)
        << env_.msgboxLog();

    auto log = lib_.fn<kvasc::LogMessageFn>("SendGenericLogMessage");
    log("");
    EXPECT_TRUE(Events().empty());
    log("free text");
    EXPECT_EQ(lib_.call("SendServerStartedMessage"), 1u);
    EXPECT_EQ(lib_.call("SendServerStoppedMessage"), 1u);
    EXPECT_EQ(lib_.call("SendServerPausedMessage"), 1u);
    EXPECT_EQ(lib_.call("SendServerResumedMessage"), 1u);
    const std::vector<Event> events = Events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].id, 0x40000001u);
    EXPECT_EQ(events[0].text, "free text");
    for (uint32_t i = 1; i < 5; ++i) {
        EXPECT_EQ(events[i].id, 0x40000001u + i);
        EXPECT_EQ(events[i].text, "");
    }
}

TEST_F(SupportTest, AppletIsRegisteredInTheListFirstAndInTheSystemDirectoryOtherwise) {
    char system[261];
    ASSERT_GT(kvp::GetSystemDirectoryA(system, sizeof system), 0u);
    const std::string copy = std::string(system) + "/kvtftpcpl.cpl";
    SetMachineText(kServerKey, "RootDirectory", "/opt/tftp/");
    EXPECT_EQ(lib_.call("AddCplToMachine"), 1u);
    EXPECT_EQ(MachineText(kCplsKey, "TFTP server"), "/opt/tftp/KVTFTPCPL.CPL");
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_EQ(lib_.call("RemoveCplFromMachine"), 1u);
    EXPECT_EQ(MachineText(kCplsKey, "TFTP server"), "<missing>");
    EXPECT_EQ(lib_.call("RemoveCplFromMachine"), 0u);

    // The copy replaces an older one, and goes again.
    const std::string from = env_.dir() + "/install/";
    fs::create_directories(from);
    kvtest::WriteFile(from + "kvtftpcpl.cpl", "the applet");
    kvtest::WriteFile(copy, "an older applet");
    auto toSystem = lib_.fn<kvasc::DirectoryFn>("AddCplToSystemRoot");
    EXPECT_NE(toSystem(from.c_str()), 0u);
    EXPECT_EQ(kvtest::ReadFile(copy), "the applet");
    EXPECT_NE(lib_.call("RemoveCplFromSystemRoot"), 0u);
    EXPECT_FALSE(fs::exists(copy));
    EXPECT_EQ(lib_.call("RemoveCplFromSystemRoot"), 0u);
    // A directory too long for the file name is refused, never cut.
    const std::string tooLong = "/" + std::string(255, 'd') + "/";
    EXPECT_EQ(lib_.fn<kvasc::DirectoryFn>("AddCplToRegistry")(tooLong.c_str()), 0u);
    EXPECT_TRUE(env_.msgboxLog().empty()) << env_.msgboxLog();
}

TEST_F(SupportTest, ProductInformationIsOneFixedText) {
    const char* text = nullptr;
    auto get = lib_.fn<kvasc::ProductInformationFn>("GetProductInformation");
    EXPECT_EQ(get(&text), &text);
    ASSERT_NE(text, nullptr);
    const char* again = nullptr;
    get(&again);
    EXPECT_EQ(again, text);
    char copy[kProductInformationRoom];
    lib_.fn<kvasc::ProductInformationCopyFn>("GetProductInformationCopy")(copy);
    EXPECT_STREQ(copy, text);

    const std::string all = text;
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all.substr(all.size() - 2), "\r\n");
    std::vector<std::string> lines;
    for (size_t at = 0; at < all.size();) {
        const size_t end = all.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        lines.push_back(all.substr(at, end - at));
        at = end + 2;
    }
    ASSERT_EQ(lines.size(), 10u) << all;
    EXPECT_EQ(lines[0], "Korvane TFTP server");
    EXPECT_EQ(lines[2], "Version 2.0");
    EXPECT_EQ(lines[5], "A freeware Windows TFTP server service.");
    for (int empty : {1, 4, 8}) EXPECT_EQ(lines[empty], "");
    // "Build date - Www Mmm dd hh:mm:ss yyyy"
    ASSERT_EQ(lines[3].size(), 13u + 24u) << lines[3];
    EXPECT_EQ(lines[3].substr(0, 13), "Build date - ");
    EXPECT_EQ(lines[3][18 + 13 - 1 - 4], ':');
    EXPECT_EQ(lines[6].rfind("Available from ", 0), 0u);
    EXPECT_EQ(lines[9].rfind("For support, contact ", 0), 0u);
    EXPECT_EQ(lines[9].back(), '.');
}

std::atomic<int> g_spawned{0};
uint32_t KV_STDCALL Spawned(void* arg) {
    g_spawned.fetch_add(*static_cast<int*>(arg));
    return 0;
}

TEST_F(SupportTest, SpawnThreadRunsTheRoutineOnAThread) {
    static int step = 3;
    EXPECT_EQ(lib_.fn<kvasc::SpawnThreadFn>("SpawnThread")(Spawned, &step, 0), 1u);
    for (int i = 0; i < 2000 && g_spawned.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(g_spawned.load(), 3);
}

}  // namespace
}  // namespace svctest
