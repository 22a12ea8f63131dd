#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "kv/errors.h"
#include "kv/eventlog.h"
#include "kv/paths.h"
#include "test_support.h"

namespace {

std::string StorePath() {
    return kvp::StateDir() + "/eventlog/Application.log";
}

class EventLogTest : public ::testing::Test {
  protected:
    kvtest::TestEnv env_;
};

// Opens, writes one entry and closes, as every writer of the suite does.
bool Report(const char* source, uint16_t type, uint32_t id, std::vector<const char*> strings) {
    kvp::HEventSource src = kvp::RegisterEventSourceA(nullptr, source);
    if (!src) return false;
    bool ok =
        kvp::ReportEventA(src, type, 0, id, strings.data(), static_cast<uint16_t>(strings.size()));
    return kvp::DeregisterEventSource(src) && ok;
}

TEST_F(EventLogTest, RecordsReadBackWithTheirFields) {
    std::vector<kvp::EventRecord> recs;
    ASSERT_TRUE(kvp::ReadEventLog(&recs));  // no store yet: empty
    EXPECT_TRUE(recs.empty());

    int64_t before = static_cast<int64_t>(std::time(nullptr));
    kvp::HEventSource src = kvp::RegisterEventSourceA("", "KVTFTP");
    ASSERT_NE(src, nullptr);
    const char* one[] = {"RRQ from 127.0.0.1:1234 for a.txt:octet."};
    ASSERT_TRUE(kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, 0x40000001, one, 1));
    ASSERT_TRUE(kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, 0x40000003, nullptr, 0));
    const char* empty[] = {""};
    ASSERT_TRUE(kvp::ReportEventA(src, kvp::kEventlogErrorType, 7, 0xC0000123, empty, 1));
    const char* three[] = {"a", "b", "c"};
    ASSERT_TRUE(kvp::ReportEventA(src, kvp::kEventlogWarningType, 65535, 0, three, 3));
    ASSERT_TRUE(kvp::DeregisterEventSource(src));
    int64_t after = static_cast<int64_t>(std::time(nullptr));

    ASSERT_TRUE(kvp::ReadEventLog(&recs));
    ASSERT_EQ(recs.size(), 4u);
    for (const auto& r : recs) {
        EXPECT_EQ(r.source, "KVTFTP");
        EXPECT_GE(r.time, before);
        EXPECT_LE(r.time, after);
    }
    EXPECT_EQ(recs[0].type, kvp::kEventlogInformationType);
    EXPECT_EQ(recs[0].category, 0);
    EXPECT_EQ(recs[0].event_id, 0x40000001u);
    EXPECT_EQ(recs[0].strings, std::vector<std::string>{one[0]});
    EXPECT_EQ(recs[1].event_id, 0x40000003u);
    EXPECT_TRUE(recs[1].strings.empty());
    // One empty text is not the same as none.
    EXPECT_EQ(recs[2].type, kvp::kEventlogErrorType);
    EXPECT_EQ(recs[2].category, 7);
    EXPECT_EQ(recs[2].event_id, 0xC0000123u);
    EXPECT_EQ(recs[2].strings, std::vector<std::string>{""});
    EXPECT_EQ(recs[3].type, kvp::kEventlogWarningType);
    EXPECT_EQ(recs[3].category, 65535);
    EXPECT_EQ(recs[3].event_id, 0u);
    EXPECT_EQ(recs[3].strings, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(EventLogTest, TextsWithLineBreaksAndTabsStayOneRecord) {
    const std::vector<std::string> texts = {
        "tab\there",   "line\nbreak",         "crlf\r\nend",
        "back\\slash", "literal \\t and \\n", "trailing backslash\\",
        "\t\n\\",      "8-bit \xE9\xFF\x80",  "",
        "\\",
    };
    std::vector<const char*> ptrs;
    for (const auto& t : texts) ptrs.push_back(t.c_str());
    ASSERT_TRUE(Report("Src\twith\ntab", kvp::kEventlogInformationType, 0x40000001, ptrs));
    ASSERT_TRUE(Report("KVTFTP", kvp::kEventlogInformationType, 0x40000002, {}));

    std::string text = kvtest::ReadFile(StorePath());
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 2u) << text;

    std::vector<kvp::EventRecord> recs;
    ASSERT_TRUE(kvp::ReadEventLog(&recs));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].source, "Src\twith\ntab");
    EXPECT_EQ(recs[0].strings, texts);
    EXPECT_EQ(recs[1].event_id, 0x40000002u);
}

TEST_F(EventLogTest, ConcurrentWritersNeverMixInsideARecord) {
    constexpr int kThreads = 8;
    constexpr int kLines = 200;
    // Long records make a torn or interleaved write likely to show.
    std::vector<std::thread> threads;
    std::vector<int> failures(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &failures] {
            std::string source = "Writer" + std::to_string(t);
            std::string filler = kvtest::PatternData(600, static_cast<uint32_t>(t));
            for (char& c : filler) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
            for (int i = 0; i < kLines; ++i) {
                std::string n = std::to_string(i);
                const char* strings[] = {n.c_str(), filler.c_str(), "with\ttab\nand line"};
                if (!Report(source.c_str(), kvp::kEventlogInformationType, 0x40000001,
                            std::vector<const char*>(strings, strings + 3)))
                    ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;

    std::vector<kvp::EventRecord> recs;
    ASSERT_TRUE(kvp::ReadEventLog(&recs));
    ASSERT_EQ(recs.size(), static_cast<size_t>(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto& r : recs) {
        ASSERT_EQ(r.source.compare(0, 6, "Writer"), 0) << r.source;
        int t = std::stoi(r.source.substr(6));
        ASSERT_TRUE(t >= 0 && t < kThreads);
        ASSERT_EQ(r.strings.size(), 3u);
        // Each thread's records arrive whole and in its own order.
        EXPECT_EQ(r.strings[0], std::to_string(next[t]));
        ++next[t];
        std::string filler = kvtest::PatternData(600, static_cast<uint32_t>(t));
        for (char& c : filler) c = static_cast<char>('a' + static_cast<unsigned char>(c) % 26);
        EXPECT_EQ(r.strings[1], filler);
        EXPECT_EQ(r.strings[2], "with\ttab\nand line");
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
    std::string text = kvtest::ReadFile(StorePath());
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, static_cast<size_t>(kThreads * kLines));
}

TEST_F(EventLogTest, BrokenLinesAreSkippedAndTheRestRead) {
    ASSERT_TRUE(Report("KVTFTP", kvp::kEventlogInformationType, 0x40000002, {}));
    std::string text = kvtest::ReadFile(StorePath());
    kvtest::WriteFile(StorePath(), "garbage\n" + text + "1\t4\tX\t0\t0x1\t2\tonly one\n" +
                                       "1\t4\tX\t0\tnothex\t0\n" + "1\t4\tX\t0\t0x1\t1\tbad\\q\n" +
                                       text + "1\t4\tunfinished");
    std::vector<kvp::EventRecord> recs;
    ASSERT_TRUE(kvp::ReadEventLog(&recs));
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].event_id, 0x40000002u);
    EXPECT_EQ(recs[1].event_id, 0x40000002u);
}

TEST_F(EventLogTest, HandlesAndArgumentsAreChecked) {
    EXPECT_EQ(kvp::RegisterEventSourceA("otherhost", "KVTFTP"), nullptr);
    EXPECT_NE(kvp::LastSystemError(), 0);
    EXPECT_EQ(kvp::RegisterEventSourceA(nullptr, nullptr), nullptr);
    EXPECT_FALSE(kvp::ReportEventA(nullptr, kvp::kEventlogInformationType, 0, 1, nullptr, 0));
    EXPECT_FALSE(kvp::DeregisterEventSource(nullptr));

    kvp::HEventSource src = kvp::RegisterEventSourceA(nullptr, "KVTFTP");
    ASSERT_NE(src, nullptr);
    const char* with_null[] = {"ok", nullptr};
    EXPECT_FALSE(kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, 1, with_null, 2));
    EXPECT_FALSE(kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, 1, nullptr, 1));
    EXPECT_TRUE(kvp::DeregisterEventSource(src));
    EXPECT_FALSE(kvp::DeregisterEventSource(src));
    EXPECT_FALSE(kvp::ReportEventA(src, kvp::kEventlogInformationType, 0, 1, nullptr, 0));
    std::vector<kvp::EventRecord> recs;
    ASSERT_TRUE(kvp::ReadEventLog(&recs));
    EXPECT_TRUE(recs.empty());
    EXPECT_FALSE(kvp::ReadEventLog(nullptr));
}

TEST_F(EventLogTest, StoreThatCannotBeCreatedFailsTheRegistration) {
    // A plain file where the store's directory belongs.
    kvtest::WriteFile(kvp::StateDir() + "/eventlog", "not a directory");
    EXPECT_EQ(kvp::RegisterEventSourceA(nullptr, "KVTFTP"), nullptr);
    EXPECT_NE(kvp::LastSystemError(), 0);
}

}  // namespace
