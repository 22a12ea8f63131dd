// kvreg as a user runs it against the registry stand-in: what it prints, on which stream,
// its exit status, and what the registry holds afterwards.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kv/process.h"
#include "kv/registry.h"
#include "process_support.h"
#include "reg_script.h"
#include "test_support.h"

namespace {

const char kKey[] = "HKLM\\SOFTWARE\\Korvane\\TFTP Server";
const char kFull[] = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\TFTP Server";
const char kDone[] = "The operation completed successfully.\n";
const char kCancelled[] = "The operation was cancelled by the user.\n";
const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";

struct Outcome {
    int status = -1;
    std::string out, err;
};

class KvregTest : public ::testing::Test {
  protected:
    // Runs kvreg with the arguments, input on its stdin.
    Outcome Reg(const std::vector<std::string>& args, const std::string& input = "") {
        const std::string in = env_.dir() + "/in.txt", out = env_.dir() + "/out.txt",
                          err = env_.dir() + "/err.txt";
        kvtest::WriteFile(in, input);
        std::string cmd = "exec " + kvtest::ShellQuote(kvtest::BinDir() + "/kvreg");
        for (const std::string& a : args) cmd += " " + kvtest::ShellQuote(a);
        cmd += " <" + kvtest::ShellQuote(in) + " >" + kvtest::ShellQuote(out) + " 2>" +
               kvtest::ShellQuote(err);
        Outcome r;
        const kvp::pid_type pid = kvp::SpawnProcess({"/bin/sh", "-c", cmd});
        EXPECT_GT(pid, 0);
        r.status = kvp::WaitProcess(pid);
        r.out = kvtest::ReadFile(out);
        r.err = kvtest::ReadFile(err);
        return r;
    }
    void Add(const std::vector<std::string>& args) {
        std::vector<std::string> a = {"add"};
        a.insert(a.end(), args.begin(), args.end());
        const Outcome r = Reg(a);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, kDone);
    }
    // The server's key with a value of each type and a subkey below a subkey.
    void Fill() {
        Add({kKey, "/v", "AllowUploads", "/t", "REG_BINARY", "/d", "01"});
        Add({kKey, "/v", "Rexttimeout", "/t", "REG_DWORD", "/d", "5000"});
        Add({kKey, "/v", "Root", "/d", "C:\\tftp \"root\""});
        Add({kKey, "-V", "Mask", "/T", "reg_dword", "/D", "0xFFFFFFFF"});
        Add({std::string(kKey) + "\\Sub", "/ve", "/t", "REG_EXPAND_SZ", "/d", "%TEMP%\\x"});
        Add({std::string(kKey) + "\\Sub\\Deep", "/v", "List", "/t", "REG_MULTI_SZ", "/d", "a\\0b"});
    }

    kvtest::TestEnv env_;
};

TEST_F(KvregTest, QueryShowsWhatAddSet) {
    Fill();
    const std::string values = std::string(kFull) +
                               "\n"
                               "    AllowUploads    REG_BINARY    01\n"
                               "    Rexttimeout    REG_DWORD    0x1388\n"
                               "    Root    REG_SZ    C:\\tftp \"root\"\n"
                               "    Mask    REG_DWORD    0xffffffff\n\n";
    const std::string sub = std::string(kFull) + "\\Sub";
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{"query", kKey}, "\n" + values + sub + "\n"},
        {{"QUERY", "hkey_local_machine\\SOFTWARE\\Korvane\\TFTP Server\\", "/v", "rexttimeout"},
         std::string("\n") + kFull + "\n    Rexttimeout    REG_DWORD    0x1388\n\n"},
        {{"query", sub, "/ve"}, "\n" + sub + "\n    (Default)    REG_EXPAND_SZ    %TEMP%\\x\n\n"},
        {{"query", kKey, "-s"},
         "\n" + values + sub + "\n    (Default)    REG_EXPAND_SZ    %TEMP%\\x\n\n" + sub +
             "\\Deep\n    List    REG_MULTI_SZ    a\\0b\n\n"},
    };
    for (const auto& c : cases) {
        const Outcome r = Reg(c.args);
        EXPECT_EQ(r.status, 0) << c.args[1];
        EXPECT_EQ(r.out, c.out) << c.args[1];
        EXPECT_EQ(r.err, "");
    }

    // The forms the server reads.
    kvp::RegKey key;
    ASSERT_EQ(kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, "SOFTWARE\\Korvane\\TFTP Server",
                                 kvp::kKeyRead, key.out()),
              kvp::kErrorSuccess);
    const struct {
        const char* name;
        uint32_t type;
        std::vector<uint8_t> bytes;
    } stored[] = {{"AllowUploads", kvp::kRegBinary, {1}},
                  {"Rexttimeout", kvp::kRegDword, {0x88, 0x13, 0, 0}},
                  {"Root",
                   kvp::kRegSz,
                   {'C', ':', '\\', 't', 'f', 't', 'p', ' ', '"', 'r', 'o', 'o', 't', '"', 0}}};
    for (const auto& s : stored) {
        uint8_t data[64];
        uint32_t type = 0, size = sizeof data;
        ASSERT_EQ(kvp::RegQueryValueExA(key.get(), s.name, &type, data, &size), kvp::kErrorSuccess);
        EXPECT_EQ(type, s.type) << s.name;
        EXPECT_EQ(std::vector<uint8_t>(data, data + size), s.bytes) << s.name;
    }
}

TEST_F(KvregTest, FailuresPrintReasonsOnStderrAndExitOne) {
    Fill();
    const std::string add_syntax = "ERROR: Invalid syntax.\nType \"REG ADD /?\" for usage.\n";
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n"},
        {{"frobnicate", kKey}, "ERROR: Invalid syntax.\nType \"REG /?\" for usage.\n"},
        {{"query", "HKLM\\SOFTWARE\\Nobody"}, kNotFound},
        {{"query", kKey, "/v", "Nothing"}, kNotFound},
        {{"query", kKey, "/ve"}, kNotFound},
        {{"delete", "HKLM\\SOFTWARE\\Nobody", "/f"}, kNotFound},
        {{"delete", kKey, "/v", "Nothing", "/f"}, kNotFound},
        {{"export", "HKCU\\Nobody", env_.dir() + "/x.reg"}, kNotFound},
        {{"query", "HKCR\\.txt"}, "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n"},
        {{"query", "\\\\host\\HKLM\\SOFTWARE"},
         "ERROR: Invalid key name.\nType \"REG QUERY /?\" for usage.\n"},
        {{"delete", "HKLM", "/f"}, "ERROR: Invalid key name.\nType \"REG DELETE /?\" for usage.\n"},
        {{"query", kKey, "/v"}, "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
        {{"query", kKey, "/v", "a", "/ve"},
         "ERROR: Invalid syntax.\nType \"REG QUERY /?\" for usage.\n"},
        {{"add", kKey, "/v", "X", "/t", "REG_QWORD", "/d", "1"}, add_syntax},
        {{"add", kKey, "/v", "X", "/x"}, add_syntax},
        {{"add", kKey, "/v", "X", "/t", "REG_DWORD", "/d", "12ab"},
         "ERROR: Invalid syntax. Specify valid numeric value for 'REG_DWORD'.\n"},
        {{"add", kKey, "/v", "X", "/t", "REG_DWORD", "/d", "4294967296"},
         "ERROR: Invalid syntax. Specify valid numeric value for 'REG_DWORD'.\n"},
        {{"add", kKey, "/v", "X", "/t", "REG_BINARY", "/d", "0G"},
         "ERROR: Invalid syntax. Specify valid hexadecimal value for 'REG_BINARY'.\n"},
        {{"add", kKey, "/v", "X", "/t", "REG_BINARY", "/d", "012"},
         "ERROR: Invalid syntax. Specify valid hexadecimal value for 'REG_BINARY'.\n"},
        {{"import", env_.dir() + "/none.reg"},
         "ERROR: Error opening the file. There may be a disk or file system error.\n"},
        {{"import", env_.dir() + "/in.txt"},
         "ERROR: The specified file is not a registry script.\n"},
    };
    for (const auto& c : cases) {
        const Outcome r = Reg(c.args);
        const std::string what = c.args.empty() ? "" : c.args[0] + " " + c.args.back();
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.err, c.err) << what;
        EXPECT_EQ(r.out, "") << what;
    }
    // Nothing of it changed the registry.
    EXPECT_EQ(Reg({"query", kKey, "/v", "X"}).status, 1);
    EXPECT_EQ(Reg({"/?"}).status, 0);
    EXPECT_NE(Reg({"add", "/?"}).out.find("REG ADD KEY"), std::string::npos);
}

TEST_F(KvregTest, QuestionsGoAheadOnlyOnYes) {
    Fill();
    const std::string sub = std::string(kKey) + "\\Sub";
    const struct {
        std::vector<std::string> args;
        std::string input, question;
        bool done;
        std::vector<std::string> check;  // a query that then succeeds (done) or fails
    } cases[] = {
        {{"add", kKey, "/v", "Rexttimeout", "/t", "REG_DWORD", "/d", "1"},
         "",
         "Value Rexttimeout exists, overwrite(Yes/No)? \n",
         false,
         {}},
        {{"add", kKey, "/v", "rexttimeout", "/d", "x"},
         "no\n",
         "Value rexttimeout exists, overwrite(Yes/No)? ",
         false,
         {}},
        {{"delete", kKey, "/v", "Root"},
         "n\n",
         "Delete the registry value Root (Yes/No)? ",
         false,
         {"query", kKey, "/v", "Root"}},
        {{"delete", sub},
         "nope\n",
         "Permanently delete the registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\TFTP "
         "Server\\Sub (Yes/No)? ",
         false,
         {"query", sub + "\\Deep"}},
        {{"add", kKey, "/v", "Rexttimeout", "/t", "REG_DWORD", "/d", "0x10"},
         "YES\n",
         "Value Rexttimeout exists, overwrite(Yes/No)? ",
         true,
         {}},
        {{"delete", kKey, "/v", "Root"},
         "y\n",
         "Delete the registry value Root (Yes/No)? ",
         true,
         {"query", kKey, "/v", "Root"}},
        {{"delete", sub},
         "Y\n",
         "Permanently delete the registry key HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvane\\TFTP "
         "Server\\Sub (Yes/No)? ",
         true,
         {"query", sub}},
    };
    for (const auto& c : cases) {
        const Outcome r = Reg(c.args, c.input);
        EXPECT_EQ(r.status, 0) << c.args[0] << " " << c.input;
        EXPECT_EQ(r.out, c.question + (c.done ? kDone : kCancelled)) << c.input;
        if (!c.check.empty()) {
            EXPECT_EQ(Reg(c.check).status, c.done ? 1 : 0) << c.input;
        }
    }
    EXPECT_NE(Reg({"query", kKey, "/v", "Rexttimeout"}).out.find("REG_DWORD    0x10\n"),
              std::string::npos);
    // /va leaves the key and its subkeys.
    Add({sub + "\\Again", "/v", "a", "/d", "b"});
    EXPECT_EQ(Reg({"delete", kKey, "/va", "/f"}).out, kDone);
    EXPECT_EQ(Reg({"query", kKey}).out, std::string("\n") + kFull + "\n\n" + kFull + "\\Sub\n");
}

TEST_F(KvregTest, ExportDeleteImportGivesTheSameKeys) {
    Fill();
    const std::string file = env_.dir() + "/tftp.reg";
    const Outcome before = Reg({"query", kKey, "/s"});
    ASSERT_EQ(Reg({"export", kKey, file}).out, kDone);
    EXPECT_EQ(kvtest::ReadFile(file).substr(0, 10), "REGEDIT4\n\n");
    EXPECT_NE(kvtest::ReadFile(file).find("\n\"Rexttimeout\"=dword:00001388\n\"Root\"=\"C:\\\\tftp "
                                          "\\\"root\\\"\"\n"),
              std::string::npos);
    EXPECT_EQ(Reg({"export", kKey, file}, "n\n").out,
              "File " + file + " already exists. Overwrite (Yes/No)? " + kCancelled);
    ASSERT_EQ(Reg({"export", kKey, file, "/y"}).out, kDone);
    ASSERT_EQ(Reg({"delete", kKey, "/f"}).out, kDone);
    EXPECT_EQ(Reg({"query", kKey}).status, 1);
    ASSERT_EQ(Reg({"import", file}).out, kDone);
    EXPECT_EQ(Reg({"query", kKey, "/s"}).out, before.out);

    // A script's deletions.
    kvtest::WriteFile(file, "Windows Registry Editor Version 5.00\r\n\r\n[" + std::string(kFull) +
                                "]\r\n\"Root\"=-\r\n\r\n[-" + kFull + "\\Sub]\r\n");
    ASSERT_EQ(Reg({"import", file}).out, kDone);
    EXPECT_EQ(Reg({"query", kKey, "/v", "Root"}).status, 1);
    EXPECT_EQ(Reg({"query", std::string(kKey) + "\\Sub\\Deep"}).status, 1);
    EXPECT_EQ(Reg({"query", kKey, "/v", "Mask"}).status, 0);
}

// The script parser alone: each text's operations, or the line that is wrong.
TEST(KvregScriptTest, ParsesScriptsIntoOperations) {
    using Op = kvreg::ScriptOp;
    const struct {
        std::string text;
        std::vector<std::string> ops;  // kind, key, name, type and bytes in hex
        int bad_line;
    } cases[] = {
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\A]\n\"S\"=\"x\\\\y\\\"\"\n@=dword:00001388\n",
         {"create HKEY_LOCAL_MACHINE\\A", "set HKEY_LOCAL_MACHINE\\A S 1 785C792200",
          "set HKEY_LOCAL_MACHINE\\A  4 88130000"},
         0},
        {"\xEF\xBB\xBFREGEDIT4\r\n[hkcu\\B]\r\n\"H\"=hex:01,ff,\\\r\n  02\r\n\"E\"=hex(2):41,00\r\n"
         "; note\r\n\"N\"=hex(0):\r\n\"D\"=-\r\n[-HKCU\\B\\C]\r\n\"Gone\"=\"x\"\r\n",
         {"create HKEY_CURRENT_USER\\B", "set HKEY_CURRENT_USER\\B H 3 01FF02",
          "set HKEY_CURRENT_USER\\B E 2 4100", "set HKEY_CURRENT_USER\\B N 0 ",
          "delete-value HKEY_CURRENT_USER\\B D", "delete-key HKEY_CURRENT_USER\\B\\C"},
         0},
        {std::string("\xFF\xFER\0E\0G\0E\0D\0I\0T\0"
                     "4\0\n\0[\0H\0K\0L\0M\0]\0",
                     32),
         {"create HKEY_LOCAL_MACHINE"},
         0},
        {"", {}, 0},
        {"REGEDIT5\n[HKLM\\A]\n", {}, 0},
        {"REGEDIT4\n\"a\"=\"b\"\n", {}, 2},
        {"REGEDIT4\n[HKCR\\A]\n", {}, 2},
        {"REGEDIT4\n[HKLM\\A\n", {}, 2},
        {"REGEDIT4\n[HKLM\\A]\n\"a\"=dword:123456789\n", {}, 3},
        {"REGEDIT4\n[HKLM\\A]\n\"a\"=hex:1,zz\n", {}, 3},
        {"REGEDIT4\n[HKLM\\A]\n\"a\"=\"open\n", {}, 3},
        {"REGEDIT4\n[HKLM\\A]\na=\"b\"\n", {}, 3},
    };
    for (const auto& c : cases) {
        std::vector<Op> ops;
        int bad = -1;
        const bool ok = kvreg::ParseScript(c.text, &ops, &bad);
        EXPECT_EQ(ok, !c.ops.empty()) << c.text;
        EXPECT_EQ(bad, c.bad_line) << c.text;
        std::vector<std::string> got;
        for (const Op& op : ops) {
            static const char* const kKinds[] = {"create", "delete-key", "set", "delete-value"};
            std::string s = std::string(kKinds[op.kind]) + " " + kvreg::FullKeyName(op.key);
            if (op.kind == Op::kSetValue || op.kind == Op::kDeleteValue) s += " " + op.name;
            if (op.kind == Op::kSetValue)
                s += " " + std::to_string(op.type) + " " +
                     kvreg::DisplayData(kvp::kRegBinary, op.data);
            got.push_back(s);
        }
        if (ok) {
            EXPECT_EQ(got, c.ops) << c.text;
        }
    }
}

}  // namespace
