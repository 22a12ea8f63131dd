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
    EXPECT_EQ(LoadServerParameters(), 0);
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
    EXPECT_EQ(LoadServerParameters(), 1);
    EXPECT_EQ(std::string(g_settings.rootDirectory), Cwd());
}

TEST_F(SettingsTest, KeyWithOnlyHomeKeepsOtherDefaultsAndIsNotCompleted) {
    {
        kvp::RegKey key = CreateKey();
        SetText(key.get(), "TFTPHome", "/srv/tftp");
    }
    const std::string before =
        kvtest::ReadFile(env_.dir() + "/state/registry/HKEY_LOCAL_MACHINE.reg");
    EXPECT_EQ(LoadServerParameters(), 1);
    EXPECT_STREQ(g_settings.rootDirectory, "/srv/tftp");
    EXPECT_STREQ(g_settings.syslogHost, "localhost");
    EXPECT_STREQ(g_settings.facilityName, "Daemon");
    EXPECT_EQ(g_settings.retransmits, 6);
    EXPECT_EQ(g_settings.rexttimeout, 5000u);
    EXPECT_EQ(g_settings.sendBackErrors, 1);
    EXPECT_EQ(g_settings.allowDownloads, 1);
    EXPECT_EQ(g_settings.allowUploads, 1);
    EXPECT_EQ(g_settings.allowOverwrite, 0);
    EXPECT_EQ(g_settings.clientRestrict, 0);
    EXPECT_STREQ(g_settings.allowedClients, "");
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
    LoadServerParameters();
    // Flags that are on only for the byte 1.
    EXPECT_FALSE(FlagIsOne(g_settings.allowDownloads));
    EXPECT_FALSE(FlagIsOne(g_settings.allowUploads));
    EXPECT_FALSE(FlagIsOne(g_settings.logEventLogs));
    EXPECT_FALSE(FlagIsOne(g_settings.logSyslogs));
    // Flags that are on for any byte but 0.
    EXPECT_TRUE(FlagNotZero(g_settings.clientRestrict));
    EXPECT_TRUE(FlagNotZero(g_settings.sendBackErrors));
    EXPECT_TRUE(FlagNotZero(g_settings.allowOverwrite));
    EXPECT_EQ(g_settings.allowDownloads, 2);
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
    LoadServerParameters();
    EXPECT_EQ(std::string(g_settings.rootDirectory), Cwd());
    EXPECT_STREQ(g_settings.syslogHost, "localhost");
    EXPECT_EQ(std::string(g_settings.facilityName), std::string(19, 'f'));
    EXPECT_STREQ(g_settings.allowedClients, "");
    EXPECT_EQ(g_settings.allowOverwrite, 0);
    EXPECT_EQ(g_settings.clientRestrict, 0);
    EXPECT_EQ(g_settings.retransmits, 6);
    EXPECT_EQ(g_settings.rexttimeout, 1000u);
}

TEST_F(SettingsTest, RecordWritesTheCurrentRecord) {
    LoadServerParameters();
    std::strcpy(g_settings.rootDirectory, "/data/tftp root");
    g_settings.retransmits = -1;
    g_settings.allowOverwrite = 1;
    std::strcpy(g_settings.allowedClients, "10.0.0.5; printer01");
    ASSERT_EQ(RecordServerParameters(), 1);
    SetDefaultServerSettings(&g_settings);
    ASSERT_EQ(LoadServerParameters(), 1);
    EXPECT_STREQ(g_settings.rootDirectory, "/data/tftp root");
    EXPECT_EQ(g_settings.retransmits, -1);
    EXPECT_EQ(g_settings.allowOverwrite, 1);
    EXPECT_STREQ(g_settings.allowedClients, "10.0.0.5; printer01");
}

}  // namespace
