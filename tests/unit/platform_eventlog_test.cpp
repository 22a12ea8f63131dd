#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "kv/errors.h"
#include "kv/eventlog.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "test_support.h"

namespace {

const char kLogKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

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
    // Room for every record: here nothing may be overwritten.
    kvtest::SetMachineDword(kLogKey, "MaxSize", 64u << 20);
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
                                       // a time past 64 bits, which must not wrap round
                                       "20000000000000000000\t4\tX\t0\t0x1\t0\n" + text +
                                       "1\t4\tunfinished");
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

namespace {

// Records "<writer> <n>" of about `size` bytes each; the numbers of each writer's records
// that the store holds, in store order.
std::map<std::string, std::vector<long>> Numbers(const std::vector<kvp::EventRecord>& recs) {
    std::map<std::string, std::vector<long>> out;
    for (const auto& r : recs) out[r.source].push_back(std::stol(r.strings.at(0)));
    return out;
}

// A writer's records that survive are its newest ones, none missing between them.
void ExpectNewestRun(const std::vector<long>& got, long written, const std::string& who) {
    if (got.empty()) return;
    EXPECT_EQ(got.back(), written - 1) << who;
    for (size_t i = 1; i < got.size(); ++i) ASSERT_EQ(got[i], got[i - 1] + 1) << who;
}

uintmax_t StoreSize() {
    return std::filesystem::file_size(StorePath());
}

TEST_F(EventLogTest, StoreStaysBelowMaxSizeKeepingTheNewestRecords) {
    const std::string filler(150, 'x');
    struct Case {
        bool set;
        uint32_t max_size;
        uintmax_t limit;
    };
    // MaxSize as set, raised to the 64 KiB floor, and the 512 KiB default.
    for (const Case& c :
         {Case{true, 100000, 100000}, Case{true, 1000, 65536}, Case{false, 0, 524288}}) {
        kvtest::TestEnv fresh;  // a state directory of its own: a new store and registry
        if (c.set) kvtest::SetMachineDword(kLogKey, "MaxSize", c.max_size);
        uint64_t position = 0;
        std::vector<kvp::EventRecord> recs, seen;
        const long total = static_cast<long>(c.limit / 60);  // about three limits' worth
        for (long i = 0; i < total; ++i) {
            const std::string n = std::to_string(i);
            ASSERT_TRUE(Report("W", kvp::kEventlogInformationType, 0x40000001,
                               {n.c_str(), filler.c_str()}));
            ASSERT_LE(StoreSize(), c.limit) << i;
            // A follower's position stays valid across the trims.
            if (i % 97 == 0) {
                ASSERT_TRUE(kvp::ReadEventLogFrom(&position, &recs));
                seen.insert(seen.end(), recs.begin(), recs.end());
            }
        }
        ASSERT_TRUE(kvp::ReadEventLog(&recs));
        ASSERT_FALSE(recs.empty());
        ExpectNewestRun(Numbers(recs)["W"], total, "W");
        // Trims go down to three quarters of the maximum, not further.
        EXPECT_GE(StoreSize(), c.limit / 2);
        EXPECT_LT(recs.size(), static_cast<size_t>(total));
        ASSERT_TRUE(kvp::ReadEventLogFrom(&position, &recs));
        seen.insert(seen.end(), recs.begin(), recs.end());
        auto numbers = Numbers(seen)["W"];
        ASSERT_EQ(numbers.size(), static_cast<size_t>(total));
        for (long i = 0; i < total; ++i) ASSERT_EQ(numbers[i], i);
    }
}

TEST_F(EventLogTest, ConcurrentProcessesLoseNoRecordBelowTheCap) {
    kvtest::SetMachineDword(kLogKey, "MaxSize", 65536);
    constexpr int kWriters = 4;
    constexpr long kRecords = 1500;
    std::vector<kvp::pid_type> pids;
    for (int w = 0; w < kWriters; ++w)
        pids.push_back(
            kvp::SpawnProcess({kvtest::TestBinDir() + "/kvevtwriter", "P" + std::to_string(w),
                               std::to_string(kRecords), "100"}));
    for (kvp::pid_type pid : pids) EXPECT_EQ(kvp::WaitProcess(pid), 0);
    EXPECT_LE(StoreSize(), 65536u);

    std::vector<kvp::EventRecord> recs;
    ASSERT_TRUE(kvp::ReadEventLog(&recs));
    ASSERT_FALSE(recs.empty());
    // Every line is a whole record.
    const std::string text = kvtest::ReadFile(StorePath());
    ASSERT_EQ(text.compare(0, 6, "#base "), 0);
    const size_t header = text.find('\n') + 1;
    EXPECT_EQ(recs.size() + 1, static_cast<size_t>(std::count(text.begin(), text.end(), '\n')));
    // Nothing was lost: the bytes dropped by trims and the bytes kept add up to all the
    // records written ("<time> 4 Pw 0 0x40000001 2 <n> <100 bytes>", tab-separated).
    uint64_t written = 0;
    for (long n = 0; n < kRecords; ++n)
        written +=
            kWriters * (std::to_string(recs[0].time).size() + 23 + std::to_string(n).size() + 100);
    EXPECT_EQ(std::stoull(text.substr(6)) + (text.size() - header), written);
    // Writers that ended early may have no record left; the others' runs are whole.
    auto numbers = Numbers(recs);
    size_t kept = 0;
    for (int w = 0; w < kWriters; ++w) {
        const std::string who = "P" + std::to_string(w);
        ExpectNewestRun(numbers[who], kRecords, who);
        kept += numbers[who].size();
    }
    EXPECT_EQ(kept, recs.size());
    EXPECT_GT(recs.size(), 65536u / 2 / 160);
}

}  // namespace
