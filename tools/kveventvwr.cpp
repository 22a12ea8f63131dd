// kveventvwr: the event viewer's stand-in. Prints the Application log's records, oldest
// first, as the Windows viewer shows them: time, type, source, category and event ID on
// one line, then the description, one line under the other and indented. The
// description is the record's message formatted from the message table of the source's
// registered EventMessageFile; without one, the viewer's text for a missing description
// followed by the record's insertion strings.
//
//   kveventvwr [-n N] [-s SOURCE] [-f]
//     -n N       only the last N records (of the source, with -s)
//     -s SOURCE  only the records of this source (letter case ignored)
//     -f         keep running and print records as they are written

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "kv/eventlog.h"
#include "kv/msgtable.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "kv/text.h"
#include "kv/time.h"

namespace {

constexpr char kSourcesKey[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";

struct Options {
    size_t last = 0;  // 0: all
    std::string source;
    bool follow = false;
};

int Usage() {
    std::fprintf(stderr,
                 "Usage: kveventvwr [-n N] [-s SOURCE] [-f]\n"
                 "Prints the Application event log, oldest record first.\n"
                 "  -n N       only the last N records\n"
                 "  -s SOURCE  only the records of SOURCE\n"
                 "  -f         keep printing records as they are written\n");
    return 2;
}

// The message files registered for a source, in their order; none when the source has
// no registration.
std::vector<std::string> MessageFiles(const std::string& source) {
    std::vector<std::string> files;
    kvp::RegKey key;
    if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, (kSourcesKey + source).c_str(), kvp::kKeyRead,
                           key.out()) != kvp::kErrorSuccess)
        return files;
    uint32_t type = 0, size = 0;
    if (kvp::RegQueryValueExA(key.get(), "EventMessageFile", &type, nullptr, &size) !=
            kvp::kErrorSuccess ||
        (type != kvp::kRegSz && type != kvp::kRegExpandSz) || size == 0)
        return files;
    std::string value(size, '\0');
    if (kvp::RegQueryValueExA(key.get(), "EventMessageFile", &type,
                              reinterpret_cast<uint8_t*>(value.data()),
                              &size) != kvp::kErrorSuccess)
        return files;
    value.resize(std::min<size_t>(size, value.find('\0')));
    if (type == kvp::kRegExpandSz) {
        std::string expanded(kvp::ExpandEnvironmentStringsA(value.c_str(), nullptr, 0), '\0');
        if (expanded.empty()) return files;
        kvp::ExpandEnvironmentStringsA(value.c_str(), expanded.data(),
                                       static_cast<uint32_t>(expanded.size()));
        expanded.pop_back();
        value = expanded;
    }
    for (size_t start = 0; start <= value.size();) {
        size_t semi = value.find(';', start);
        if (semi == std::string::npos) semi = value.size();
        if (semi > start) files.push_back(value.substr(start, semi - start));
        start = semi + 1;
    }
    return files;
}

std::string TypeName(uint16_t type) {
    switch (type) {
        case kvp::kEventlogSuccess:
            return "Success";
        case kvp::kEventlogErrorType:
            return "Error";
        case kvp::kEventlogWarningType:
            return "Warning";
        case kvp::kEventlogInformationType:
            return "Information";
        case 0x0008:
            return "Audit Success";
        case 0x0010:
            return "Audit Failure";
        default:
            return "Type " + std::to_string(type);
    }
}

class Viewer {
  public:
    explicit Viewer(const Options& opt) : opt_(opt) {}

    bool Wanted(const kvp::EventRecord& r) const {
        return opt_.source.empty() || kvp::EqualNoCase(r.source, opt_.source);
    }

    void Print(const kvp::EventRecord& r) {
        char when[32] = "?";
        const std::time_t t = static_cast<std::time_t>(r.time);
        if (const std::tm* tm = std::localtime(&t))
            std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", tm);
        // The viewer's event ID is the code, the low 16 bits; the whole identifier
        // follows when it says more.
        std::string id = std::to_string(r.event_id & 0xFFFF);
        if (r.event_id > 0xFFFF) {
            char full[16];
            std::snprintf(full, sizeof full, " (0x%08X)", static_cast<unsigned>(r.event_id));
            id += full;
        }
        const std::string category =
            r.category == 0 ? "None" : "(" + std::to_string(r.category) + ")";
        std::printf("%s  %-11s  %s  Event ID: %s  Category: %s\n", when, TypeName(r.type).c_str(),
                    Printable(r.source).c_str(), id.c_str(), category.c_str());
        const std::string text = Description(r);
        for (size_t start = 0; start < text.size();) {
            size_t end = text.find_first_of("\r\n", start);
            if (end == std::string::npos) end = text.size();
            const std::string line = Printable(text.substr(start, end - start));
            std::printf(line.empty() ? "\n" : "    %s\n", line.c_str());
            start = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
        }
    }

    // Registrations may change while the viewer follows the log.
    void ForgetSources() { files_.clear(); }

  private:
    std::string Description(const kvp::EventRecord& r) {
        auto it = files_.find(r.source);
        if (it == files_.end()) it = files_.emplace(r.source, MessageFiles(r.source)).first;
        std::vector<const char*> inserts;
        for (const std::string& s : r.strings) inserts.push_back(s.c_str());
        std::string text;
        for (const std::string& file : it->second)
            if (kvp::FormatModuleMessage(file.c_str(), r.event_id, inserts.data(), inserts.size(),
                                         &text))
                return text;
        text = "The description for Event ID " + std::to_string(r.event_id & 0xFFFF) +
               " from source " + r.source +
               " cannot be found. Either the component that raises this event is not "
               "installed on your local computer or the installation is corrupted. You can "
               "install or repair the component on the local computer.\n\n"
               "If the event originated on another computer, the display information had to "
               "be saved with the event.\n";
        if (!r.strings.empty()) {
            text += "\nThe following information was included with the event:\n\n";
            for (const std::string& s : r.strings) text += s + "\n";
        }
        return text;
    }

    // Control characters of logged texts (a client's file name, say) never reach the
    // terminal as such.
    static std::string Printable(const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            if ((c < 0x20 && c != '\t') || c == 0x7F) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\x%02X", c);
                out += esc;
            } else {
                out.push_back(static_cast<char>(c));
            }
        }
        return out;
    }

    const Options& opt_;
    std::map<std::string, std::vector<std::string>> files_;
};

bool ParseCount(const char* s, size_t* out) {
    if (!*s) return false;
    size_t v = 0;
    for (; *s; ++s) {
        if (*s < '0' || *s > '9' || v > 100000000) return false;
        v = v * 10 + static_cast<size_t>(*s - '0');
    }
    *out = v;
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-n" && i + 1 < argc) {
            if (!ParseCount(argv[++i], &opt.last)) return Usage();
        } else if (a == "-s" && i + 1 < argc) {
            opt.source = argv[++i];
        } else if (a == "-f") {
            opt.follow = true;
        } else {
            return Usage();
        }
    }
    Viewer viewer(opt);
    uint64_t position = 0;
    std::vector<kvp::EventRecord> recs;
    if (!kvp::ReadEventLogFrom(&position, &recs)) {
        std::fprintf(stderr, "kveventvwr: cannot read the event log\n");
        return 1;
    }
    std::vector<const kvp::EventRecord*> shown;
    for (const auto& r : recs)
        if (viewer.Wanted(r)) shown.push_back(&r);
    const size_t first = opt.last && shown.size() > opt.last ? shown.size() - opt.last : 0;
    for (size_t i = first; i < shown.size(); ++i) viewer.Print(*shown[i]);
    std::fflush(stdout);
    while (opt.follow) {
        kvp::Sleep(1000);
        if (!kvp::ReadEventLogFrom(&position, &recs)) continue;
        viewer.ForgetSources();
        for (const auto& r : recs)
            if (viewer.Wanted(r)) viewer.Print(r);
        std::fflush(stdout);
    }
    return 0;
}
