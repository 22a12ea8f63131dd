// kvreg: the registry from the command line, in the manner of Windows' reg.exe.
//
//   kvreg query KEY [/v NAME | /ve] [/s]
//   kvreg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]
//   kvreg delete KEY [/v NAME | /ve | /va] [/f]
//   kvreg export KEY FILE [/y]
//   kvreg import FILE
//
// KEY is HKLM\... or HKCU\... (or the roots' full names). Exit status 0 on success
// (and when the user declines a question), 1 on failure; errors go to stderr.
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "kv/errors.h"
#include "kv/registry.h"
#include "kv/text.h"
#include "reg_script.h"

namespace {

using Args = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

const char kDone[] = "The operation completed successfully.";
const char kCancelled[] = "The operation was cancelled by the user.";
const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.";
const char kFileError[] =
    "ERROR: Error opening the file. There may be a disk or file system error.";

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

int Error(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    return 1;
}

int SyntaxError(const std::string& verb) {
    return Error("ERROR: Invalid syntax.\nType \"REG " + Upper(verb) + (verb.empty() ? "" : " ") +
                 "/?\" for usage.");
}

int KeyNameError(const std::string& verb) {
    return Error("ERROR: Invalid key name.\nType \"REG " + Upper(verb) + " /?\" for usage.");
}

int RegistryError(long code) {
    if (code == kvp::kErrorFileNotFound) return Error(kNotFound);
    return Error("ERROR: " + kvp::SystemErrorText(kvp::SystemErrorOfResult(code)));
}

int Done() {
    std::printf("%s\n", kDone);
    return 0;
}

// Asks on stdout and reads the answer from stdin: true for y or yes (any case).
bool Confirm(const std::string& question) {
    std::printf("%s", question.c_str());
    std::fflush(stdout);
    char line[256];
    if (!std::fgets(line, sizeof line, stdin)) {
        std::printf("\n");
        return false;
    }
    std::string answer = line;
    while (!answer.empty() &&
           (answer.back() == '\n' || answer.back() == '\r' || answer.back() == ' '))
        answer.pop_back();
    return kvp::EqualNoCase(answer, "y") || kvp::EqualNoCase(answer, "yes");
}

int Cancelled() {
    std::printf("%s\n", kCancelled);
    return 0;
}

int Usage(const std::string& verb) {
    const std::string v = kvp::ToAsciiLower(verb);
    if (v == "query")
        std::printf(
            "REG QUERY KEY [/v NAME | /ve] [/s]\n"
            "  Lists the values of KEY and its subkeys; /s: of all keys below too.\n");
    else if (v == "add")
        std::printf(
            "REG ADD KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]\n"
            "  TYPE: REG_SZ (default), REG_EXPAND_SZ, REG_DWORD, REG_BINARY, REG_MULTI_SZ\n"
            "  /f: overwrite an existing value without asking.\n");
    else if (v == "delete")
        std::printf(
            "REG DELETE KEY [/v NAME | /ve | /va] [/f]\n"
            "  Deletes the key with all below it, one value, or all values (/va).\n"
            "  /f: without asking.\n");
    else if (v == "export")
        std::printf(
            "REG EXPORT KEY FILE [/y]\n"
            "  Writes KEY and all below it to FILE as a REGEDIT4 script.\n"
            "  /y: overwrite FILE without asking.\n");
    else if (v == "import")
        std::printf(
            "REG IMPORT FILE\n"
            "  Applies a REGEDIT4 script to the registry.\n");
    else
        std::printf(
            "REG OPERATION [PARAMETERS]\n"
            "  OPERATION: QUERY | ADD | DELETE | EXPORT | IMPORT\n"
            "  KEY: HKLM\\... or HKCU\\...\n"
            "Type \"REG OPERATION /?\" for the parameters of one.\n");
    return 0;
}

// The command line after the verb: its positional arguments and options.
struct Command {
    Args positional;
    std::set<std::string> flags;  // lower case, without the '/' or '-'
    std::string value_name, type, data, separator = "\\0";
    bool has_value_name = false, has_type = false, has_data = false;

    bool has(const char* flag) const { return flags.count(flag) != 0; }
    // The value /v or /ve names; false when neither or both are given.
    bool valueName(std::string* name) const {
        if (has_value_name == has("ve")) return false;
        *name = has_value_name ? value_name : std::string();
        return true;
    }
};

bool ParseCommand(const Args& a, const std::set<std::string>& flags,
                  const std::set<std::string>& with_argument, size_t positionals, Command* c) {
    for (size_t i = 2; i < a.size(); ++i) {
        const std::string& arg = a[i];
        const std::string opt = arg.size() < 2 ? "" : kvp::ToAsciiLower(arg.substr(1));
        // A file's absolute path begins with '/' too: an option is only a name this verb
        // knows.
        if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-') ||
            (arg[0] == '/' && !with_argument.count(opt) && !flags.count(opt))) {
            c->positional.push_back(arg);
            continue;
        }
        if (with_argument.count(opt)) {
            if (++i >= a.size()) return false;
            std::string* slot = opt == "v"   ? &c->value_name
                                : opt == "t" ? &c->type
                                : opt == "d" ? &c->data
                                             : &c->separator;
            bool* given = opt == "v"   ? &c->has_value_name
                          : opt == "t" ? &c->has_type
                          : opt == "d" ? &c->has_data
                                       : nullptr;
            if (given && *given) return false;
            if (given) *given = true;
            *slot = a[i];
        } else if (flags.count(opt)) {
            if (!c->flags.insert(opt).second) return false;
        } else {
            return false;
        }
    }
    return c->positional.size() == positionals;
}

kvp::HKey RootOf(const kvreg::KeyName& key) {
    return key.root == kvreg::Root::kLocalMachine ? kvp::kHkeyLocalMachine : kvp::kHkeyCurrentUser;
}

kvreg::KeyName Child(const kvreg::KeyName& key, const std::string& name) {
    kvreg::KeyName child = key;
    child.path = key.path.empty() ? name : key.path + "\\" + name;
    return child;
}

long Open(const kvreg::KeyName& key, uint32_t sam, kvp::RegKey* out) {
    return kvp::RegOpenKeyExA(RootOf(key), key.path.c_str(), sam, out->out());
}

struct Value {
    std::string name;
    uint32_t type = 0;
    Bytes data;
};

// The key's subkey names in their order.
long Subkeys(kvp::HKey key, std::vector<std::string>* names) {
    names->clear();
    std::vector<char> buf(256);
    for (uint32_t i = 0;;) {
        const long r = kvp::RegEnumKeyA(key, i, buf.data(), static_cast<uint32_t>(buf.size()));
        if (r == kvp::kErrorNoMoreItems) return kvp::kErrorSuccess;
        if (r == kvp::kErrorMoreData && buf.size() < (1u << 20)) {
            buf.resize(buf.size() * 4);
            continue;
        }
        if (r != kvp::kErrorSuccess) return r;
        names->push_back(buf.data());
        ++i;
    }
}

// The key's values in their order.
long Values(kvp::HKey key, std::vector<Value>* values) {
    values->clear();
    std::vector<char> name(16384);
    for (uint32_t i = 0;;) {
        Value v;
        uint32_t name_size = static_cast<uint32_t>(name.size()), size = 0;
        long r = kvp::RegEnumValueA(key, i, name.data(), &name_size, &v.type, nullptr, &size);
        if (r == kvp::kErrorNoMoreItems) return kvp::kErrorSuccess;
        if (r != kvp::kErrorSuccess) return r;
        v.data.resize(size);
        name_size = static_cast<uint32_t>(name.size());
        r = kvp::RegEnumValueA(key, i, name.data(), &name_size, &v.type, v.data.data(), &size);
        if (r == kvp::kErrorMoreData) continue;  // it grew in between: once more
        if (r != kvp::kErrorSuccess) return r;
        v.data.resize(size);
        v.name = name.data();
        values->push_back(std::move(v));
        ++i;
    }
}

std::string ValueLine(const Value& v) {
    return "    " + (v.name.empty() ? std::string("(Default)") : v.name) + "    " +
           kvreg::TypeName(v.type) + "    " + kvreg::DisplayData(v.type, v.data) + "\n";
}

// Appends the blocks of the key and, with recurse, of all keys below it: its name and its
// values (only the one named, when name is given, and only keys that have it). Counts
// the keys that showed a value in *matches.
long QueryTree(const kvreg::KeyName& name, const std::string* value_name, bool recurse,
               std::string* out, int* matches) {
    kvp::RegKey key;
    long r = Open(name, kvp::kKeyRead, &key);
    if (r != kvp::kErrorSuccess) return r;
    std::vector<Value> values;
    if ((r = Values(key.get(), &values)) != kvp::kErrorSuccess) return r;
    if (value_name) {
        // The one asked for, under the name it was stored with.
        std::vector<Value> named;
        for (Value& v : values)
            if (kvp::EqualNoCase(v.name, *value_name)) named.push_back(std::move(v));
        values = std::move(named);
    }
    std::vector<std::string> subkeys;
    if ((r = Subkeys(key.get(), &subkeys)) != kvp::kErrorSuccess) return r;
    key.reset();
    if (!value_name || !values.empty()) {
        *out += kvreg::FullKeyName(name) + "\n";
        for (const Value& v : values) *out += ValueLine(v);
        *out += "\n";
        *matches += static_cast<int>(values.size());
    }
    if (recurse) {
        for (const std::string& s : subkeys)
            if ((r = QueryTree(Child(name, s), value_name, true, out, matches)) !=
                kvp::kErrorSuccess)
                return r;
    } else if (!value_name) {
        for (const std::string& s : subkeys) *out += kvreg::FullKeyName(Child(name, s)) + "\n";
    }
    return kvp::kErrorSuccess;
}

int Query(const Args& a) {
    Command c;
    if (!ParseCommand(a, {"ve", "s"}, {"v"}, 1, &c)) return SyntaxError("query");
    kvreg::KeyName key;
    if (!kvreg::ParseKeyName(c.positional[0], &key)) return KeyNameError("query");
    std::string name;
    const bool one_value = c.valueName(&name);
    if (c.has_value_name && c.has("ve")) return SyntaxError("query");
    std::string out = "\n";
    int matches = 0;
    const long r = QueryTree(key, one_value ? &name : nullptr, c.has("s"), &out, &matches);
    if (r != kvp::kErrorSuccess) return RegistryError(r);
    if (one_value && matches == 0) return Error(kNotFound);
    std::fputs(out.c_str(), stdout);
    return 0;
}

int Add(const Args& a) {
    Command c;
    if (!ParseCommand(a, {"ve", "f"}, {"v", "t", "d", "s"}, 1, &c)) return SyntaxError("add");
    kvreg::KeyName key;
    if (!kvreg::ParseKeyName(c.positional[0], &key)) return KeyNameError("add");
    if (c.has_value_name && c.has("ve")) return SyntaxError("add");
    uint32_t type = kvp::kRegSz;
    if (c.has_type && !kvreg::TypeOfName(c.type, &type)) return SyntaxError("add");
    // Without /v and /ve a type or data sets the default value; with none of them only
    // the key is made.
    const bool set_value = c.has_value_name || c.has("ve") || c.has_type || c.has_data;
    const std::string name = c.has_value_name ? c.value_name : std::string();
    Bytes data;
    switch (kvreg::DataOfText(type, c.data, c.separator, &data)) {
        case kvreg::DataError::kNumber:
            return Error("ERROR: Invalid syntax. Specify valid numeric value for 'REG_DWORD'.");
        case kvreg::DataError::kHex:
            return Error(
                "ERROR: Invalid syntax. Specify valid hexadecimal value for 'REG_BINARY'.");
        case kvreg::DataError::kNone:
            break;
    }
    if (set_value && !c.has("f")) {
        kvp::RegKey existing;
        if (Open(key, kvp::kKeyRead, &existing) == kvp::kErrorSuccess &&
            kvp::RegQueryValueExA(existing.get(), name.c_str(), nullptr, nullptr, nullptr) ==
                kvp::kErrorSuccess &&
            !Confirm("Value " + (name.empty() ? std::string("(Default)") : name) +
                     " exists, overwrite(Yes/No)? "))
            return Cancelled();
    }
    kvp::RegKey k;
    uint32_t disposition = 0;
    long r = kvp::RegCreateKeyExA(RootOf(key), key.path.c_str(), kvp::kKeyAllAccess, k.out(),
                                  &disposition);
    if (r == kvp::kErrorSuccess && set_value)
        r = kvp::RegSetValueExA(k.get(), name.c_str(), type, data.data(),
                                static_cast<uint32_t>(data.size()));
    return r == kvp::kErrorSuccess ? Done() : RegistryError(r);
}

// Deletes the key with everything below it, the deepest keys first.
long DeleteTree(const kvreg::KeyName& name) {
    std::vector<std::string> subkeys;
    {
        kvp::RegKey key;
        long r = Open(name, kvp::kKeyRead, &key);
        if (r == kvp::kErrorSuccess) r = Subkeys(key.get(), &subkeys);
        if (r != kvp::kErrorSuccess) return r;
    }
    for (const std::string& s : subkeys)
        if (const long r = DeleteTree(Child(name, s)); r != kvp::kErrorSuccess) return r;
    return kvp::RegDeleteKeyA(RootOf(name), name.path.c_str());
}

int Delete(const Args& a) {
    Command c;
    if (!ParseCommand(a, {"ve", "va", "f"}, {"v"}, 1, &c)) return SyntaxError("delete");
    kvreg::KeyName key;
    if (!kvreg::ParseKeyName(c.positional[0], &key)) return KeyNameError("delete");
    if (c.has_value_name + c.has("ve") + c.has("va") > 1) return SyntaxError("delete");
    kvp::RegKey k;
    long r = Open(key, kvp::kKeyAllAccess, &k);
    if (r != kvp::kErrorSuccess) return RegistryError(r);
    const bool ask = !c.has("f");
    if (c.has("va")) {
        std::vector<Value> values;
        if ((r = Values(k.get(), &values)) != kvp::kErrorSuccess) return RegistryError(r);
        if (ask && !Confirm("Delete all values under the registry key " + kvreg::FullKeyName(key) +
                            " (Yes/No)? "))
            return Cancelled();
        for (const Value& v : values)
            if ((r = kvp::RegDeleteValueA(k.get(), v.name.c_str())) != kvp::kErrorSuccess)
                return RegistryError(r);
        return Done();
    }
    std::string name;
    if (c.valueName(&name)) {
        if ((r = kvp::RegQueryValueExA(k.get(), name.c_str(), nullptr, nullptr, nullptr)) !=
            kvp::kErrorSuccess)
            return RegistryError(r);
        if (ask && !Confirm("Delete the registry value " +
                            (name.empty() ? std::string("(Default)") : name) + " (Yes/No)? "))
            return Cancelled();
        r = kvp::RegDeleteValueA(k.get(), name.c_str());
        return r == kvp::kErrorSuccess ? Done() : RegistryError(r);
    }
    k.reset();
    if (key.path.empty()) return KeyNameError("delete");  // a root stays
    if (ask &&
        !Confirm("Permanently delete the registry key " + kvreg::FullKeyName(key) + " (Yes/No)? "))
        return Cancelled();
    r = DeleteTree(key);
    return r == kvp::kErrorSuccess ? Done() : RegistryError(r);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

long ExportTree(const kvreg::KeyName& name, std::string* out) {
    std::vector<Value> values;
    std::vector<std::string> subkeys;
    {
        kvp::RegKey key;
        long r = Open(name, kvp::kKeyRead, &key);
        if (r == kvp::kErrorSuccess) r = Values(key.get(), &values);
        if (r == kvp::kErrorSuccess) r = Subkeys(key.get(), &subkeys);
        if (r != kvp::kErrorSuccess) return r;
    }
    *out += "[" + kvreg::FullKeyName(name) + "]\n";
    for (const Value& v : values) *out += kvreg::ScriptValueLine(v.name, v.type, v.data) + "\n";
    *out += "\n";
    for (const std::string& s : subkeys)
        if (const long r = ExportTree(Child(name, s), out); r != kvp::kErrorSuccess) return r;
    return kvp::kErrorSuccess;
}

int Export(const Args& a) {
    Command c;
    if (!ParseCommand(a, {"y"}, {}, 2, &c)) return SyntaxError("export");
    kvreg::KeyName key;
    if (!kvreg::ParseKeyName(c.positional[0], &key)) return KeyNameError("export");
    const std::string& path = c.positional[1];
    std::string text = "REGEDIT4\n\n";
    if (const long r = ExportTree(key, &text); r != kvp::kErrorSuccess) return RegistryError(r);
    if (!c.has("y") && File(std::fopen(path.c_str(), "rb")) &&
        !Confirm("File " + path + " already exists. Overwrite (Yes/No)? "))
        return Cancelled();
    File f(std::fopen(path.c_str(), "wb"));
    if (!f || std::fwrite(text.data(), 1, text.size(), f.get()) != text.size() ||
        std::fclose(f.release()) != 0)
        return Error(kFileError);
    return Done();
}

long ApplyScript(const std::vector<kvreg::ScriptOp>& ops) {
    for (const kvreg::ScriptOp& op : ops) {
        if (op.kind == kvreg::ScriptOp::kDeleteKey) {
            const long r = op.key.path.empty() ? kvp::kErrorAccessDenied : DeleteTree(op.key);
            if (r != kvp::kErrorSuccess && r != kvp::kErrorFileNotFound) return r;
            continue;
        }
        kvp::RegKey k;
        uint32_t disposition = 0;
        long r = kvp::RegCreateKeyExA(RootOf(op.key), op.key.path.c_str(), kvp::kKeyAllAccess,
                                      k.out(), &disposition);
        if (r != kvp::kErrorSuccess) return r;
        if (op.kind == kvreg::ScriptOp::kSetValue) {
            r = kvp::RegSetValueExA(k.get(), op.name.c_str(), op.type, op.data.data(),
                                    static_cast<uint32_t>(op.data.size()));
        } else if (op.kind == kvreg::ScriptOp::kDeleteValue) {
            r = kvp::RegDeleteValueA(k.get(), op.name.c_str());
            if (r == kvp::kErrorFileNotFound) r = kvp::kErrorSuccess;
        }
        if (r != kvp::kErrorSuccess) return r;
    }
    return kvp::kErrorSuccess;
}

int Import(const Args& a) {
    Command c;
    if (!ParseCommand(a, {}, {}, 1, &c)) return SyntaxError("import");
    std::string text;
    {
        File f(std::fopen(c.positional[0].c_str(), "rb"));
        if (!f) return Error(kFileError);
        char buf[65536];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) text.append(buf, n);
        if (std::ferror(f.get())) return Error(kFileError);
    }
    std::vector<kvreg::ScriptOp> ops;
    int bad_line = 0;
    if (!kvreg::ParseScript(text, &ops, &bad_line))
        return Error("ERROR: The specified file is not a registry script.");
    if (ApplyScript(ops) != kvp::kErrorSuccess)
        return Error("ERROR: Error accessing the registry.");
    return Done();
}

}  // namespace

int main(int argc, char** argv) {
    const Args a(argv, argv + argc);
    if (a.size() < 2) return SyntaxError("");
    const std::string verb = kvp::ToAsciiLower(a[1]);
    if (verb == "/?" || verb == "-?") return Usage("");
    for (size_t i = 2; i < a.size(); ++i)
        if (a[i] == "/?" || a[i] == "-?") return Usage(verb);
    if (verb == "query") return Query(a);
    if (verb == "add") return Add(a);
    if (verb == "delete") return Delete(a);
    if (verb == "export") return Export(a);
    if (verb == "import") return Import(a);
    return SyntaxError("");
}
