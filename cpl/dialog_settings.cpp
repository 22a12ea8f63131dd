// The server key in the configuration dialog: reading it into the controls, writing the
// controls back, the dialog's defaults, and Apply.
#include <strings.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "applet.h"
#include "kv/errors.h"
#include "kv/paths.h"
#include "kv/registry.h"
#include "kv/ui.h"

namespace kvcpl {

namespace {

constexpr const char* kServerKey = "SOFTWARE\\Korvane\\TFTP Server";
constexpr const char* kCaption = "TFTP server configuration";

// The facility names of the syslog facility table; the position is the facility code.
constexpr const char* kFacilities[24] = {
    "Kernel", "User",   "Mail",     "Daemon", "Auth",   "Syslog",   "Lpr",      "News",
    "UUCP",   "Cron",   "Security", "FTP",    "NTP",    "Logaudit", "Logalert", "Clock",
    "Level0", "Level1", "Level2",   "Level3", "Level4", "Level5",   "Level6",   "Level7",
};
constexpr int kDaemon = 3;

// Read sizes, terminator included: the server's widths.
constexpr uint32_t kRootRoom = kRootChars + 1;
constexpr uint32_t kClientsRoom = kClientsChars + 1;
constexpr uint32_t kSyslogHostRoom = kSyslogHostChars + 1;
constexpr uint32_t kFacilityRoom = 260;

// Settings without a control, kept as read; written back unchanged.
std::atomic<uint32_t> g_retransmits{6};
std::atomic<uint32_t> g_rexttimeout{5000};

// The flags: their control, whether the server takes only the byte 1 as on (else any
// byte but 0), and the control's state when the value is missing.
struct Flag {
    const char* name;
    int id;
    bool onlyOne;
    bool missingChecked;
};
constexpr Flag kAllowUploads{"AllowUploads", kIdAllowUploads, true, true};
constexpr Flag kAllowDownloads{"AllowDownloads", kIdAllowDownloads, true, true};
constexpr Flag kAllowOverwrite{"AllowOverwrite", kIdAllowOverwrite, false, true};
constexpr Flag kClientRestrict{"ClientRestrict", kIdClientRestrict, false, false};
constexpr Flag kSendBackErrors{"SendBackErrors", kIdSendBackErrors, false, true};
constexpr Flag kLogEventLogs{"LogEventLogs", kIdLogEventLogs, true, false};
constexpr Flag kLogSyslogs{"LogSyslogs", kIdLogSyslogs, true, false};

enum class Read { kMissing, kRead, kUnusable };

// A REG_SZ that fits room bytes with its terminator.
Read ReadText(kvp::HKey key, const char* name, uint32_t room, std::string* out) {
    std::vector<char> buf(room + 1, '\0');
    uint32_t type = 0;
    uint32_t len = room;
    const long rc =
        kvp::RegQueryValueExA(key, name, &type, reinterpret_cast<uint8_t*>(buf.data()), &len);
    if (rc == kvp::kErrorFileNotFound) return Read::kMissing;
    if (rc != kvp::kErrorSuccess || type != kvp::kRegSz) return Read::kUnusable;
    // Stored without its terminator, a text is taken when the terminator still fits.
    if (len > 0 && buf[len - 1] != '\0' && len >= room) return Read::kUnusable;
    buf[len] = '\0';
    out->assign(buf.data());
    return Read::kRead;
}

Read ReadBytes(kvp::HKey key, const char* name, uint32_t wantType, uint8_t* data, uint32_t size) {
    uint32_t type = 0;
    uint32_t len = size;
    const long rc = kvp::RegQueryValueExA(key, name, &type, data, &len);
    if (rc == kvp::kErrorFileNotFound) return Read::kMissing;
    if (rc != kvp::kErrorSuccess || type != wantType || len != size) return Read::kUnusable;
    return Read::kRead;
}

bool WriteText(kvp::HKey key, const char* name, const std::string& text) {
    return kvp::RegSetValueExA(key, name, kvp::kRegSz,
                               reinterpret_cast<const uint8_t*>(text.c_str()),
                               static_cast<uint32_t>(text.size() + 1)) == kvp::kErrorSuccess;
}

bool WriteFlag(kvp::HKey key, const Flag& f, kvp::HDlg dlg) {
    const uint8_t b = kvp::IsDlgButtonChecked(dlg, f.id) == kvp::kBstChecked ? 1 : 0;
    return kvp::RegSetValueExA(key, f.name, kvp::kRegBinary, &b, 1) == kvp::kErrorSuccess;
}

bool WriteDword(kvp::HKey key, const char* name, uint32_t value) {
    uint8_t b[4];
    std::memcpy(b, &value, sizeof b);
    return kvp::RegSetValueExA(key, name, kvp::kRegDword, b, sizeof b) == kvp::kErrorSuccess;
}

// The whole text of an edit.
std::string EditText(kvp::HDlg dlg, int id) {
    std::vector<char> buf(8192);
    kvp::GetDlgItemTextA(dlg, id, buf.data(), static_cast<int>(buf.size()));
    return buf.data();
}

void Check(kvp::HDlg dlg, int id, bool on) {
    kvp::CheckDlgButton(dlg, id, on ? kvp::kBstChecked : kvp::kBstUnchecked);
}

bool Checked(kvp::HDlg dlg, int id) {
    return kvp::IsDlgButtonChecked(dlg, id) == kvp::kBstChecked;
}

std::string CurrentDirectory() {
    char cwd[kRootRoom];
    if (kvp::GetCurrentDirectoryA(cwd, sizeof cwd) == 0) cwd[0] = '\0';
    return cwd;
}

void FillFacilities(kvp::HDlg dlg) {
    kvp::ResetDlgList(dlg, kIdFacility);
    for (const char* name : kFacilities) kvp::AddDlgListItem(dlg, kIdFacility, name);
}

// The first facility whose name begins with the stored one, regardless of case; -1 for
// an empty or unmatched name.
int MatchFacility(const std::string& stored) {
    if (stored.empty()) return -1;
    for (int i = 0; i < 24; ++i)
        if (::strncasecmp(kFacilities[i], stored.c_str(), stored.size()) == 0) return i;
    return -1;
}

// The dialog's defaults into the controls and the held values; nothing is written.
void ShowDefaults(kvp::HDlg dlg) {
    kvp::SetDlgItemTextA(dlg, kIdRootDirectory, CurrentDirectory().c_str());
    Check(dlg, kIdAllowUploads, true);
    Check(dlg, kIdAllowDownloads, true);
    Check(dlg, kIdAllowOverwrite, true);
    Check(dlg, kIdClientRestrict, false);
    kvp::EnableDlgItem(dlg, kIdAllowedClients, false);
    kvp::SetDlgItemTextA(dlg, kIdAllowedClients, "");
    Check(dlg, kIdSendBackErrors, true);
    Check(dlg, kIdLogEventLogs, true);
    Check(dlg, kIdLogSyslogs, false);
    kvp::EnableDlgItem(dlg, kIdSyslogHost, false);
    kvp::SetDlgItemTextA(dlg, kIdSyslogHost, "loghost");
    kvp::EnableDlgItem(dlg, kIdFacility, false);
    FillFacilities(dlg);
    kvp::SelectDlgListItem(dlg, kIdFacility, kDaemon);
    g_retransmits = 6;
    g_rexttimeout = 5000;
}

// A box that says the settings were not stored, with the system's reason.
void ReportNotWritten(kvp::HDlg dlg, int err) {
    const std::string text = "The TFTP server settings could not be saved:\n" +
                             kvp::SystemErrorText(err) +
                             "\nThe dialog keeps your changes; the server keeps its settings.";
    kvp::MessageBoxA(dlg, text.c_str(), kCaption, kvp::kMbOk | kvp::kMbIconError);
}

// An edit's text that the server could not take whole: a box that says so, with the
// focus on the edit. Cutting the text would store another directory, host or client.
bool TextFits(kvp::HDlg dlg, int id, const char* what, int limit) {
    const std::string text = EditText(dlg, id);
    if (static_cast<int>(text.size()) <= limit) return true;
    char message[256];
    std::snprintf(message, sizeof message,
                  "The %s has %zu characters; the TFTP server takes at most %d.\n"
                  "Nothing was saved. Please shorten it.",
                  what, text.size(), limit);
    kvp::MessageBoxA(dlg, message, kCaption, kvp::kMbOk | kvp::kMbIconWarning);
    kvp::SetDlgItemFocus(dlg, id);
    kvp::SelectDlgItemText(dlg, id, 0, -1);
    return false;
}

}  // namespace

void ReadDialogSettings(kvp::HDlg dlg) {
    kvp::RegKey key;
    const long rc =
        kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyRead, key.out());
    if (rc == kvp::kErrorFileNotFound) {
        ResetDialogSettings(dlg);
        return;
    }
    if (rc != kvp::kErrorSuccess) {
        // Writing the defaults now would replace settings that are only unreadable.
        const int err = kvp::LastSystemError();
        ShowDefaults(dlg);
        const std::string text = "The TFTP server settings could not be read:\n" +
                                 kvp::SystemErrorText(err) +
                                 "\nThe dialog shows its defaults; they are saved only by OK "
                                 "or Apply.";
        kvp::MessageBoxA(dlg, text.c_str(), kCaption, kvp::kMbOk | kvp::kMbIconWarning);
        return;
    }

    std::string unusable;
    auto note = [&](Read r, const char* name) {
        if (r != Read::kUnusable) return r;
        unusable += unusable.empty() ? "" : ", ";
        unusable += name;
        return r;
    };
    auto flag = [&](const Flag& f) {
        uint8_t b = 0;
        bool on = f.missingChecked;
        if (note(ReadBytes(key.get(), f.name, kvp::kRegBinary, &b, 1), f.name) == Read::kRead)
            on = f.onlyOne ? b == 1 : b != 0;
        Check(dlg, f.id, on);
        return on;
    };
    auto dword = [&](const char* name, std::atomic<uint32_t>* held, uint32_t preset) {
        uint8_t b[4];
        uint32_t v = preset;
        if (note(ReadBytes(key.get(), name, kvp::kRegDword, b, 4), name) == Read::kRead)
            std::memcpy(&v, b, sizeof v);
        *held = v;
    };

    std::string text = CurrentDirectory();
    note(ReadText(key.get(), "TFTPHome", kRootRoom, &text), "TFTPHome");
    kvp::SetDlgItemTextA(dlg, kIdRootDirectory, text.c_str());
    flag(kAllowUploads);
    flag(kAllowDownloads);
    flag(kAllowOverwrite);
    kvp::EnableDlgItem(dlg, kIdAllowedClients, flag(kClientRestrict));
    text.clear();
    note(ReadText(key.get(), "AllowedClients", kClientsRoom, &text), "AllowedClients");
    kvp::SetDlgItemTextA(dlg, kIdAllowedClients, text.c_str());
    flag(kSendBackErrors);
    flag(kLogEventLogs);
    const bool syslog = flag(kLogSyslogs);
    kvp::EnableDlgItem(dlg, kIdSyslogHost, syslog);
    kvp::EnableDlgItem(dlg, kIdFacility, syslog);
    text.clear();
    note(ReadText(key.get(), "SyslogHost", kSyslogHostRoom, &text), "SyslogHost");
    kvp::SetDlgItemTextA(dlg, kIdSyslogHost, text.c_str());
    FillFacilities(dlg);
    text.clear();
    note(ReadText(key.get(), "FacilityName", kFacilityRoom, &text), "FacilityName");
    kvp::SelectDlgListItem(dlg, kIdFacility, MatchFacility(text));
    dword("Retransmits", &g_retransmits, 6);
    dword("Rexttimeout", &g_rexttimeout, 5000);

    if (!unusable.empty()) {
        const std::string message = "These saved settings could not be used: " + unusable +
                                    ".\nThe dialog shows its defaults for them.";
        kvp::MessageBoxA(dlg, message.c_str(), kCaption, kvp::kMbOk | kvp::kMbIconWarning);
    }
}

int WriteDialogSettings(kvp::HDlg dlg, int* error) {
    // Texts are checked before Apply writes; a cut here only keeps within the widths.
    std::string root = EditText(dlg, kIdRootDirectory).substr(0, kRootChars);
    std::string clients = EditText(dlg, kIdAllowedClients).substr(0, kClientsChars);
    std::string host = EditText(dlg, kIdSyslogHost).substr(0, kSyslogHostChars);
    char facility[kFacilityRoom] = "Daemon";
    const int sel = kvp::GetDlgListSelection(dlg, kIdFacility);
    if (sel < 0 || kvp::GetDlgListItemText(dlg, kIdFacility, sel, facility, sizeof facility) == 0)
        std::snprintf(facility, sizeof facility, "%s", "Daemon");

    kvp::RegKey key;
    uint32_t disposition = 0;
    if (kvp::RegCreateKeyExA(kvp::kHkeyLocalMachine, kServerKey, kvp::kKeyWrite, key.out(),
                             &disposition) != kvp::kErrorSuccess) {
        if (error != nullptr) *error = kvp::LastSystemError();
        return 0;
    }
    kvp::HKey k = key.get();
    // Every value is tried; the first failure's reason is the one reported.
    int err = 0;
    auto done = [&err](bool ok) {
        if (!ok && err == 0) err = kvp::LastSystemError();
    };
    done(WriteText(k, "TFTPHome", root));
    done(WriteFlag(k, kAllowUploads, dlg));
    done(WriteFlag(k, kAllowDownloads, dlg));
    done(WriteFlag(k, kAllowOverwrite, dlg));
    done(WriteFlag(k, kClientRestrict, dlg));
    done(WriteText(k, "AllowedClients", clients));
    done(WriteFlag(k, kSendBackErrors, dlg));
    done(WriteFlag(k, kLogEventLogs, dlg));
    done(WriteFlag(k, kLogSyslogs, dlg));
    done(WriteText(k, "SyslogHost", host));
    done(WriteText(k, "FacilityName", facility));
    done(WriteDword(k, "Retransmits", g_retransmits));
    done(WriteDword(k, "Rexttimeout", g_rexttimeout));
    done(WriteText(k, "Version", "2.0"));
    if (error != nullptr) *error = err;
    return err == 0 ? 1 : 0;
}

void ResetDialogSettings(kvp::HDlg dlg) {
    ShowDefaults(dlg);
    int err = 0;
    if (!WriteDialogSettings(dlg, &err)) ReportNotWritten(dlg, err);
}

bool ApplyDialogSettings(kvp::HDlg dlg) {
    kvp::EnableDlgItem(dlg, kIdApply, false);
    if (!TextFits(dlg, kIdRootDirectory, "root directory", kRootChars) ||
        !TextFits(dlg, kIdAllowedClients, "list of clients", kClientsChars) ||
        !TextFits(dlg, kIdSyslogHost, "syslog host name", kSyslogHostChars)) {
        kvp::EnableDlgItem(dlg, kIdApply, true);
        return false;
    }
    if (Checked(dlg, kIdEnableLogging)) {
        g_support.addEventSource();
    } else {
        g_support.removeEventSource();
    }
    int err = 0;
    if (!WriteDialogSettings(dlg, &err)) {
        // The running service is not told of settings that are not there.
        ReportNotWritten(dlg, err);
        kvp::SetDlgItemTextA(dlg, kIdStatus, "The settings were not saved.");
        kvp::EnableDlgItem(dlg, kIdApply, true);
        return false;
    }
    kvp::SetDlgItemTextA(dlg, kIdStatus, "Parameter change request sent.");
    g_support.doSvcParamChange();
    return true;
}

}  // namespace kvcpl
