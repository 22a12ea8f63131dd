#include "control_panel.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "kv/paths.h"
#include "kv/process.h"
#include "kv/registry.h"
#include "kv/text.h"

namespace kvcontrol {

namespace {

// A Windows path as a local one: backslashes are separators.
std::string LocalPath(std::string path) {
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

std::string Expand(const std::string& text) {
    const uint32_t need = kvp::ExpandEnvironmentStringsA(text.c_str(), nullptr, 0);
    if (need == 0) return text;
    std::string out(need, '\0');
    if (kvp::ExpandEnvironmentStringsA(text.c_str(), out.data(), need) == 0) return text;
    out.resize(out.find('\0'));
    return out;
}

void RegisteredApplets(std::vector<std::string>* files) {
    kvp::RegKey key;
    if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kCplsKey, kvp::kKeyRead, key.out()) !=
        kvp::kErrorSuccess)
        return;
    for (uint32_t i = 0;; ++i) {
        char name[256];
        uint32_t nameSize = sizeof name;
        uint32_t type = 0;
        std::vector<uint8_t> data(4096);
        uint32_t dataSize = static_cast<uint32_t>(data.size());
        const long rc =
            kvp::RegEnumValueA(key.get(), i, name, &nameSize, &type, data.data(), &dataSize);
        if (rc == kvp::kErrorNoMoreItems) break;
        if (rc != kvp::kErrorSuccess || (type != kvp::kRegSz && type != kvp::kRegExpandSz))
            continue;
        std::string value(reinterpret_cast<const char*>(data.data()),
                          std::find(data.begin(), data.begin() + dataSize, 0) - data.begin());
        if (type == kvp::kRegExpandSz) value = Expand(value);
        if (!value.empty()) files->push_back(LocalPath(value));
    }
}

void SystemApplets(std::vector<std::string>* files) {
    char dir[261];
    if (kvp::GetSystemDirectoryA(dir, sizeof dir) == 0) return;
    std::error_code ec;
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > 4 && kvp::EndsWithNoCase(name, ".cpl"))
            found.push_back(entry.path().string());
    }
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
}

// CPL_INIT, CPL_GETCOUNT and CPL_INQUIRE for each applet; false when CPL_INIT refuses.
bool Begin(kvp::CplAppletFn entry, std::vector<kvp::CplInfo>* applets, kvp::HDlg owner) {
    if (entry(owner, kvp::kCplInit, 0, 0) == 0) return false;
    const int32_t count = std::max<int32_t>(0, entry(owner, kvp::kCplGetCount, 0, 0));
    for (int32_t i = 0; i < count; ++i) {
        kvp::CplInfo info{};
        entry(owner, kvp::kCplInquire, i, reinterpret_cast<intptr_t>(&info));
        applets->push_back(info);
    }
    return true;
}

void End(kvp::CplAppletFn entry, const std::vector<kvp::CplInfo>& applets, kvp::HDlg owner) {
    for (size_t i = 0; i < applets.size(); ++i)
        entry(owner, kvp::kCplStop, static_cast<intptr_t>(i), applets[i].lData);
    entry(owner, kvp::kCplExit, 0, 0);
}

}  // namespace

std::vector<std::string> AppletFiles() {
    std::vector<std::string> files;
    RegisteredApplets(&files);
    // A file that the list names is not listed twice.
    std::vector<std::string> system;
    SystemApplets(&system);
    for (const std::string& s : system) {
        const bool named = std::any_of(files.begin(), files.end(), [&](const std::string& f) {
            std::error_code ec;
            // Applet file names are Windows names: the file may be the lower-case one.
            const std::filesystem::path p(f);
            return std::filesystem::equivalent(p, s, ec) ||
                   std::filesystem::equivalent(
                       p.parent_path() / kvp::ToAsciiLower(p.filename().string()), s, ec);
        });
        if (!named) files.push_back(s);
    }
    return files;
}

bool InquireApplets(kvp::CplAppletFn entry, std::vector<kvp::CplInfo>* applets) {
    if (!Begin(entry, applets, nullptr)) return false;
    End(entry, *applets, nullptr);
    return true;
}

bool OpenApplet(kvp::CplAppletFn entry, int index, kvp::HDlg owner) {
    std::vector<kvp::CplInfo> applets;
    if (!Begin(entry, &applets, owner)) return false;
    const bool found = index >= 0 && static_cast<size_t>(index) < applets.size();
    if (found) entry(owner, kvp::kCplDblClk, index, applets[index].lData);
    End(entry, applets, owner);
    return found;
}

AppletLibrary::AppletLibrary(const std::string& path) {
    lib_ = kvp::LoadLibraryA(path.c_str());
    if (lib_ != nullptr)
        entry_ = reinterpret_cast<kvp::CplAppletFn>(kvp::GetProcAddress(lib_, kvp::kCplAppletName));
}

AppletLibrary::~AppletLibrary() {
    if (lib_ != nullptr) kvp::FreeLibrary(lib_);
}

std::string AppletLibrary::String(int32_t id) const {
    char text[512];
    if (lib_ == nullptr ||
        kvp::LoadStringA(lib_, static_cast<uint32_t>(id), text, sizeof text) == 0)
        return "";
    return text;
}

}  // namespace kvcontrol
