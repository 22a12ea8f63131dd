#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kv/paths.h"
#include "kv/registry.h"
#include "settings.h"
#include "test_support.h"

namespace {

class SettingsTest : public ::testing::Test {
  protected:
    ServerSettings settings_{};
    kvtest::TestEnv env_;

    kvp::RegKey CreateKey() {
        kvp::RegKey key;
        uint32_t disp = 0;
        EXPECT_EQ(kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyAllAccess,
                                       key.out(), &disp),
                  kvp::kErrorSuccess);
        return key;
    }
    static void SetText(kvp::HKey k, const char* name, const std::string& v) {
        ASSERT_EQ(
            kvp::RegSetValueExA(k, name, kvp::kRegSz, reinterpret_cast<const uint8_t*>(v.c_str()),
                                static_cast<uint32_t>(v.size() + 1)),
            kvp::kErrorSuccess);
    }
    static void SetByte(kvp::HKey k, const char* name, uint8_t b) {
        ASSERT_EQ(kvp::RegSetValueExA(k, name, kvp::kRegBinary, &b, 1), kvp::kErrorSuccess);
    }
    static std::string QueryRaw(const char* name, uint32_t* type) {
        kvp::RegKey key;
        if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyRead, key.out()) !=
            kvp::kErrorSuccess)
            return "<no key>";
        uint8_t buf[2048];
        uint32_t size = sizeof buf;
        if (kvp::RegQueryValueExA(key.get(), name, type, buf, &size) != kvp::kErrorSuccess)
            return "<missing>";
        return std::string(reinterpret_cast<char*>(buf), size);
    }
    static std::string Cwd() {
        char buf[261];
        EXPECT_GT(kvp::GetCurrentDirectoryA(buf, sizeof buf), 0u);
        return buf;
    }
};

TEST_F(SettingsTest, MissingKeyIsCreatedWithEveryDefault) {
    EXPECT_EQ(LoadServerParameters(&settings_), 0);
    uint32_t type = 0;
    EXPECT_EQ(QueryRaw("TFTPHome", &type), Cwd() + std::string(1, '\0'));
    EXPECT_EQ(type, kvp::kRegSz);
    EXPECT_EQ(QueryRaw("SyslogHost", &type), std::string("localhost", 10));
    EXPECT_EQ(QueryRaw("FacilityName", &type), std::string("Daemon", 7));
    EXPECT_EQ(QueryRaw("AllowedClients", &type), std::string(1, '\0'));
    EXPECT_EQ(QueryRaw("Version", &type), std::string("2.0", 4));
    const char* ones[] = {"SendBackErrors", "AllowDownloads", "AllowUploads"};
    for (const char* name : ones) {
        EXPECT_EQ(QueryRaw(name, &type), std::string(1, '\1')) << name;
        EXPECT_EQ(type, kvp::kRegBinary) << name;
    }
    const char* zeros[] = {"LogEventLogs", "LogSyslogs", "ClientRestrict", "AllowOverwrite"};
    for (const char* name : zeros) EXPECT_EQ(QueryRaw(name, &type), std::string(1, '\0')) << name;
    EXPECT_EQ(QueryRaw("Retransmits", &type), std::string("\x06\0\0\0", 4));
    EXPECT_EQ(type, kvp::kRegDword);
    EXPECT_EQ(QueryRaw("Rexttimeout", &type), std::string("\x88\x13\0\0", 4));
    EXPECT_EQ(QueryRaw("RootDirectory", &type), "<missing>");

    // The next load finds the key it created.
    EXPECT_EQ(LoadServerParameters(&settings_), 1);
    EXPECT_EQ(std::string(settings_.rootDirectory), Cwd());
}

TEST_F(SettingsTest, KeyWithOnlyHomeKeepsOtherDefaultsAndIsNotCompleted) {
    {
        kvp::RegKey key = CreateKey();
        SetText(key.get(), "TFTPHome", "/srv/tftp");
    }
    const std::string before =
        kvtest::ReadFile(env_.dir() + "/state/registry/HKEY_LOCAL_MACHINE.reg");
    EXPECT_EQ(LoadServerParameters(&settings_), 1);
    EXPECT_STREQ(settings_.rootDirectory, "/srv/tftp");
    EXPECT_STREQ(settings_.syslogHost, "localhost");
    EXPECT_STREQ(settings_.facilityName, "Daemon");
    EXPECT_EQ(settings_.retransmits, 6);
    EXPECT_EQ(settings_.rexttimeout, 5000u);
    EXPECT_EQ(settings_.sendBackErrors, 1);
    EXPECT_EQ(settings_.allowDownloads, 1);
    EXPECT_EQ(settings_.allowUploads, 1);
    EXPECT_EQ(settings_.allowOverwrite, 0);
    EXPECT_EQ(settings_.clientRestrict, 0);
    EXPECT_STREQ(settings_.allowedClients, "");
    uint32_t type = 0;
    EXPECT_EQ(QueryRaw("Retransmits", &type), "<missing>");
    EXPECT_EQ(kvtest::ReadFile(env_.dir() + "/state/registry/HKEY_LOCAL_MACHINE.reg"), before);
}

TEST_F(SettingsTest, FlagByteTwoFollowsEachFlagsOwnTest) {
    {
        kvp::RegKey key = CreateKey();
        for (const char* name : {"AllowDownloads", "AllowUploads", "LogEventLogs", "LogSyslogs",
                                 "ClientRestrict", "SendBackErrors", "AllowOverwrite"})
            SetByte(key.get(), name, 2);
    }
    LoadServerParameters(&settings_);
    // Flags that are on only for the byte 1.
    EXPECT_FALSE(FlagIsOne(settings_.allowDownloads));
    EXPECT_FALSE(FlagIsOne(settings_.allowUploads));
    EXPECT_FALSE(FlagIsOne(settings_.logEventLogs));
    EXPECT_FALSE(FlagIsOne(settings_.logSyslogs));
    // Flags that are on for any byte but 0.
    EXPECT_TRUE(FlagNotZero(settings_.clientRestrict));
    EXPECT_TRUE(FlagNotZero(settings_.sendBackErrors));
    EXPECT_TRUE(FlagNotZero(settings_.allowOverwrite));
    EXPECT_EQ(settings_.allowDownloads, 2);
}

TEST_F(SettingsTest, ValuesTooLongOrOfAnotherTypeKeepTheDefault) {
    {
        kvp::RegKey key = CreateKey();
        SetText(key.get(), "TFTPHome", std::string(261, 'r'));     // one over 260
        SetText(key.get(), "SyslogHost", std::string(64, 'h'));    // one over 63
        SetText(key.get(), "FacilityName", std::string(19, 'f'));  // fits exactly
        SetText(key.get(), "AllowedClients", std::string(1025, 'a'));
        uint8_t two[2] = {1, 1};
        ASSERT_EQ(kvp::RegSetValueExA(key.get(), "AllowOverwrite", kvp::kRegBinary, two, 2),
                  kvp::kErrorSuccess);
        uint8_t dw[4] = {0, 0, 0, 1};
        ASSERT_EQ(kvp::RegSetValueExA(key.get(), "ClientRestrict", kvp::kRegDword, dw, 4),
                  kvp::kErrorSuccess);
        SetText(key.get(), "Retransmits", "9");
        uint8_t rext[4] = {0xE8, 0x03, 0, 0};
        ASSERT_EQ(kvp::RegSetValueExA(key.get(), "Rexttimeout", kvp::kRegDword, rext, 4),
                  kvp::kErrorSuccess);
    }
    LoadServerParameters(&settings_);
    EXPECT_EQ(std::string(settings_.rootDirectory), Cwd());
    EXPECT_STREQ(settings_.syslogHost, "localhost");
    EXPECT_EQ(std::string(settings_.facilityName), std::string(19, 'f'));
    EXPECT_STREQ(settings_.allowedClients, "");
    EXPECT_EQ(settings_.allowOverwrite, 0);
    EXPECT_EQ(settings_.clientRestrict, 0);
    EXPECT_EQ(settings_.retransmits, 6);
    EXPECT_EQ(settings_.rexttimeout, 1000u);
}

TEST_F(SettingsTest, RecordWritesTheCurrentRecord) {
    LoadServerParameters(&settings_);
    EXPECT_EQ(settings_.negotiateOptions, 0) << "absent: off";
    SetByte(CreateKey().get(), "NegotiateOptions", 1);
    std::strcpy(settings_.rootDirectory, "/data/tftp root");
    settings_.retransmits = -1;
    settings_.allowOverwrite = 1;
    std::strcpy(settings_.allowedClients, "10.0.0.5; printer01");
    ASSERT_EQ(RecordServerParameters(settings_), 1);
    SetDefaultServerSettings(&settings_);
    ASSERT_EQ(LoadServerParameters(&settings_), 1);
    EXPECT_STREQ(settings_.rootDirectory, "/data/tftp root");
    EXPECT_EQ(settings_.retransmits, -1);
    EXPECT_EQ(settings_.allowOverwrite, 1);
    EXPECT_STREQ(settings_.allowedClients, "10.0.0.5; printer01");
    // No dialog shows the option flag: recording a record read before it was set keeps it.
    EXPECT_EQ(settings_.negotiateOptions, 1);
}

}  // namespace
