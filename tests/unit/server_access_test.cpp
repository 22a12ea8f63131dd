// The pure parts of the access checks: matching the allowed-clients list, joining names
// to the root, and the floor under the adaptive time-out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine.h"

namespace {

TEST(ServerAllowedClients, EntriesMatchAddressOrNamesExactlyIgnoringCase) {
    const std::vector<std::string> none;
    const std::vector<std::string> printer = {"printer01.example.net", "PRINTER01"};
    const char* list = "10.0.0.5;  printer01";
    EXPECT_TRUE(ClientListMatches(list, "10.0.0.5", none));
    EXPECT_TRUE(ClientListMatches(list, "10.0.0.9", printer));
    EXPECT_FALSE(ClientListMatches(list, "10.0.0.6", none));
    EXPECT_FALSE(ClientListMatches(list, "10.0.0.6", {"printer01.example.net"}));
    // Every separator and any run of them.
    EXPECT_TRUE(ClientListMatches("a\tb\r\nc;;; d", "1.1.1.1", {"D"}));
    EXPECT_TRUE(ClientListMatches("a\tb\r\nc;;; d", "1.1.1.1", {"c"}));
    // No partial matches, wildcards or ranges.
    for (const char* entry :
         {"10.0.0", "10.0.0.50", "10.0.0.*", "10.0.0.0/24", "printer0", "printer011", "*"}) {
        EXPECT_FALSE(ClientListMatches(entry, "10.0.0.5", {"printer01"})) << entry;
    }
    EXPECT_FALSE(ClientListMatches("", "10.0.0.5", none));
    EXPECT_FALSE(ClientListMatches(" ;\t\r\n", "10.0.0.5", none));
    EXPECT_FALSE(ClientListMatches(nullptr, "10.0.0.5", none));
    EXPECT_TRUE(ClientListMatches("LocalHost", "127.0.0.1", {"localhost"}));
}

TEST(ServerAllowedClients, OnlyNamesWhoseForwardLookupGivesTheAddressBackCount) {
    const uint32_t client = kvp::HostToNet32(0x0A000005);  // 10.0.0.5
    const uint32_t other = kvp::HostToNet32(0x0A000009);
    struct Case {
        std::vector<HostAddresses> lookedUp;
        std::vector<std::string> confirmed;
    };
    const Case cases[] = {
        {{{"printer01", {client}}}, {"printer01"}},
        // A name that the reverse zone claims but whose own zone points elsewhere.
        {{{"trusted.example.net", {other}}}, {}},
        {{{"multi", {other, client}}}, {"multi"}},
        {{{"gone", {}}}, {}},
        {{{"a", {other}}, {"b", {client}}, {"c", {client}}}, {"b", "c"}},
        {{}, {}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ConfirmedHostNames(client, c.lookedUp), c.confirmed);
    }
}

TEST(ServerAllowedClients, ListIsReadOnlyWithinItsWidth) {
    // A stored value that filled the field without a terminator: only 1025 bytes count.
    std::string list(1025, ' ');
    list.replace(1020, 5, "host1");
    list += "host2";
    EXPECT_TRUE(ClientListMatches(list.c_str(), "x", {"host1"}));
    EXPECT_FALSE(ClientListMatches(list.c_str(), "x", {"host2"}));
    EXPECT_FALSE(ClientListMatches(list.c_str(), "x", {"host1host2"}));
}

TEST(ServerPaths, NamesAreJoinedBelowTheRoot) {
    EXPECT_EQ(JoinServerPath("/srv/tftp", "a.txt"), "/srv/tftp/a.txt");
    EXPECT_EQ(JoinServerPath("/srv/tftp", "sub\\file.txt"), "/srv/tftp/sub/file.txt");
    EXPECT_EQ(JoinServerPath("/srv/tftp", "sub/file.txt"), "/srv/tftp/sub/file.txt");
    // Absolute names of either kind stay below the root.
    EXPECT_EQ(JoinServerPath("/srv/tftp", "/etc/passwd"), "/srv/tftp//etc/passwd");
    EXPECT_EQ(JoinServerPath("/srv/tftp", "\\etc\\passwd"), "/srv/tftp//etc/passwd");
    EXPECT_EQ(JoinServerPath("/srv/tftp", "C:\\boot.ini"), "/srv/tftp/C:/boot.ini");
    EXPECT_EQ(JoinServerPath("/srv/tftp", ""), "/srv/tftp/");
}

}  // namespace
