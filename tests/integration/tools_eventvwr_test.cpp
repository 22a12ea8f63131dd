// kveventvwr as a user runs it: records written through the event log calls, the source
// registered (or not) as the setup tool registers it, the output read back.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "kv/eventlog.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "kv/time.h"
#include "test_support.h"

namespace {

const char kSourceKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KVTFTP";

const std::string kMissing =
    "The description for Event ID 1 from source Other cannot be found. Either the component "
    "that raises this event is not installed on your local computer or the installation is "
    "corrupted. You can install or repair the component on the local computer.";

// The event ID of a record's first line ("<date> <time>  <type>  <source>  Event ID: <id>
// (0x4000000<id>)  Category: None"); false for any other line.
bool HeadId(const std::string& line, const std::string& source, std::string* id) {
    const std::string mask = "dddd-dd-dd dd:dd:dd  ";
    if (line.size() < mask.size() + 11) return false;
    for (size_t i = 0; i < mask.size(); ++i)
        if (mask[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(line[i]))
                           : line[i] != mask[i])
            return false;
    const std::string type = line.substr(mask.size(), 11);
    if (type != "Information" && type != "Warning    ") return false;
    const std::string rest = line.substr(mask.size() + 11);
    const std::string lead = "  " + source + "  Event ID: ";
    if (rest.compare(0, lead.size(), lead) != 0) return false;
    *id = rest.substr(lead.size(), 1);
    return rest.substr(lead.size() + 1) == " (0x4000000" + *id + ")  Category: None";
}

class EventViewerTest : public ::testing::Test {
  protected:
    void Report(const char* source, uint32_t id, std::vector<const char*> strings = {},
                uint16_t type = kvp::kEventlogInformationType) {
        kvp::HEventSource src = kvp::RegisterEventSourceA(nullptr, source);
        ASSERT_NE(src, nullptr);
        EXPECT_TRUE(kvp::ReportEventA(src, type, 0, id, strings.data(),
                                      static_cast<uint16_t>(strings.size())));
        EXPECT_TRUE(kvp::DeregisterEventSource(src));
    }
    // Registers the source as the support library does: an expandable list of files.
    void Register(const std::string& files) {
        kvtest::SetMachineString(kSourceKey, "EventMessageFile", kvp::kRegExpandSz, files);
        kvtest::SetMachineDword(kSourceKey, "TypesSupported", 7);
    }
    std::vector<std::string> View(std::vector<std::string> args = {}) {
        args.insert(args.begin(), kvtest::BinDir() + "/kveventvwr");
        const std::string out = env_.dir() + "/view.txt";
        kvp::pid_type pid = kvp::SpawnProcess(args, out);
        EXPECT_GT(pid, 0);
        EXPECT_EQ(kvp::WaitProcess(pid), 0);
        return kvtest::Lines(kvtest::ReadFile(out));
    }

    kvtest::TestEnv env_;
};

// Each record: one line with time, type, source, ID and category, then its description.
TEST_F(EventViewerTest, RecordsShowTheirDescriptionsFromTheMessageFile) {
    kvp::SetEnv("KVTEST_MODULES", kvtest::TestBinDir().c_str());
    Register("%SystemRoot%\\missing\\NOSUCH.DLL;%KVTEST_MODULES%\\KVMSGTEST.DLL");
    Report("KVTFTP", 0x40000002);
    Report("KVTFTP", 0x40000001, {"RRQ from 127.0.0.1:1234 for a.txt:octet."});
    Report("KVTFTP", 0x40000003);
    Report("KVTFTP", 0x40000004);
    Report("KVTFTP", 0x40000005);
    Report("KVTFTP", 0x40000001, {"name with \x1b[31m escape"}, kvp::kEventlogWarningType);

    const std::vector<std::string> lines = View();
    const std::vector<std::string> descriptions = {
        "    The TFTP server has been successfully started.",
        "    TFTP message: RRQ from 127.0.0.1:1234 for a.txt:octet.",
        "    The TFTP server has been successfully stopped.",
        "    No more transfers can happen.",
        "    The TFTP server has been successfully paused.",
        "    All current transfers are unaffected.",
        "    No new transfers will be allowed.",
        "    The TFTP server has been successfully resumed.",
        "    TFTP message: name with \\x1B[31m escape",
    };
    std::vector<std::string> ids, texts;
    for (const std::string& l : lines) {
        std::string id;
        if (HeadId(l, "KVTFTP", &id))
            ids.push_back(id);
        else
            texts.push_back(l);
    }
    EXPECT_EQ(ids, (std::vector<std::string>{"2", "1", "3", "4", "5", "1"}));
    EXPECT_EQ(texts, descriptions);
    EXPECT_NE(lines.back().find("escape"), std::string::npos);
    EXPECT_NE(lines[lines.size() - 2].find("  Warning  "), std::string::npos);

    // The last records, and one source only.
    const std::vector<std::string> last = View({"-n", "2"});
    ASSERT_EQ(last.size(), 4u);
    EXPECT_EQ(last[1], descriptions[7]);
    Report("Other", 0x40000002);
    EXPECT_EQ(View({"-s", "kvtftp", "-n", "1"}).size(), 2u);
}

TEST_F(EventViewerTest, WithoutMessageTextTheInsertionStringsShow) {
    Register(kvtest::TestBinDir() + "/kvmsgtest.so");
    Report("Other", 0x40000001, {"first string", "second string"});
    Report("KVTFTP", 0x40000009, {"only string"});
    Report("Other", 7);
    const std::vector<std::string> lines = View();
    const std::vector<std::string> expected_other = {
        "    " + kMissing,
        "",
        "    If the event originated on another computer, the display information had to be "
        "saved with the event.",
        "",
        "    The following information was included with the event:",
        "",
        "    first string",
        "    second string",
    };
    ASSERT_EQ(lines.size(), 1 + 8 + 1 + 7 + 1 + 3u);
    EXPECT_NE(lines[0].find("  Other  Event ID: 1 (0x40000001)"), std::string::npos);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 9), expected_other);
    // A registered source whose table lacks the identifier shows the same.
    EXPECT_EQ(lines[10].substr(0, 49), "    The description for Event ID 9 from source KV");
    EXPECT_EQ(lines[16], "    only string");
    // An identifier without the high bits shows as it is; no strings, no list.
    EXPECT_NE(lines[17].find("  Other  Event ID: 7  Category: None"), std::string::npos);
    EXPECT_EQ(lines.back(), expected_other[2]);
}

TEST_F(EventViewerTest, FollowingPrintsRecordsAsTheyArrive) {
    Register(kvtest::TestBinDir() + "/kvmsgtest.so");
    Report("KVTFTP", 0x40000002);
    const std::string out = env_.dir() + "/follow.txt";
    kvp::pid_type pid = kvp::SpawnProcess({kvtest::BinDir() + "/kveventvwr", "-f"}, out);
    ASSERT_GT(pid, 0);
    auto wait_lines = [&out](size_t n) {
        std::vector<std::string> lines;
        for (int i = 0; i < 100 && lines.size() < n; ++i) {
            kvp::Sleep(50);
            lines = kvtest::Lines(kvtest::ReadFile(out));
        }
        return lines;
    };
    EXPECT_EQ(wait_lines(2).size(), 2u);
    Report("KVTFTP", 0x40000003);
    const std::vector<std::string> lines = wait_lines(5);
    EXPECT_TRUE(kvp::KillProcess(pid));
    kvp::WaitProcess(pid);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[1], "    The TFTP server has been successfully started.");
    EXPECT_EQ(lines[4], "    No more transfers can happen.");
}

}  // namespace
