// The client dialog's procedure: settings in and out of the registry, the choosers, the
// name carry-over, and starting and stopping the transfer worker.
#include "client_dialog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "kv/registry.h"
#include "kv/thread.h"
#include "kv/ui.h"

namespace kvcli {

namespace {

constexpr const char* kProductName = "Korvane TFTP client";
constexpr const char* kProductVersion = "2.0";
// The edits give at most this much of their text: the server field and the paths.
constexpr int kServerEditChars = 63;
constexpr int kPathEditChars = 259;
// The save-file dialogs get the path fields as buffers of this size.
constexpr uint32_t kChooserBuffer = 260;
// How long a stopped worker may still take to unwind before a new one may start.
constexpr uint32_t kStoppedWorkerMs = 5000;

ClientSettings g_dialog = {};

// Hands the worker's two updates to the dialog until the worker is stopped: from then
// on it shows nothing more. It also sees the transfer end: the worker's last steps
// (the caption back to "Go") come a moment before the thread itself ends.
class DialogSink final : public ClientWindowSink {
  public:
    explicit DialogSink(kvp::HDlg dlg) : dlg_(dlg) {}
    void SetStatusText(const char* text) override { Set(kIdStatus, text); }
    void SetStartCaption(const char* text) override {
        Set(kIdGo, text);
        std::lock_guard<std::mutex> hold(mu_);
        if (std::strcmp(text, "Go") == 0) ended_ = true;
    }
    void Cut() {
        std::lock_guard<std::mutex> hold(mu_);
        cut_ = true;
    }
    bool Ended() {
        std::lock_guard<std::mutex> hold(mu_);
        return ended_;
    }

  private:
    void Set(int id, const char* text) {
        std::lock_guard<std::mutex> hold(mu_);
        if (!cut_) kvp::SetDlgItemTextA(dlg_, id, text);
    }
    std::mutex mu_;
    bool cut_ = false;
    bool ended_ = false;
    kvp::HDlg dlg_;
};

// A started worker and the sink it writes to, which must outlive it.
struct Run {
    kvp::ThreadHandle worker;
    std::unique_ptr<DialogSink> sink;
};

std::vector<Run>& Runs() {
    static std::vector<Run>* runs = new std::vector<Run>;  // workers may outlive main
    return *runs;
}

// Index into Runs() of the worker the dialog remembers, or -1.
int g_current = -1;

bool Alive(const kvp::ThreadHandle& t) {
    uint32_t code = 0;
    return t && kvp::GetExitCodeThread(t, &code) && code == kvp::kStillActive;
}

// A transfer is running from Go until the worker has ended it.
bool WorkerRunning() {
    return g_current >= 0 && Alive(Runs()[g_current].worker) && !Runs()[g_current].sink->Ended();
}

// Stops the remembered worker at once and forgets it. Its socket, file, log and socket
// library start-up are released as its stack unwinds; it shows nothing more.
void StopWorker() {
    if (g_current < 0) return;
    Run& run = Runs()[g_current];
    run.sink->Cut();
    kvp::TerminateThread(run.worker, 0);
    g_current = -1;
}

// When the dialog goes: a worker that has ended, or is unwinding from a stop, is waited
// for, so that the program leaves no ended thread behind it; a transfer still running is
// left alone to end with the program, and shows nothing more.
void ReleaseWorkers() {
    std::vector<Run>& runs = Runs();
    const bool running = WorkerRunning();
    for (size_t i = runs.size(); i-- > 0;) {
        runs[i].sink->Cut();
        if (running && static_cast<int>(i) == g_current) continue;
        if (kvp::WaitForThread(runs[i].worker, kStoppedWorkerMs) == kvp::WaitResult::kSignaled) {
            runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    g_current = -1;
}

void Status(kvp::HDlg dlg, const char* text) {
    kvp::SetDlgItemTextA(dlg, kIdStatus, text);
}

void StartWorker(kvp::HDlg dlg) {
    SaveClientSettings();
    std::vector<Run>& runs = Runs();
    // The engine's settings are read by every worker until its end: a stopped one that
    // is still unwinding must be gone before they change.
    for (Run& run : runs) {
        if (Alive(run.worker) &&
            kvp::WaitForThread(run.worker, kStoppedWorkerMs) != kvp::WaitResult::kSignaled) {
            kvp::SetLastSystemError(EBUSY);
            ReportClientError("Unable to start TFTP client request");
            return;
        }
    }
    runs.clear();
    g_current = -1;

    const kvp::ThreadHandle keep = g_clientSettings.worker;
    g_clientSettings = g_dialog;
    g_clientSettings.worker = keep;

    Run run;
    run.sink = std::make_unique<DialogSink>(dlg);
    run.worker = kvp::CreateThread(ClientTransferThread, run.sink.get());
    if (!run.worker) {
        ReportClientError("Unable to start TFTP client request");
        return;
    }
    runs.push_back(std::move(run));
    g_current = static_cast<int>(runs.size()) - 1;
}

void ShowClientSettings(kvp::HDlg dlg) {
    const ClientSettings& s = g_dialog;
    kvp::SetDlgItemTextA(dlg, kIdServer, s.TFTPServer);
    kvp::CheckDlgButton(dlg, kIdUpload, s.Action == 0 ? kvp::kBstChecked : kvp::kBstUnchecked);
    kvp::CheckDlgButton(dlg, kIdDownload, s.Action != 0 ? kvp::kBstChecked : kvp::kBstUnchecked);
    kvp::CheckDlgButton(dlg, kIdText, s.TransferMode == 0 ? kvp::kBstChecked : kvp::kBstUnchecked);
    kvp::CheckDlgButton(dlg, kIdBinary,
                        s.TransferMode != 0 ? kvp::kBstChecked : kvp::kBstUnchecked);
    kvp::CheckDlgButton(dlg, kIdLogEnabled,
                        s.LogEnable == 1 ? kvp::kBstChecked : kvp::kBstUnchecked);
    kvp::SetDlgItemTextA(dlg, kIdLocalPath, s.LocalPath);
    kvp::SetDlgItemTextA(dlg, kIdRemotePath, s.RemotePath);
}

// Local edit left while uploading: the local file's name becomes the remote one's.
// Remote edit left while downloading: the other way round.
void CarryOver(kvp::HDlg dlg, bool toRemote) {
    ClientSettings& s = g_dialog;
    const char* name = toRemote ? LastPart(s.LocalPath, kLocalSeparators)
                                : LastPart(s.RemotePath, kRemoteSeparators);
    char* target = toRemote ? s.RemotePath : s.LocalPath;
    const char* seps = toRemote ? kRemoteSeparators : kLocalSeparators;
    if (!ReplaceLastPart(target, seps, name)) {
        Status(dlg, "Path too long: the file name was not carried over.");
        return;
    }
    kvp::SetDlgItemTextA(dlg, toRemote ? kIdRemotePath : kIdLocalPath, target);
}

void ChooseLogFile(kvp::HDlg dlg) {
    kvp::SaveFileNameA ofn;
    ofn.owner = dlg;
    ofn.filter = "All files (*.*)\0*.*\0Log files (*.log)\0*.log\0";
    ofn.filterIndex = 1;
    ofn.file = g_dialog.LogPath;
    ofn.fileSize = kChooserBuffer;
    ofn.title = "Select a log file...";
    ofn.flags = kvp::kOfnHideReadOnly | kvp::kOfnCreatePrompt | kvp::kOfnNoTestFileCreate;
    if (kvp::GetSaveFileNameA(&ofn)) Status(dlg, "Transfer log filename set.");
}

void ChooseLocalFile(kvp::HDlg dlg) {
    kvp::SaveFileNameA ofn;
    ofn.owner = dlg;
    ofn.filter = "All files (*.*)\0*.*\0Text files (*.txt)\0*.txt\0";
    ofn.filterIndex = 1;
    ofn.file = g_dialog.LocalPath;
    ofn.fileSize = kChooserBuffer;
    ofn.fileTitle = g_dialog.RemotePath;
    ofn.fileTitleSize = kChooserBuffer;
    ofn.title = "Select the local file...";
    ofn.flags = kvp::kOfnHideReadOnly | kvp::kOfnFileMustExist | kvp::kOfnShareAware;
    if (!kvp::GetSaveFileNameA(&ofn)) return;
    // Copies: setting an edit's text reads it back into the field it came from.
    const std::string local = g_dialog.LocalPath;
    const std::string remote = g_dialog.RemotePath;
    kvp::SetDlgItemTextA(dlg, kIdLocalPath, local.c_str());
    kvp::SetDlgItemTextA(dlg, kIdRemotePath, remote.c_str());
    Status(dlg, "Local and remote filenames set.");
}

void OnCommand(kvp::HDlg dlg, int id, uint16_t code) {
    ClientSettings& s = g_dialog;
    const bool clicked = code == kvp::kBnClicked;
    switch (id) {
        case kIdServer:
            kvp::GetDlgItemTextA(dlg, kIdServer, s.TFTPServer, kServerEditChars + 1);
            break;
        case kIdUpload:
            if (!clicked) break;
            s.Action = 0;
            kvp::SetDlgItemFocus(dlg, kIdLocalPath);
            kvp::SelectDlgItemText(dlg, kIdLocalPath, 0, -1);
            Status(dlg, "Please select the local file.");
            break;
        case kIdDownload:
            if (!clicked) break;
            s.Action = 1;
            kvp::SetDlgItemFocus(dlg, kIdRemotePath);
            kvp::SelectDlgItemText(dlg, kIdRemotePath, 0, -1);
            Status(dlg, "Please select the remote file.");
            break;
        case kIdText:
            if (!clicked) break;
            s.TransferMode = 0;
            Status(dlg, "Text (netascii) transfer mode selected.");
            break;
        case kIdBinary:
            if (!clicked) break;
            s.TransferMode = 1;
            Status(dlg, "Binary (octet) transfer mode selected.");
            break;
        case kIdLogEnabled:
            if (!clicked) break;
            if (kvp::IsDlgButtonChecked(dlg, kIdLogEnabled) == kvp::kBstChecked) {
                s.LogEnable = 1;
                Status(dlg, s.LogPath[0] == '\0' ? "Please select a transfer log file."
                                                 : "Transfer logging enabled.");
            } else {
                s.LogEnable = 0;
                Status(dlg, "Transfer logging disabled.");
            }
            break;
        case kIdChooseLog:
            if (clicked) ChooseLogFile(dlg);
            break;
        case kIdChooseLocal:
            if (clicked) ChooseLocalFile(dlg);
            break;
        case kIdLocalPath:
            kvp::GetDlgItemTextA(dlg, kIdLocalPath, s.LocalPath, kPathEditChars + 1);
            if (code == kvp::kEnKillFocus && s.Action == 0 && s.LocalPath[0] != '\0')
                CarryOver(dlg, true);
            break;
        case kIdRemotePath:
            kvp::GetDlgItemTextA(dlg, kIdRemotePath, s.RemotePath, kPathEditChars + 1);
            if (code == kvp::kEnKillFocus && s.Action != 0 && s.RemotePath[0] != '\0')
                CarryOver(dlg, false);
            break;
        case kIdGo:
            if (!clicked) break;
            if (WorkerRunning()) {
                StopWorker();
                kvp::SetDlgItemTextA(dlg, kIdGo, "&Go");
                Status(dlg, "Transfer aborted.");
            } else {
                StartWorker(dlg);
            }
            break;
        case kIdClose:
            if (!clicked) break;
            if (WorkerRunning()) StopWorker();
            kvp::PostMessageA(dlg, kvp::kWmClose, 0, 0);
            break;
        default:
            break;
    }
}

// ---- registry -------------------------------------------------------------------------

enum class Read { kMissing, kRead, kUnusable };

Read ReadText(kvp::HKey key, const char* name, char* field, uint32_t size) {
    std::vector<uint8_t> buf(size);
    uint32_t type = 0;
    uint32_t len = size;
    const long r = kvp::RegQueryValueExA(key, name, &type, buf.data(), &len);
    if (r == kvp::kErrorFileNotFound) return Read::kMissing;
    if (r != kvp::kErrorSuccess || (type != kvp::kRegSz && type != kvp::kRegExpandSz))
        return Read::kUnusable;
    // Text stored without its terminator is taken when the terminator still fits.
    if (len == 0 || buf[len - 1] != '\0') {
        if (len >= size) return Read::kUnusable;
        buf[len] = '\0';
    }
    std::memcpy(field, buf.data(), std::strlen(reinterpret_cast<char*>(buf.data())) + 1);
    return Read::kRead;
}

Read ReadFlag(kvp::HKey key, const char* name, uint8_t* field) {
    uint8_t b = 0;
    uint32_t type = 0;
    uint32_t len = 1;
    const long r = kvp::RegQueryValueExA(key, name, &type, &b, &len);
    if (r == kvp::kErrorFileNotFound) return Read::kMissing;
    if (r != kvp::kErrorSuccess || type != kvp::kRegBinary || len != 1) return Read::kUnusable;
    *field = b;
    return Read::kRead;
}

void WriteText(kvp::HKey key, const char* name, const char* text) {
    kvp::RegSetValueExA(key, name, kvp::kRegSz, reinterpret_cast<const uint8_t*>(text),
                        static_cast<uint32_t>(std::strlen(text) + 1));
}

void WriteFlag(kvp::HKey key, const char* name, uint8_t value) {
    kvp::RegSetValueExA(key, name, kvp::kRegBinary, &value, 1);
}

}  // namespace

ClientSettings& DialogSettings() {
    return g_dialog;
}

const char* LastPart(const char* path, const char* seps) {
    const char* last = path;
    for (const char* p = path; *p; ++p)
        if (std::strchr(seps, *p)) last = p + 1;
    return last;
}

bool ReplaceLastPart(char* target, const char* seps, const char* name) {
    const size_t keep = static_cast<size_t>(LastPart(target, seps) - target);
    const size_t nameLen = std::strlen(name);
    if (keep + nameLen > kPathChars) return false;
    std::memmove(target + keep, name, nameLen + 1);
    return true;
}

void SaveClientSettings() {
    kvp::RegKey key;
    uint32_t disposition = 0;
    if (kvp::RegCreateKeyExA(kvp::kHkeyCurrentUser, kClientKey, kvp::kKeyAllAccess, key.out(),
                             &disposition) != kvp::kErrorSuccess) {
        ReportClientError("Error creating registry key");
        return;
    }
    const ClientSettings& s = g_dialog;
    WriteText(key.get(), "TFTPServer", s.TFTPServer);
    WriteFlag(key.get(), "Action", s.Action);
    WriteFlag(key.get(), "TransferMode", s.TransferMode);
    WriteText(key.get(), "LocalPath", s.LocalPath);
    WriteText(key.get(), "RemotePath", s.RemotePath);
    WriteFlag(key.get(), "LogEnable", s.LogEnable);
    WriteText(key.get(), "LogPath", s.LogPath);
}

void ReadClientSettings(kvp::HDlg dlg) {
    kvp::RegKey key;
    const long r = kvp::RegOpenKeyExA(kvp::kHkeyCurrentUser, kClientKey, kvp::kKeyRead, key.out());
    if (r == kvp::kErrorFileNotFound) {
        SaveClientSettings();
        return;
    }
    if (r != kvp::kErrorSuccess) {
        // Writing the defaults now could replace what could not be read: keep it.
        ReportClientError("Unable to read the client settings");
        return;
    }
    ClientSettings& s = g_dialog;
    std::string unusable;
    auto note = [&](Read result, const char* name) {
        if (result != Read::kUnusable) return;
        if (!unusable.empty()) unusable += ", ";
        unusable += name;
    };
    note(ReadText(key.get(), "TFTPServer", s.TFTPServer, kServerNameChars), "TFTPServer");
    note(ReadFlag(key.get(), "Action", &s.Action), "Action");
    note(ReadFlag(key.get(), "TransferMode", &s.TransferMode), "TransferMode");
    note(ReadText(key.get(), "LocalPath", s.LocalPath, kPathChars + 1), "LocalPath");
    note(ReadText(key.get(), "RemotePath", s.RemotePath, kPathChars + 1), "RemotePath");
    note(ReadFlag(key.get(), "LogEnable", &s.LogEnable), "LogEnable");
    note(ReadText(key.get(), "LogPath", s.LogPath, kPathChars + 1), "LogPath");
    if (!unusable.empty()) {
        const std::string text = "These saved settings could not be used: " + unusable +
                                 ".\nTheir defaults are shown instead.";
        kvp::MessageBoxA(dlg, text.c_str(), "TFTP client error", kvp::kMbOk | kvp::kMbIconWarning);
    }
}

intptr_t ClientDialogProc(kvp::HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t) {
    switch (msg) {
        case kvp::kWmInitDialog: {
            char title[64];
            std::snprintf(title, sizeof title, "%s v%s", kProductName, kProductVersion);
            kvp::SetWindowTextA(dlg, title);
            Status(dlg, "Client ready.");
            ResetClientSettings(g_dialog);
            ReadClientSettings(dlg);
            ShowClientSettings(dlg);
            g_current = -1;
            return 1;
        }
        case kvp::kWmCommand:
            OnCommand(dlg, kvp::LoWord(wparam), kvp::HiWord(wparam));
            return 1;
        case kvp::kWmClose:
            // The close box leaves a running worker alone: it ends with the program.
            ReleaseWorkers();
            kvp::EndDialog(dlg, 1);
            return 1;
        default:
            return 0;
    }
}

int RunClientProgram() {
    const intptr_t r = kvp::DialogBoxIndirectParamA(&kClientResources, kClientDialog, nullptr,
                                                    ClientDialogProc, 0);
    if (r == -1) {
        ReportClientError("Failed to create client interface");
        return 0;
    }
    return r > 0 ? 1 : 0;
}

}  // namespace kvcli
