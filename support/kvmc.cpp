// kvmc: compiles the messages of one language of a message-compiler (.mc) file into the
// bytes of a Windows message-table resource (MESSAGE_RESOURCE_DATA, 8-bit entries, the
// same bytes as "windmc -A" writes to its .bin file), emitted as a C++ source that puts
// them into the ELF section "kvmsgtbl" of the module it is built into. The platform layer
// reads that section from the module file to format event descriptions.
//
//   kvmc [-l LANGID] INPUT.mc OUTPUT.cpp      LANGID defaults to 0x409 (English)
//
// The subset of the .mc format understood: ';' comment lines; the header statements
// MessageIdTypedef, OutputBase, SeverityNames, FacilityNames and LanguageNames (lists
// may span lines); per message MessageId (value, +increment or empty), Severity,
// Facility, SymbolicName and one or more Language blocks, each a text ended by a line
// holding a single '.'. Every text line ends with CR LF in the table.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "kv/text.h"
#include "parse_unsigned.h"

namespace {

struct Error {
    std::string text;
};

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// Decimal or 0x-prefixed hexadecimal, at most 32 bits.
bool ParseNumber(const std::string& text, uint32_t* out) {
    std::string s = Trim(text);
    const bool hex = kvp::internal::HasHexPrefix(s);
    uint64_t v = 0;
    if (!kvp::internal::ParseDigits(std::string_view(s).substr(hex ? 2 : 0), hex ? 16 : 10,
                                    0xFFFFFFFFu, &v))
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

class McParser {
  public:
    explicit McParser(uint32_t language) : language_(language) {
        severities_ = {{"success", 0}, {"informational", 1}, {"warning", 2}, {"error", 3}};
        facilities_ = {{"system", 0x0FF}, {"application", 0xFFF}};
        languages_ = {{"english", 0x409}};
    }

    // The texts of the chosen language by full message identifier.
    const std::map<uint32_t, std::string>& messages() const { return messages_; }

    void Parse(std::istream& in) {
        std::string line;
        while (Next(in, &line)) {
            std::string t = Trim(line);
            if (t.empty() || t[0] == ';') continue;
            size_t eq = t.find('=');
            if (eq == std::string::npos) Fail("expected Keyword=Value");
            std::string key = kvp::ToAsciiLower(Trim(t.substr(0, eq)));
            std::string value = Trim(t.substr(eq + 1));
            if (key == "messageidtypedef" || key == "outputbase" || key == "symbolicname") {
                // Only for the header file that windmc writes.
            } else if (key == "severitynames") {
                NameList(in, value, 3, &severities_);
            } else if (key == "facilitynames") {
                NameList(in, value, 0xFFF, &facilities_);
            } else if (key == "languagenames") {
                NameList(in, value, 0xFFFF, &languages_);
            } else if (key == "messageid") {
                MessageId(value);
            } else if (key == "severity") {
                severity_ = Lookup(severities_, value, "severity");
            } else if (key == "facility") {
                facility_ = Lookup(facilities_, value, "facility");
            } else if (key == "language") {
                Text(in, Lookup(languages_, value, "language"));
            } else {
                Fail("unknown keyword " + key);
            }
        }
    }

    [[noreturn]] void Fail(const std::string& what) const {
        throw Error{"line " + std::to_string(line_no_) + ": " + what};
    }

  private:
    bool Next(std::istream& in, std::string* line) {
        if (!std::getline(in, *line)) return false;
        ++line_no_;
        if (!line->empty() && line->back() == '\r') line->pop_back();
        return true;
    }

    uint32_t Lookup(const std::map<std::string, uint32_t>& names, const std::string& name,
                    const char* what) const {
        auto it = names.find(kvp::ToAsciiLower(name));
        if (it == names.end()) Fail(std::string("unknown ") + what + " " + name);
        return it->second;
    }

    // "(name=value[:symbol] ...)", possibly over several lines.
    void NameList(std::istream& in, std::string text, uint32_t max,
                  std::map<std::string, uint32_t>* names) {
        if (text.empty() || text[0] != '(') Fail("expected (");
        text.erase(0, 1);
        for (;;) {
            size_t close = text.find(')');
            std::istringstream words(text.substr(0, close));
            std::string word;
            while (words >> word) {
                size_t eq = word.find('=');
                uint32_t v = 0;
                if (eq == std::string::npos || eq == 0 ||
                    !ParseNumber(word.substr(eq + 1, word.find(':') - eq - 1), &v) || v > max)
                    Fail("bad name definition " + word);
                (*names)[kvp::ToAsciiLower(word.substr(0, eq))] = v;
            }
            if (close != std::string::npos) return;
            if (!Next(in, &text)) Fail("unterminated name list");
        }
    }

    void MessageId(const std::string& value) {
        uint32_t v = 0;
        if (value.empty()) {
            code_ = have_code_ ? code_ + 1 : 1;
        } else if (value[0] == '+') {
            if (!ParseNumber(value.substr(1), &v)) Fail("bad MessageId " + value);
            code_ = (have_code_ ? code_ : 0) + v;
        } else {
            if (!ParseNumber(value, &v)) Fail("bad MessageId " + value);
            code_ = v;
        }
        if (code_ > 0xFFFF) Fail("MessageId above 0xFFFF");
        have_code_ = true;
        open_ = true;
    }

    void Text(std::istream& in, uint32_t language) {
        if (!open_) Fail("Language before MessageId");
        std::string text, line;
        for (;;) {
            if (!Next(in, &line)) Fail("message text not ended by a single '.'");
            if (line == ".") break;
            text += line;
            text += "\r\n";
        }
        if (language != language_) return;
        const uint32_t id = severity_ << 30 | facility_ << 16 | code_;
        if (!messages_.emplace(id, text).second) Fail("message defined twice");
    }

    uint32_t language_;
    std::map<std::string, uint32_t> severities_, facilities_, languages_;
    std::map<uint32_t, std::string> messages_;
    uint32_t severity_ = 0, facility_ = 0, code_ = 0;
    bool have_code_ = false, open_ = false;
    int line_no_ = 0;
};

void Put32(std::vector<uint8_t>* out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) (*out)[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// MESSAGE_RESOURCE_DATA: the block count, then (LowId, HighId, OffsetToEntries) per run
// of consecutive identifiers, then the entries: Length (header included, padded to four
// bytes with at least one NUL), Flags 0 (8-bit text), the text.
std::vector<uint8_t> BuildTable(const std::map<uint32_t, std::string>& messages) {
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
    for (const auto& [id, text] : messages) {
        if (!blocks.empty() && blocks.back().second + 1 == id)
            blocks.back().second = id;
        else
            blocks.emplace_back(id, id);
    }
    std::vector<uint8_t> out(4 + 12 * blocks.size(), 0);
    Put32(&out, 0, static_cast<uint32_t>(blocks.size()));
    auto it = messages.begin();
    for (size_t b = 0; b < blocks.size(); ++b) {
        Put32(&out, 4 + 12 * b, blocks[b].first);
        Put32(&out, 8 + 12 * b, blocks[b].second);
        Put32(&out, 12 + 12 * b, static_cast<uint32_t>(out.size()));
        for (uint32_t id = blocks[b].first;; ++id, ++it) {
            const std::string& text = it->second;
            const size_t length = (4 + text.size() + 1 + 3) & ~size_t{3};
            if (length > 0xFFFF) throw Error{"message text too long"};
            out.push_back(static_cast<uint8_t>(length));
            out.push_back(static_cast<uint8_t>(length >> 8));
            out.push_back(0);
            out.push_back(0);
            out.insert(out.end(), text.begin(), text.end());
            out.resize(out.size() + length - 4 - text.size(), 0);
            if (id == blocks[b].second) {
                ++it;
                break;
            }
        }
    }
    return out;
}

std::string CppSource(const std::vector<uint8_t>& table, const std::string& input) {
    std::string src = "// Generated by kvmc from " + input +
                      "; do not edit.\n"
                      "// The module's message table, read from the file by the platform "
                      "layer.\n"
                      "__attribute__((section(\"kvmsgtbl\"), used, aligned(4))) static const "
                      "unsigned char kMessageTable[" +
                      std::to_string(table.size()) + "] = {";
    for (size_t i = 0; i < table.size(); ++i) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x,", table[i]);
        src += i % 12 == 0 ? "\n   " : "";
        src += " ";
        src += hex;
    }
    src += "\n};\n";
    return src;
}

int Usage() {
    std::fprintf(stderr, "Usage: kvmc [-l LANGID] INPUT.mc OUTPUT.cpp\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t language = 0x409;
    int i = 1;
    if (i + 1 < argc && std::string(argv[i]) == "-l") {
        if (!ParseNumber(argv[i + 1], &language) || language > 0xFFFF) return Usage();
        i += 2;
    }
    if (argc - i != 2) return Usage();
    const std::string input = argv[i], output = argv[i + 1];
    std::ifstream in(input, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "kvmc: cannot open %s\n", input.c_str());
        return 1;
    }
    try {
        McParser parser(language);
        parser.Parse(in);
        if (parser.messages().empty()) parser.Fail("no message in the language");
        const std::string src = CppSource(BuildTable(parser.messages()), input);
        // Written whole or not at all, so that a failed run never leaves a source behind
        // that the build would take as up to date.
        const std::string tmp = output + ".tmp";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out << src;
            if (!out.flush()) throw Error{"cannot write " + tmp};
        }
        if (std::rename(tmp.c_str(), output.c_str()) != 0) throw Error{"cannot write " + output};
    } catch (const Error& e) {
        std::fprintf(stderr, "kvmc: %s: %s\n", input.c_str(), e.text.c_str());
        return 1;
    }
    return 0;
}
