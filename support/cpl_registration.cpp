// Making the control panel applet visible (the control panel's list of applets, or a
// copy in the system directory), and the product information text.
#include <cstdio>
#include <cstring>

#include "install_dir.h"
#include "kv/export.h"
#include "kv/paths.h"
#include "kv/registry.h"
#include "kvtftpasc.h"
#include "svc_common.h"

namespace {

constexpr const char* kCplsKey =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Control Panel\\Cpls";
constexpr const char* kCplValue = "TFTP server";
constexpr const char* kCplFile = "KVTFTPCPL.CPL";
constexpr size_t kCplPathRoom = 264;

char g_cplPath[kCplPathRoom];

// "Www Mmm dd hh:mm:ss yyyy" of the moment this file was compiled.
struct BuildStamp {
    char text[25] = {};
    constexpr BuildStamp() {
        constexpr const char* date = __DATE__;  // "Mmm dd yyyy", day blank-padded
        constexpr const char* time = __TIME__;  // "hh:mm:ss"
        constexpr const char* months = "JanFebMarAprMayJunJulAugSepOctNovDec";
        int month = 0;
        while (month < 12 && !(months[month * 3] == date[0] && months[month * 3 + 1] == date[1] &&
                               months[month * 3 + 2] == date[2]))
            ++month;
        const int day = (date[4] == ' ' ? 0 : date[4] - '0') * 10 + (date[5] - '0');
        const int year = (date[7] - '0') * 1000 + (date[8] - '0') * 100 + (date[9] - '0') * 10 +
                         (date[10] - '0');
        // Sakamoto's rule for the day of the week (0 = Sunday).
        constexpr int offsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
        const int y = month < 2 ? year - 1 : year;
        const int weekday = (y + y / 4 - y / 100 + y / 400 + offsets[month % 12] + day) % 7;
        constexpr const char* days = "SunMonTueWedThuFriSat";
        int n = 0;
        for (int i = 0; i < 3; ++i) text[n++] = days[weekday * 3 + i];
        text[n++] = ' ';
        for (int i = 0; i < 3; ++i) text[n++] = date[i];
        text[n++] = ' ';
        text[n++] = date[4];
        text[n++] = date[5];
        text[n++] = ' ';
        for (int i = 0; i < 8; ++i) text[n++] = time[i];
        text[n++] = ' ';
        for (int i = 7; i < 11; ++i) text[n++] = date[i];
        text[n] = '\0';
    }
};

constexpr BuildStamp kBuildStamp;

// Built once, before any caller can ask for it.
struct ProductText {
    char text[kProductInformationRoom];
    ProductText() {
        std::snprintf(text, sizeof text,
                      "Korvane TFTP server\r\n"
                      "\r\n"
                      "Version 2.0\r\n"
                      "Build date - %s\r\n"
                      "\r\n"
                      "A freeware Windows TFTP server service.\r\n"
                      "Available from https://tftp.korvane.example/.\r\n"
                      "Made by the Korvane TFTP team; free to use and to pass on.\r\n"
                      "\r\n"
                      "For support, contact support@korvane.example.\r\n",
                      kBuildStamp.text);
    }
};

const ProductText g_product;

// directory + file name into out; false when they do not fit.
bool ComposeCplPath(char* out, size_t room, const char* directory) {
    const int n = std::snprintf(out, room, "%s%s", directory != nullptr ? directory : "", kCplFile);
    if (n >= 0 && static_cast<size_t>(n) < room) return true;
    out[0] = '\0';
    return false;
}

// The applet's place in the system directory; false when there is none.
bool SystemCplPath(char* out, size_t room) {
    char system[kPathRoom];
    if (kvp::GetSystemDirectoryA(system, sizeof system) == 0) return false;
    const int n = std::snprintf(out, room, "%s%c%s", system, kvp::kPathSep, kCplFile);
    return n >= 0 && static_cast<size_t>(n) < room;
}

}  // namespace

KV_EXPORT uint32_t AddCplToRegistry(const char* directory) {
    return NoThrow(0u, [&]() -> uint32_t {
        g_cplPath[0] = '\0';
        kvp::RegKey key;
        if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kCplsKey, kvp::kKeyWrite, key.out()) !=
            kvp::kErrorSuccess)
            return 0;
        if (!ComposeCplPath(g_cplPath, sizeof g_cplPath, directory)) return 0;
        if (kvp::RegSetValueExA(key.get(), kCplValue, kvp::kRegExpandSz,
                                reinterpret_cast<const uint8_t*>(g_cplPath),
                                static_cast<uint32_t>(std::strlen(g_cplPath) + 1)) !=
            kvp::kErrorSuccess)
            return 0;
        return 1;
    });
}

KV_EXPORT uint32_t RemoveCplFromRegistry(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        kvp::RegKey key;
        if (kvp::RegOpenKeyExA(kvp::kHkeyLocalMachine, kCplsKey, kvp::kKeyWrite, key.out()) !=
            kvp::kErrorSuccess)
            return 0;
        return kvp::RegDeleteValueA(key.get(), kCplValue) == kvp::kErrorSuccess ? 1 : 0;
    });
}

KV_EXPORT uint32_t AddCplToSystemRoot(const char* directory) {
    return NoThrow(0u, [&]() -> uint32_t {
        char source[kCplPathRoom];
        char target[kCplPathRoom];
        if (!SystemCplPath(target, sizeof target)) return 0;
        if (!ComposeCplPath(source, sizeof source, directory)) return 0;
        return kvp::CopyFileA(source, target, false) ? 1 : 0;
    });
}

KV_EXPORT uint32_t RemoveCplFromSystemRoot(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        char target[kCplPathRoom];
        if (!SystemCplPath(target, sizeof target)) return 0;
        return kvp::DeleteFileA(target) ? 1 : 0;
    });
}

KV_EXPORT uint32_t AddCplToMachine(void) {
    return NoThrow(0u, [&]() -> uint32_t {
        // A copy: the helpers below compose their paths in buffers of their own.
        char dir[kPathRoom];
        std::snprintf(dir, sizeof dir, "%s", ReadSvcInstallDirectory());
        if (AddCplToRegistry(dir)) return 1;
        return AddCplToSystemRoot(dir) ? 1 : 0;
    });
}

KV_EXPORT uint32_t RemoveCplFromMachine(void) {
    if (RemoveCplFromRegistry()) return 1;
    return RemoveCplFromSystemRoot() ? 1 : 0;
}

KV_EXPORT const char** GetProductInformation(const char** text) {
    if (text != nullptr) *text = g_product.text;
    return text;
}

KV_EXPORT void GetProductInformationCopy(char* buffer) {
    if (buffer != nullptr) std::memcpy(buffer, g_product.text, std::strlen(g_product.text) + 1);
}
