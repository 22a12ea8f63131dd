// The desktop client: one dialog that keeps its settings per user and runs the client
// engine for one transfer at a time.
#pragma once

#include <cstdint>

#include "client_engine.h"
#include "kv/dialog.h"

namespace kvcli {

// Dialog template 103 and its controls.
constexpr uint16_t kClientDialogId = 103;
constexpr uint16_t kProgramIconId = 102;
constexpr int kIdGo = 1000;
constexpr int kIdClose = 1001;
constexpr int kIdServer = 1003;
constexpr int kIdUpload = 1004;
constexpr int kIdDownload = 1005;
constexpr int kIdLocalPath = 1006;
constexpr int kIdChooseLocal = 1008;
constexpr int kIdRemotePath = 1009;
constexpr int kIdLogEnabled = 1013;
constexpr int kIdChooseLog = 1014;
constexpr int kIdIcon = 1015;
constexpr int kIdStatus = 1016;
constexpr int kIdText = 1017;
constexpr int kIdBinary = 1018;

extern const kvp::DialogTemplate kClientDialog;
extern const kvp::ModuleResources kClientResources;

constexpr const char* kClientKey = "Software\\Korvane\\TFTP Client";

intptr_t ClientDialogProc(kvp::HDlg dlg, uint32_t msg, uintptr_t wparam, intptr_t lparam);

// What the dialog shows and edits. The engine's own settings get a copy of it when a
// transfer starts, so that editing never changes what a running transfer reads.
ClientSettings& DialogSettings();

// The settings under HKEY_CURRENT_USER: read into the dialog's settings (a missing
// key is created with them; values that cannot be used keep their defaults and are
// named in a box), and stored from them.
void ReadClientSettings(kvp::HDlg dlg);
void SaveClientSettings();

// The name carry-over: the last part of target (after its last separator among seps)
// becomes name. False, with target unchanged, when the result would not fit a path.
bool ReplaceLastPart(char* target, const char* seps, const char* name);
// The file name of a path: the text after its last separator among seps, or all of it.
const char* LastPart(const char* path, const char* seps);

// Local paths take both separators; remote paths the slash alone.
constexpr const char* kLocalSeparators = "/\\";
constexpr const char* kRemoteSeparators = "/";

// Runs the dialog; the program's exit status.
int RunClientProgram();

}  // namespace kvcli
