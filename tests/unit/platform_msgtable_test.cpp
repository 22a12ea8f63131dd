#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "kv/errors.h"
#include "kv/msgtable.h"
#include "kv/paths.h"
#include "kv/process.h"
#include "test_support.h"

namespace fs = std::filesystem;

namespace {

// The texts of the suite's event source, as an event viewer shows them.
const std::map<uint32_t, std::string> kSuiteMessages = {
    {0x40000001, "TFTP message: %1\r\n"},
    {0x40000002, "The TFTP server has been successfully started.\r\n"},
    {0x40000003,
     "The TFTP server has been successfully stopped.\r\nNo more transfers can happen.\r\n"},
    {0x40000004,
     "The TFTP server has been successfully paused.\r\nAll current transfers are "
     "unaffected.\r\nNo new transfers will be allowed.\r\n"},
    {0x40000005, "The TFTP server has been successfully resumed.\r\n"},
};

void Put(std::string* s, size_t at, uint64_t v, int bytes) {
    if (s->size() < at + bytes) s->resize(at + bytes, '\0');
    for (int i = 0; i < bytes; ++i) (*s)[at + i] = static_cast<char>(v >> (8 * i));
}

// MESSAGE_RESOURCE_DATA with one block per run of consecutive identifiers; flags 1 stores
// UTF-16 entries.
std::string BuildTable(const std::map<uint32_t, std::string>& msgs, int flags = 0) {
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
    for (const auto& [id, text] : msgs) {
        if (!blocks.empty() && blocks.back().second + 1 == id)
            blocks.back().second = id;
        else
            blocks.emplace_back(id, id);
    }
    std::string t;
    Put(&t, 0, blocks.size(), 4);
    size_t entries = 4 + 12 * blocks.size();
    auto it = msgs.begin();
    for (size_t b = 0; b < blocks.size(); ++b) {
        Put(&t, 4 + 12 * b, blocks[b].first, 4);
        Put(&t, 8 + 12 * b, blocks[b].second, 4);
        Put(&t, 12 + 12 * b, entries, 4);
        for (uint32_t id = blocks[b].first; id <= blocks[b].second; ++id, ++it) {
            std::string body;
            for (char c : it->second) {
                body.push_back(c);
                if (flags == 1) body.push_back('\0');
            }
            const size_t len = (4 + body.size() + (flags == 1 ? 2 : 1) + 3) & ~size_t{3};
            Put(&t, entries, len, 2);
            Put(&t, entries + 2, static_cast<uint64_t>(flags), 2);
            t.replace(entries + 4, body.size(), body);
            t.resize(entries + len, '\0');
            entries += len;
        }
    }
    return t;
}

// A minimal little-endian ELF file: a null section, the section name table and one
// section with the given name and contents.
struct ElfLayout {
    size_t shoff, shentsize, section_header, names_offset;
};
std::string BuildElf(bool is64, const std::string& contents, ElfLayout* layout = nullptr,
                     const std::string& name = "kvmsgtbl") {
    const std::string names = std::string("\0.shstrtab\0", 11) + name + '\0';
    const size_t ehsize = is64 ? 64 : 52, shentsize = is64 ? 64 : 40;
    std::string f(ehsize, '\0');
    f.replace(0, 4,
              "\x7f"
              "ELF");
    f[4] = is64 ? 2 : 1;
    f[5] = 1;
    f[6] = 1;
    const size_t names_off = f.size();
    f += names;
    const size_t data_off = (f.size() + 3) & ~size_t{3};
    f.resize(data_off, '\0');
    f += contents;
    const size_t shoff = (f.size() + 7) & ~size_t{7};
    f.resize(shoff + 3 * shentsize, '\0');
    const int w = is64 ? 8 : 4;
    auto section = [&](size_t i, uint32_t name_off, uint32_t type, size_t off, size_t size) {
        const size_t h = shoff + i * shentsize;
        Put(&f, h, name_off, 4);
        Put(&f, h + 4, type, 4);
        Put(&f, h + (is64 ? 24 : 16), off, w);
        Put(&f, h + (is64 ? 32 : 20), size, w);
    };
    section(1, 1, 3, names_off, names.size());
    section(2, 11, 1, data_off, contents.size());
    Put(&f, is64 ? 40 : 32, shoff, w);
    Put(&f, is64 ? 58 : 46, shentsize, 2);
    Put(&f, is64 ? 60 : 48, 3, 2);
    Put(&f, is64 ? 62 : 50, 1, 2);
    if (layout) *layout = {shoff, shentsize, shoff + 2 * shentsize, names_off};
    return f;
}

class MsgTableTest : public ::testing::Test {
  protected:
    std::string Module(const std::string& image, const std::string& name = "mod.so") {
        const std::string path = env_.dir() + "/" + name;
        kvtest::WriteFile(path, image);
        return path;
    }
    // The message, or "<fail>" when the call fails.
    static std::string Format(const std::string& module, uint32_t id,
                              std::vector<const char*> inserts = {}) {
        std::string out = "unchanged";
        if (!kvp::FormatModuleMessage(module.c_str(), id, inserts.data(), inserts.size(), &out))
            return "<fail>";
        return out;
    }

    kvtest::TestEnv env_;
    const std::string built_ = kvtest::TestBinDir() + "/kvmsgtest.so";
};

TEST_F(MsgTableTest, GeneratedTableHasTheBytesOfTheMessageCompiler) {
    const std::string section = env_.dir() + "/section.bin";
    const std::string objcopy =
        "objcopy -O binary --only-section=kvmsgtbl '" + built_ + "' '" + section + "'";
    ASSERT_EQ(std::system(objcopy.c_str()), 0) << objcopy;
    const std::string bytes = kvtest::ReadFile(section);
    EXPECT_EQ(bytes, BuildTable(kSuiteMessages));

    // The Windows build compiles the same file with windmc; its table must be the same.
    const std::string mc = std::string(KV_SOURCE_DIR) + "/support/kvtftpasc.mc";
    const std::string windmc =
        "cd '" + env_.dir() + "' && i686-w64-mingw32-windmc -A '" + mc + "' 2>/dev/null";
    if (std::system(windmc.c_str()) != 0) GTEST_SKIP() << "windmc is not installed";
    EXPECT_EQ(bytes, kvtest::ReadFile(env_.dir() + "/MSG00409.bin"));
}

TEST_F(MsgTableTest, SuiteMessagesFormatFromTheModuleByWindowsOrLinuxName) {
    const char* text = "RRQ from 127.0.0.1:1234 for a.txt:octet.";
    EXPECT_EQ(Format(built_, 0x40000001, {text}), std::string("TFTP message: ") + text + "\r\n");
    for (uint32_t id = 0x40000002; id <= 0x40000005; ++id)
        EXPECT_EQ(Format(built_, id), kSuiteMessages.at(id)) << std::hex << id;
    EXPECT_EQ(Format(built_, 0x40000006), "<fail>");
    EXPECT_EQ(kvp::LastSystemError(), ENOMSG);
    EXPECT_EQ(Format(built_, 0x00000001), "<fail>");  // the code alone is not the identifier

    // Windows names: the file name rule, backslashes, a plain name in the system directory.
    const std::string dir = kvtest::TestBinDir();
    EXPECT_EQ(Format(dir + "/KVMSGTEST.DLL", 0x40000002), kSuiteMessages.at(0x40000002));
    EXPECT_EQ(Format(dir + "\\KVMSGTEST.DLL", 0x40000003), kSuiteMessages.at(0x40000003));
    EXPECT_EQ(Format("KVMSGTEST.DLL", 0x40000002), "<fail>");
    const std::string system = kvp::StateDir() + "/system";
    fs::create_directories(system);
    fs::copy_file(built_, system + "/kvmsgtest.so");
    EXPECT_EQ(Format("KVMSGTEST.DLL", 0x40000004), kSuiteMessages.at(0x40000004));
}

TEST_F(MsgTableTest, InsertsAndEscapesExpandAsFormatMessageDoes) {
    const std::map<uint32_t, std::string> msgs = {
        {1, "a%1b%2c%1%3"},
        {2, "[%1!5s!][%1!-5s!][%2!.2s!][%1!d!][%12]"},
        {3, "100%% %n%r%t%.%!% %q|%0 never shown"},
        {4, "one\ntwo\rthree\r\nfour%n"},
        {5, "ends with %"},
        {6, "%1!s"},
        {7, "%1%1%1%1%1%1%1%1"},
    };
    const std::string table = BuildTable(msgs);
    for (bool is64 : {true, false}) {
        const std::string mod = Module(BuildElf(is64, table));
        EXPECT_EQ(Format(mod, 1, {"X", "Y", "Z"}), "aXbYcXZ");
        // Inserts beyond those given stay as written; a null insert reads "(null)".
        EXPECT_EQ(Format(mod, 1, {"X"}), "aXb%2cX%3");
        EXPECT_EQ(Format(mod, 1, {nullptr, "Y", "Z"}), "a(null)bYc(null)Z");
        EXPECT_EQ(Format(mod, 2, {"ab", "wxyz"}), "[   ab][ab   ][wx][ab][%12]");
        EXPECT_EQ(Format(mod, 3), "100% \r\n\r\t.! q|");
        EXPECT_EQ(Format(mod, 4), "one\r\ntwo\r\nthree\r\nfour\r\n");
        EXPECT_EQ(Format(mod, 5), "<fail>");
        EXPECT_EQ(Format(mod, 6, {"x"}), "<fail>");
        // The text is cut at FormatMessageA's 64 KiB.
        const std::string big(20000, 'b');
        EXPECT_EQ(Format(mod, 7, {big.c_str()}), std::string(65536, 'b'));
        EXPECT_EQ(Format(mod, 8), "<fail>");
    }
    // UTF-16 entries come out as 8-bit text.
    const std::string mod = Module(BuildElf(true, BuildTable({{9, "caf\xE9 %1\r\n"}}, 1)));
    EXPECT_EQ(Format(mod, 9, {"ok"}), "caf\xE9 ok\r\n");
}

TEST_F(MsgTableTest, MissingOrForeignFilesFail) {
    EXPECT_EQ(Format(env_.dir() + "/absent.dll", 1), "<fail>");
    EXPECT_EQ(kvp::LastSystemError(), ENOENT);
    EXPECT_EQ(Format(env_.dir(), 1), "<fail>");
    EXPECT_EQ(Format(Module("just text, not a module"), 1), "<fail>");
    // A module without a message table, and a section of another name.
    EXPECT_EQ(Format(kvtest::BinDir() + "/test_platform", 0x40000001), "<fail>");
    EXPECT_EQ(Format(Module(BuildElf(true, BuildTable({{1, "x"}}), nullptr, "kvmsgtbX")), 1),
              "<fail>");
    std::string out = "kept";
    EXPECT_FALSE(kvp::FormatModuleMessage(nullptr, 1, nullptr, 0, &out));
    EXPECT_FALSE(kvp::FormatModuleMessage("", 1, nullptr, 0, &out));
    EXPECT_FALSE(kvp::FormatModuleMessage(built_.c_str(), 0x40000002, nullptr, 0, nullptr));
}

// Every damaged file fails (or, where the damage misses what is read, still formats),
// and never reads outside what it read: the sanitizer build checks that.
TEST_F(MsgTableTest, CorruptFilesNeverReadOutOfBounds) {
    const std::string table = BuildTable({{1, "first %1"}, {2, "second"}, {7, "seventh"}});
    for (bool is64 : {true, false}) {
        ElfLayout l{};
        const std::string good = BuildElf(is64, table, &l);
        const std::string mod = Module(good, "corrupt.so");
        // Formats all three messages; each that succeeds must read as written.
        enum Expect { kAllFail, kSomeFail, kAny };
        auto check = [&](const std::string& image, const char* what, Expect expect) {
            if (image.size() == good.size()) {
                // Rewritten in place: freeing and allocating blocks costs far more.
                std::fstream f(mod, std::ios::in | std::ios::out | std::ios::binary);
                f.write(image.data(), static_cast<std::streamsize>(image.size()));
            } else {
                kvtest::WriteFile(mod, image);
            }
            int failed = 0;
            for (const auto& [id, text] :
                 std::map<uint32_t, std::string>{{1, "first i"}, {2, "second"}, {7, "seventh"}}) {
                std::string out;
                const char* ins[] = {"i"};
                if (!kvp::FormatModuleMessage(mod.c_str(), id, ins, 1, &out)) {
                    ++failed;
                } else if (expect != kAny) {
                    EXPECT_EQ(out, text) << what;
                }
            }
            if (expect == kAllFail) {
                EXPECT_EQ(failed, 3) << what;
            } else if (expect == kSomeFail) {
                EXPECT_GT(failed, 0) << what;
            }
        };
        EXPECT_EQ(Format(Module(good), 1, {"x"}), "first x");
        EXPECT_EQ(Format(Module(good), 7), "seventh");

        for (size_t n = 0; n < good.size(); n += 5) check(good.substr(0, n), "truncated", kAllFail);
        const int w = is64 ? 8 : 4;
        const size_t off_field = l.section_header + (is64 ? 24 : 16);
        const size_t size_field = l.section_header + (is64 ? 32 : 20);
        struct Patch {
            size_t at;
            uint64_t value;
            int bytes;
            const char* what;
        };
        std::string image;
        const size_t table_at = good.find(table);
        const std::vector<Patch> patches = {
            {4, 3, 1, "class"},
            {5, 2, 1, "big-endian"},
            {is64 ? 40u : 32u, good.size() - 8, w, "section headers at end"},
            {is64 ? 40u : 32u, ~0ull, w, "section headers far out"},
            {is64 ? 58u : 46u, 8, 2, "header entry size"},
            {is64 ? 60u : 48u, 0xFFFF, 2, "section count"},
            {is64 ? 60u : 48u, 0, 2, "extended count of zero"},
            {is64 ? 62u : 50u, 7, 2, "name table index"},
            {is64 ? 62u : 50u, 0xFFFF, 2, "extended name table index"},
            {l.shoff + l.shentsize + (is64 ? 32 : 20), 1u << 30, w, "name table size"},
            {l.section_header, 1000, 4, "name offset"},
            {off_field, good.size() - 2, w, "table at end"},
            {off_field, ~0ull, w, "table far out"},
            {size_field, good.size(), w, "table size"},
            {size_field, 3, w, "table cut short"},
            {l.section_header + 4, 8, 4, "table without bits"},
            {table_at, 0x7FFFFFFF, 4, "block count"},
            {table_at + 4 + 12 * 1 + 8, 1u << 20, 4, "entries far out"},
            {table_at + 4 + 12 * 1 + 8, table.size() - 2, 4, "entries at end"},
            {table_at + 4 + 12 * 1, 0, 4, "block range wraps"},
            {table_at + 4 + 12 * 2, 0, 2, "entry length zero"},
            {table_at + 4 + 12 * 2, 0xFFFF, 2, "entry length past end"},
            {table_at + 4 + 12 * 2 + 2, 7, 2, "entry flags"},
        };
        for (const Patch& p : patches) {
            image = good;
            Put(&image, p.at, p.value, p.bytes);
            image.resize(std::max(image.size(), good.size()));
            check(image, p.what, kSomeFail);
        }
        // Random damage to headers and table.
        std::mt19937 rng(is64 ? 1 : 2);
        for (int round = 0; round < 1000; ++round) {
            image = good;
            for (int k = 0; k < 3; ++k) {
                const size_t at =
                    rng() % 2 ? rng() % image.size() : table_at + rng() % table.size();
                image[at] = static_cast<char>(rng());
            }
            check(image, "random", kAny);
        }
    }
}

}  // namespace
