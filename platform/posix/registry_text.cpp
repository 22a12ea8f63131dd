// The hive model and the REGEDIT4 text format: reading is forgiving (a line that does
// not parse is skipped, so no file can make the registry unreadable), writing is regedit's
// own layout, and the writer only emits what the reader takes back unchanged.
#include "registry_text.h"

#include <cstdio>
#include <cstring>

#include "kv/text.h"

namespace kvp::internal {

namespace {

// Calls f(start, length) for each component of a subkey text; empty components (doubled
// or leading and trailing separators) are passed over.
template <class F>
void ForEachComponent(const std::string& path, F f) {
    for (size_t i = 0; i < path.size();) {
        size_t j = path.find('\\', i);
        if (j == std::string::npos) j = path.size();
        if (j > i) f(i, j - i);
        i = j + 1;
    }
}

// Splits a subkey text into its components.
std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    ForEachComponent(path, [&](size_t at, size_t len) { parts.emplace_back(path, at, len); });
    return parts;
}

std::string JoinPath(const std::vector<std::string>& parts, size_t count) {
    std::string r;
    for (size_t i = 0; i < count && i < parts.size(); ++i) {
        if (i) r.push_back('\\');
        r += parts[i];
    }
    return r;
}

// ---- reading the text format --------------------------------------------------------

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool StartsWithFolded(const std::string& s, size_t pos, const char* word) {
    return pos <= s.size() && EqualNoCase(std::string_view(s).substr(pos, std::strlen(word)), word);
}

bool OnlyBlanksFrom(const std::string& s, size_t pos) {
    for (; pos < s.size(); ++pos)
        if (!IsBlank(s[pos])) return false;
    return true;
}

// A quoted text starting at s[pos] == '"'; pos ends after the closing quote.
bool ParseQuoted(const std::string& s, size_t* pos, std::string* out) {
    size_t i = *pos + 1;
    out->clear();
    while (i < s.size()) {
        char c = s[i++];
        if (c == '"') {
            *pos = i;
            return true;
        }
        if (c == '\\') {
            if (i >= s.size()) return false;
            char e = s[i++];
            if (e == 'n')
                out->push_back('\n');
            else if (e == 'r')
                out->push_back('\r');
            else
                out->push_back(e);
        } else {
            out->push_back(c);
        }
    }
    return false;
}

// "01,ab, 2f" (an empty list is empty data); a trailing comma is tolerated.
bool ParseHexBytes(const std::string& s, size_t pos, std::string* out) {
    out->clear();
    size_t i = pos;
    for (;;) {
        while (i < s.size() && IsBlank(s[i])) ++i;
        if (i >= s.size()) return true;
        int hi = HexDigit(s[i]);
        if (hi < 0) return false;
        int v = hi;
        ++i;
        if (i < s.size() && HexDigit(s[i]) >= 0) v = v * 16 + HexDigit(s[i++]);
        out->push_back(static_cast<char>(v));
        while (i < s.size() && IsBlank(s[i])) ++i;
        if (i >= s.size()) return true;
        if (s[i] != ',') return false;
        ++i;
    }
}

// Splits the text into physical lines without their CR LF or LF ends.
std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        size_t end = nl == std::string::npos ? text.size() : nl;
        std::string line(text.substr(start, end - start));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

// A line that carries on a hex list: hex digits, commas and blanks only.
bool LooksLikeHexContinuation(const std::string& line) {
    bool any = false;
    for (char c : line) {
        if (IsBlank(c)) continue;
        if (c != ',' && HexDigit(c) < 0 && c != '\\') return false;
        any = true;
    }
    return any;
}

// Parses the value part after '=' of one value line; lines[*li] is the current line and
// *li moves past any continuation lines used. False when the line does not parse.
bool ParseValueData(const std::vector<std::string>& lines, size_t* li, const std::string& line,
                    size_t pos, uint32_t* type, std::string* data, bool* remove) {
    *remove = false;
    if (pos >= line.size()) return false;
    if (line[pos] == '-') {
        if (!OnlyBlanksFrom(line, pos + 1)) return false;
        *remove = true;
        return true;
    }
    if (line[pos] == '"') {
        size_t p = pos;
        std::string text;
        if (!ParseQuoted(line, &p, &text) || !OnlyBlanksFrom(line, p)) return false;
        *type = kRegSz;
        *data = text;
        data->push_back('\0');
        return true;
    }
    if (StartsWithFolded(line, pos, "dword:")) {
        size_t p = pos + 6;
        uint32_t v = 0;
        int digits = 0;
        while (p < line.size() && HexDigit(line[p]) >= 0) {
            if (++digits > 8) return false;
            v = v * 16 + static_cast<uint32_t>(HexDigit(line[p++]));
        }
        if (digits == 0 || !OnlyBlanksFrom(line, p)) return false;
        *type = kRegDword;
        data->assign(4, '\0');
        for (int i = 0; i < 4; ++i) (*data)[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return true;
    }
    if (!StartsWithFolded(line, pos, "hex")) return false;
    size_t p = pos + 3;
    uint32_t t = kRegBinary;
    if (p < line.size() && line[p] == '(') {
        ++p;
        uint32_t v = 0;
        int digits = 0;
        while (p < line.size() && HexDigit(line[p]) >= 0) {
            if (++digits > 8) return false;
            v = v * 16 + static_cast<uint32_t>(HexDigit(line[p++]));
        }
        if (digits == 0 || p >= line.size() || line[p] != ')') return false;
        ++p;
        t = v;
    }
    if (p >= line.size() || line[p] != ':') return false;
    ++p;
    // Gather the list over continuation lines: a line ending in a backslash goes on in
    // the next line, as long as that line looks like more of the list.
    std::string list = line.substr(p);
    for (;;) {
        size_t e = list.size();
        while (e > 0 && IsBlank(list[e - 1])) --e;
        if (e == 0 || list[e - 1] != '\\') break;
        list.resize(e - 1);
        if (*li + 1 >= lines.size() || !LooksLikeHexContinuation(lines[*li + 1])) break;
        ++*li;
        list += lines[*li];
    }
    if (!ParseHexBytes(list, 0, data)) return false;
    *type = t;
    return true;
}

// ---- writing the text format --------------------------------------------------------

void AppendQuoted(std::string* out, const std::string& s) {
    out->push_back('"');
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out->push_back('\\');
            out->push_back(c);
        } else if (c == '\n') {
            *out += "\\n";
        } else if (c == '\r') {
            *out += "\\r";
        } else {
            out->push_back(c);
        }
    }
    out->push_back('"');
}

// A REG_SZ is written as text only when the text reads back as the same bytes: one
// terminating NUL, no other NUL, and no line break inside.
bool IsCleanText(const std::string& data) {
    if (data.empty() || data.back() != '\0') return false;
    for (size_t i = 0; i + 1 < data.size(); ++i) {
        char c = data[i];
        if (c == '\0' || c == '\n' || c == '\r') return false;
    }
    return true;
}

void AppendValue(std::string* out, const HiveValue& v) {
    size_t line_start = out->size();
    if (v.name.empty())
        out->push_back('@');
    else
        AppendQuoted(out, v.name);
    out->push_back('=');
    if (v.type == kRegSz && IsCleanText(v.data)) {
        AppendQuoted(out, v.data.substr(0, v.data.size() - 1));
        out->push_back('\n');
        return;
    }
    char buf[32];
    if (v.type == kRegDword && v.data.size() == 4) {
        uint32_t x = 0;
        for (int i = 0; i < 4; ++i)
            x |= static_cast<uint32_t>(static_cast<unsigned char>(v.data[i])) << (8 * i);
        std::snprintf(buf, sizeof buf, "dword:%08x\n", x);
        *out += buf;
        return;
    }
    if (v.type == kRegBinary)
        *out += "hex:";
    else {
        std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
        *out += buf;
    }
    // Wrapped as regedit does: lines of at most 80 columns, broken after a comma.
    size_t col = out->size() - line_start;
    for (size_t i = 0; i < v.data.size(); ++i) {
        bool last = i + 1 == v.data.size();
        std::snprintf(buf, sizeof buf, "%02x%s", static_cast<unsigned char>(v.data[i]),
                      last ? "" : ",");
        size_t len = std::strlen(buf);
        if (col + len > 78 && col > 2) {
            *out += "\\\n  ";
            col = 2;
        }
        *out += buf;
        col += len;
    }
    out->push_back('\n');
}

}  // namespace

// ---- the hive model -------------------------------------------------------------------

namespace {

// How many leading bytes two paths share; they share long prefixes, so eight bytes are
// compared at a time.
size_t CommonPrefix(const std::string& a, const std::string& b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t x, y;
        std::memcpy(&x, a.data() + i, 8);
        std::memcpy(&y, b.data() + i, 8);
        if (x != y) break;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

}  // namespace

bool KeyOrder::operator()(const std::string& a, const std::string& b) const {
    const size_t i = CommonPrefix(a, b);
    if (i == a.size() || i == b.size()) return a.size() < b.size();
    const unsigned char x = static_cast<unsigned char>(a[i]);
    const unsigned char y = static_cast<unsigned char>(b[i]);
    if (x == '\\') return true;
    if (y == '\\') return false;
    return x < y;
}

std::string ChildPath(const std::string& base, const char* subkey) {
    std::vector<std::string> parts = SplitPath(base);
    if (subkey) {
        std::vector<std::string> more = SplitPath(subkey);
        parts.insert(parts.end(), more.begin(), more.end());
    }
    return JoinPath(parts, parts.size());
}

HiveValue* HiveKey::find(std::string_view name) {
    for (HiveValue& v : values)
        if (EqualNoCase(v.name, name)) return &v;
    return nullptr;
}

HiveKey* Hive::find(const std::string& path) {
    auto it = keys.find(ToAsciiLower(path));
    return it == keys.end() ? nullptr : &it->second;
}

bool Hive::create(const std::string& path, HiveKey** out) {
    // The path without empty components as spelled, the same folded (a key's folded path
    // is its map key), and where each component's prefix of them ends.
    std::string joined;
    std::vector<size_t> ends;
    ForEachComponent(path, [&](size_t at, size_t len) {
        if (!joined.empty()) joined.push_back('\\');
        joined.append(path, at, len);
        ends.push_back(joined.size());
    });
    const std::string folded = ToAsciiLower(joined);
    // Component n of the spelled path.
    const auto part = [&](size_t n) {
        const size_t from = n == 0 ? 0 : ends[n - 1] + 1;
        return std::string_view(joined).substr(from, ends[n] - from);
    };
    const size_t count = ends.size();
    HiveKey* key = &keys[""];
    const std::string* spelled = &key->path;  // the spelling of the deepest key found
    std::string lastAncestor;                 // its storage where it is a substring
    size_t n = 0;                             // components found or created so far
    auto hint = keys.end();
    bool atEnd = false;
    if (count > 0) {
        const auto& [lastFolded, lastKey] = *keys.rbegin();
        atEnd = KeyOrder()(lastFolded, folded);
        if (atEnd) {
            // The key sorts past the last one (as each key of a written hive does): it is
            // new, and so is every ancestor that is not also the last key's. Those that
            // are exist, since every key's ancestors do; nothing needs a look-up, and the
            // new keys all go at the end.
            const size_t common = CommonPrefix(folded, lastFolded);
            while (n < count && ends[n] <= common &&
                   (ends[n] == lastFolded.size() || lastFolded[ends[n]] == '\\')) {
                ++n;
            }
            if (n > 0) {
                lastAncestor = lastKey.path.substr(0, ends[n - 1]);
                spelled = &lastAncestor;
            }
        } else if (auto it = keys.find(folded); it != keys.end()) {
            // A file lists a key after its parent, so the key or its parent is usually
            // there already: look for those first rather than walk down from the root,
            // which made a deep hive take time quadratic in its depth.
            key = &it->second;
            n = count;
        } else if (count > 1) {
            if (auto up = keys.find(folded.substr(0, ends[count - 2])); up != keys.end()) {
                key = &up->second;
                spelled = &key->path;
                n = count - 1;
                hint = std::next(up);
            }
        }
    }
    bool created = false;
    for (; n < count; ++n) {
        // The hint is where the key most likely goes: a good one saves the search, a
        // wrong one costs only the search.
        const size_t before = keys.size();
        auto it = keys.emplace_hint(hint, folded.substr(0, ends[n]), HiveKey{});
        if (keys.size() != before) {
            // A new key is spelled under its parent's first spelling.
            std::string& spelling = it->second.path;
            if (!spelled->empty()) {
                spelling.reserve(spelled->size() + 1 + part(n).size());
                spelling = *spelled;
                spelling.push_back('\\');
            }
            spelling += part(n);
            created = true;
        }
        key = &it->second;
        spelled = &key->path;
        // A subkey sorts right after its parent when the parent has no others (always
        // so for a key just made).
        if (!atEnd) hint = std::next(it);
    }
    if (out) *out = key;
    return created;
}

bool Hive::hasSubkeys(const std::string& path) const {
    const std::string folded = ToAsciiLower(path);
    const std::string prefix = folded.empty() ? folded : folded + '\\';
    auto it = keys.upper_bound(folded);
    return it != keys.end() && it->first.compare(0, prefix.size(), prefix) == 0 &&
           it->first.size() > prefix.size();
}

std::vector<std::string> Hive::subkeys(const std::string& path) const {
    std::vector<std::string> names;
    const std::string folded = ToAsciiLower(path);
    const std::string prefix = folded.empty() ? folded : folded + '\\';
    for (auto it = keys.upper_bound(folded); it != keys.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) break;
        if (it->first.size() <= prefix.size()) continue;
        if (it->first.find('\\', prefix.size()) != std::string::npos) continue;
        names.push_back(it->second.path.substr(prefix.size()));
    }
    return names;
}

// ---- the text format ------------------------------------------------------------------

Hive ParseHive(std::string_view text, const char* hive_name) {
    Hive hive;
    std::vector<std::string> lines = SplitLines(text);
    HiveKey* current = nullptr;  // null: values are skipped (no section, or a foreign one)
    for (size_t li = 0; li < lines.size(); ++li) {
        const std::string& raw = lines[li];
        size_t pos = 0;
        if (li == 0 && raw.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
        while (pos < raw.size() && IsBlank(raw[pos])) ++pos;
        if (pos >= raw.size() || raw[pos] == ';') continue;
        if (raw[pos] == '[') {
            current = nullptr;
            size_t close = raw.rfind(']');
            if (close == std::string::npos || close <= pos) continue;
            std::string path = raw.substr(pos + 1, close - pos - 1);
            size_t hn = std::strlen(hive_name);
            if (path.size() < hn || !EqualNoCase(path.substr(0, hn), hive_name)) continue;
            if (path.size() > hn && path[hn] != '\\') continue;
            hive.create(path.substr(hn), &current);
            continue;
        }
        if (raw[pos] != '"' && raw[pos] != '@') continue;  // the header and stray lines
        std::string name;
        if (raw[pos] == '@') {
            ++pos;
        } else if (!ParseQuoted(raw, &pos, &name)) {
            continue;
        }
        while (pos < raw.size() && IsBlank(raw[pos])) ++pos;
        if (pos >= raw.size() || raw[pos] != '=') continue;
        ++pos;
        while (pos < raw.size() && IsBlank(raw[pos])) ++pos;
        uint32_t type = kRegNone;
        std::string data;
        bool remove = false;
        if (!ParseValueData(lines, &li, raw, pos, &type, &data, &remove)) continue;
        if (!current) continue;
        HiveValue* v = current->find(name);
        if (remove) {
            if (v) current->values.erase(current->values.begin() + (v - current->values.data()));
        } else if (v) {
            v->type = type;
            v->data = std::move(data);
        } else {
            current->values.push_back(HiveValue{name, type, std::move(data)});
        }
    }
    return hive;
}

std::string SerializeHive(const Hive& hive, const char* hive_name) {
    std::string out = "REGEDIT4\n\n";
    for (const auto& [folded, key] : hive.keys) {
        if (folded.empty() && key.values.empty()) continue;
        out.push_back('[');
        out += hive_name;
        if (!key.path.empty()) {
            out.push_back('\\');
            out += key.path;
        }
        out += "]\n";
        for (const HiveValue& v : key.values) AppendValue(&out, v);
        out.push_back('\n');
    }
    return out;
}

}  // namespace kvp::internal
