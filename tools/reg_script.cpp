#include "reg_script.h"

#include <cstdio>

#include "kv/registry.h"
#include "kv/text.h"

namespace kvreg {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = kvp::AsciiLower(c);
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

// The text of string data: up to its first terminator.
std::string TextOf(const std::vector<uint8_t>& data) {
    std::string s(data.begin(), data.end());
    const size_t nul = s.find('\0');
    return nul == std::string::npos ? s : s.substr(0, nul);
}

void AppendText(std::vector<uint8_t>* out, const std::string& text) {
    out->insert(out->end(), text.begin(), text.end());
    out->push_back(0);
}

std::string Quoted(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') q += '\\';
        q += c;
    }
    return q + "\"";
}

// A quoted string at s[*pos] with \\ and \" escapes; *pos ends past the closing quote.
bool ReadQuoted(const std::string& s, size_t* pos, std::string* out) {
    if (*pos >= s.size() || s[*pos] != '"') return false;
    out->clear();
    for (size_t i = *pos + 1; i < s.size(); ++i) {
        if (s[i] == '"') {
            *pos = i + 1;
            return true;
        }
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        *out += s[i];
    }
    return false;
}

// "01,02, 0a" (possibly empty).
bool ReadHexBytes(const std::string& s, std::vector<uint8_t>* out) {
    out->clear();
    const std::string t = Trim(s);
    if (t.empty()) return true;
    size_t start = 0;
    while (true) {
        const size_t comma = t.find(',', start);
        const std::string byte =
            Trim(t.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (byte.empty() || byte.size() > 2) return false;
        int v = 0;
        for (char c : byte) {
            const int d = HexDigit(c);
            if (d < 0) return false;
            v = v * 16 + d;
        }
        out->push_back(static_cast<uint8_t>(v));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

// Hex digits of at most max_digits, all of the text.
bool ReadHexNumber(const std::string& s, size_t max_digits, uint32_t* out) {
    if (s.empty() || s.size() > max_digits) return false;
    uint32_t v = 0;
    for (char c : s) {
        const int d = HexDigit(c);
        if (d < 0) return false;
        v = v * 16 + static_cast<uint32_t>(d);
    }
    *out = v;
    return true;
}

// The right side of "Name"=...: false when it is none of the script's forms.
bool ReadValueData(const std::string& rhs, ScriptOp* op) {
    if (rhs == "-") {
        op->kind = ScriptOp::kDeleteValue;
        return true;
    }
    op->kind = ScriptOp::kSetValue;
    if (!rhs.empty() && rhs[0] == '"') {
        size_t pos = 0;
        std::string text;
        if (!ReadQuoted(rhs, &pos, &text) || !Trim(rhs.substr(pos)).empty()) return false;
        op->type = kvp::kRegSz;
        op->data.clear();
        AppendText(&op->data, text);
        return true;
    }
    const size_t colon = rhs.find(':');
    if (colon == std::string::npos) return false;
    const std::string kind = rhs.substr(0, colon);
    const std::string rest = rhs.substr(colon + 1);
    if (kvp::EqualNoCase(kind, "dword")) {
        uint32_t v = 0;
        if (!ReadHexNumber(Trim(rest), 8, &v)) return false;
        op->type = kvp::kRegDword;
        op->data = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
        return true;
    }
    if (kvp::EqualNoCase(kind, "hex")) {
        op->type = kvp::kRegBinary;
    } else if (kind.size() > 5 && kvp::EqualNoCase(kind.substr(0, 4), "hex(") &&
               kind.back() == ')') {
        if (!ReadHexNumber(kind.substr(4, kind.size() - 5), 8, &op->type)) return false;
    } else {
        return false;
    }
    return ReadHexBytes(rest, &op->data);
}

// The lines of the text, continuation lines ("...,\" then "  01,02") joined, with their
// 1-based numbers.
std::vector<std::pair<int, std::string>> LogicalLines(const std::string& text) {
    std::vector<std::pair<int, std::string>> lines;
    bool continued = false;
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = Trim(text.substr(start, end - start));
        ++number;
        if (continued)
            lines.back().second += line;
        else
            lines.emplace_back(number, line);
        std::string& last = lines.back().second;
        continued = !last.empty() && last.back() == '\\' && last[0] != '[';
        if (continued) last.pop_back();
        if (end == text.size()) break;
        start = end + 1;
    }
    return lines;
}

// The text of a UTF-16LE script when all of it is ASCII; the text itself otherwise.
bool Decode(const std::string& raw, std::string* text) {
    if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFF &&
        static_cast<uint8_t>(raw[1]) == 0xFE) {
        text->clear();
        for (size_t i = 2; i + 1 < raw.size(); i += 2) {
            if (raw[i + 1] != 0 || static_cast<uint8_t>(raw[i]) >= 0x80) return false;
            *text += raw[i];
        }
        return true;
    }
    *text = raw.compare(0, 3, "\xEF\xBB\xBF") == 0 ? raw.substr(3) : raw;
    return true;
}

}  // namespace

bool ParseKeyName(const std::string& text, KeyName* out) {
    std::string s = text;
    if (!s.empty() && s.back() == '\\') s.pop_back();
    const size_t sep = s.find('\\');
    const std::string root = s.substr(0, sep);
    if (kvp::EqualNoCase(root, "HKLM") || kvp::EqualNoCase(root, "HKEY_LOCAL_MACHINE"))
        out->root = Root::kLocalMachine;
    else if (kvp::EqualNoCase(root, "HKCU") || kvp::EqualNoCase(root, "HKEY_CURRENT_USER"))
        out->root = Root::kCurrentUser;
    else
        return false;
    out->path = sep == std::string::npos ? std::string() : s.substr(sep + 1);
    if (sep != std::string::npos && out->path.empty()) return false;
    if (out->path.find("\\\\") != std::string::npos) return false;
    return true;
}

std::string FullKeyName(const KeyName& key) {
    std::string name = key.root == Root::kLocalMachine ? "HKEY_LOCAL_MACHINE" : "HKEY_CURRENT_USER";
    if (!key.path.empty()) name += "\\" + key.path;
    return name;
}

std::string TypeName(uint32_t type) {
    switch (type) {
        case kvp::kRegNone:
            return "REG_NONE";
        case kvp::kRegSz:
            return "REG_SZ";
        case kvp::kRegExpandSz:
            return "REG_EXPAND_SZ";
        case kvp::kRegBinary:
            return "REG_BINARY";
        case kvp::kRegDword:
            return "REG_DWORD";
        case kvp::kRegMultiSz:
            return "REG_MULTI_SZ";
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "REG_UNKNOWN(%u)", type);
    return buf;
}

bool TypeOfName(const std::string& name, uint32_t* type) {
    for (uint32_t t :
         {kvp::kRegSz, kvp::kRegExpandSz, kvp::kRegBinary, kvp::kRegDword, kvp::kRegMultiSz}) {
        if (kvp::EqualNoCase(name, TypeName(t))) {
            *type = t;
            return true;
        }
    }
    return false;
}

std::string DisplayData(uint32_t type, const std::vector<uint8_t>& data) {
    if (type == kvp::kRegSz || type == kvp::kRegExpandSz) return TextOf(data);
    if (type == kvp::kRegDword && data.size() == 4) {
        char buf[16];
        std::snprintf(
            buf, sizeof buf, "0x%x",
            data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
        return buf;
    }
    if (type == kvp::kRegMultiSz) {
        std::vector<std::string> parts;
        std::string part;
        for (uint8_t b : data) {
            if (b) {
                part += static_cast<char>(b);
                continue;
            }
            if (part.empty()) break;  // the list's end
            parts.push_back(part);
            part.clear();
        }
        if (!part.empty()) parts.push_back(part);
        std::string joined;
        for (size_t i = 0; i < parts.size(); ++i) joined += (i ? "\\0" : "") + parts[i];
        return joined;
    }
    std::string hex;
    for (uint8_t b : data) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02X", b);
        hex += buf;
    }
    return hex;
}

DataError DataOfText(uint32_t type, const std::string& text, const std::string& separator,
                     std::vector<uint8_t>* out) {
    out->clear();
    if (type == kvp::kRegDword) {
        const bool hex = text.size() > 2 && text[0] == '0' && kvp::AsciiLower(text[1]) == 'x';
        uint64_t v = 0;
        for (size_t i = hex ? 2 : 0; i < text.size(); ++i) {
            const int d =
                hex ? HexDigit(text[i]) : (text[i] >= '0' && text[i] <= '9' ? text[i] - '0' : -1);
            if (d < 0) return DataError::kNumber;
            v = v * (hex ? 16 : 10) + static_cast<uint64_t>(d);
            if (v > 0xFFFFFFFFull) return DataError::kNumber;
        }
        for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
        return DataError::kNone;
    }
    if (type == kvp::kRegBinary) {
        if (text.size() % 2) return DataError::kHex;
        for (size_t i = 0; i < text.size(); i += 2) {
            const int hi = HexDigit(text[i]), lo = HexDigit(text[i + 1]);
            if (hi < 0 || lo < 0) return DataError::kHex;
            out->push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
        return DataError::kNone;
    }
    if (type == kvp::kRegMultiSz) {
        size_t start = 0;
        while (!text.empty() && !separator.empty()) {
            const size_t at = text.find(separator, start);
            const std::string part =
                text.substr(start, at == std::string::npos ? std::string::npos : at - start);
            if (!part.empty()) AppendText(out, part);
            if (at == std::string::npos) break;
            start = at + separator.size();
        }
        out->push_back(0);
        return DataError::kNone;
    }
    AppendText(out, text);
    return DataError::kNone;
}

std::string ScriptValueLine(const std::string& name, uint32_t type,
                            const std::vector<uint8_t>& data) {
    std::string line = name.empty() ? "@=" : Quoted(name) + "=";
    if (type == kvp::kRegSz) {
        // As text only when that gives the same bytes back: one terminator at the end and
        // no line break inside.
        const std::string text = TextOf(data);
        if (data.size() == text.size() + 1 && text.find_first_of("\r\n") == std::string::npos)
            return line + Quoted(text);
    }
    char buf[32];
    if (type == kvp::kRegDword && data.size() == 4) {
        std::snprintf(
            buf, sizeof buf, "dword:%08x",
            data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
        return line + buf;
    }
    if (type == kvp::kRegBinary) {
        line += "hex:";
    } else {
        std::snprintf(buf, sizeof buf, "hex(%x):", type);
        line += buf;
    }
    for (size_t i = 0; i < data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%s%02x", i ? "," : "", data[i]);
        line += buf;
    }
    return line;
}

bool ParseScript(const std::string& raw, std::vector<ScriptOp>* ops, int* bad_line) {
    ops->clear();
    *bad_line = 0;
    std::string text;
    if (!Decode(raw, &text)) return false;
    bool header = false, in_key = false, deleted_key = false;
    KeyName key;
    for (const auto& [number, line] : LogicalLines(text)) {
        if (line.empty() || line[0] == ';') continue;
        if (!header) {
            if (line != "REGEDIT4" && line != "Windows Registry Editor Version 5.00") return false;
            header = true;
            continue;
        }
        *bad_line = number;
        if (line[0] == '[') {
            if (line.back() != ']') return false;
            deleted_key = line.size() > 2 && line[1] == '-';
            if (!ParseKeyName(line.substr(deleted_key ? 2 : 1, line.size() - (deleted_key ? 3 : 2)),
                              &key))
                return false;
            ScriptOp op;
            op.kind = deleted_key ? ScriptOp::kDeleteKey : ScriptOp::kCreateKey;
            op.key = key;
            ops->push_back(op);
            in_key = true;
            continue;
        }
        if (!in_key) return false;
        ScriptOp op;
        op.key = key;
        size_t pos = 0;
        if (line[0] == '@') {
            pos = 1;
        } else if (!ReadQuoted(line, &pos, &op.name)) {
            return false;
        }
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
        if (pos >= line.size() || line[pos] != '=') return false;
        if (!ReadValueData(Trim(line.substr(pos + 1)), &op)) return false;
        // The values of a key being deleted have nothing to go to (regedit passes over them).
        if (!deleted_key) ops->push_back(op);
    }
    *bad_line = 0;
    return header;
}

}  // namespace kvreg
