#include "win32_images.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "xpm.h"

namespace kvp::win32dlg {

namespace {

std::mutex g_cacheMu;

// The strings of a compiled-in XPM: the header, its colours, then one per row.
bool Parse(const char* const* xpm, kvimg::Picture* out) {
    if (!xpm || !xpm[0]) return false;
    int w = 0, h = 0, colours = 0, cpp = 0;
    if (std::sscanf(xpm[0], "%d %d %d %d", &w, &h, &colours, &cpp) != 4 || w <= 0 || h <= 0 ||
        colours <= 0 || w > 4096 || h > 4096 || colours > 65536)
        return false;
    std::vector<std::string> strings;
    const int lines = 1 + colours + h;
    for (int i = 0; i < lines; ++i) {
        if (!xpm[i]) return false;
        strings.emplace_back(xpm[i]);
    }
    std::string error;
    return kvimg::ParseXpm(strings, out, &error);
}

// A top-down 32-bit DIB section of the picture; clear pixels become clear (BGRA 0) or
// the given colour.
HBITMAP MakeDib(const kvimg::Picture& p, bool clearIsTransparent, COLORREF clear) {
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
    bi.bmiHeader.biWidth = p.width;
    bi.bmiHeader.biHeight = -p.height;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (!bmp || !bits) return nullptr;
    auto* px = static_cast<uint32_t*>(bits);
    const size_t n = static_cast<size_t>(p.width) * static_cast<size_t>(p.height);
    for (size_t i = 0; i < n; ++i) {
        const int index = p.pixels[i];
        if (index < 0 || index >= static_cast<int>(p.palette.size())) {
            px[i] = clearIsTransparent ? 0u
                                       : (0xFF000000u | (GetRValue(clear) << 16) |
                                          (GetGValue(clear) << 8) | GetBValue(clear));
            continue;
        }
        const kvimg::Rgb c = p.palette[index];
        px[i] = 0xFF000000u | (static_cast<uint32_t>(c.r) << 16) |
                (static_cast<uint32_t>(c.g) << 8) | c.b;
    }
    GdiFlush();
    return bmp;
}

}  // namespace

bool XpmSize(const char* const* xpm, int* width, int* height) {
    int w = 0, h = 0;
    if (!xpm || !xpm[0] || std::sscanf(xpm[0], "%d %d", &w, &h) != 2) return false;
    *width = w;
    *height = h;
    return true;
}

namespace {

// Each picture is made once, on first use, and kept.
template <class Handle, class Make>
Handle Cached(const char* const* xpm, Make make) {
    std::lock_guard<std::mutex> hold(g_cacheMu);
    static std::map<const char* const*, Handle> cache;
    auto it = cache.find(xpm);
    if (it != cache.end()) return it->second;
    kvimg::Picture p;
    const Handle h = Parse(xpm, &p) ? make(p) : nullptr;
    cache[xpm] = h;
    return h;
}

HICON MakeIcon(const kvimg::Picture& p) {
    // The mask: one bit a pixel, rows padded to 16 bits, set where the picture is clear.
    const int stride = (p.width + 15) / 16 * 2;
    std::vector<uint8_t> mask(static_cast<size_t>(stride) * p.height, 0);
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            if (p.pixels[static_cast<size_t>(y) * p.width + x] < 0)
                mask[static_cast<size_t>(y) * stride + x / 8] |=
                    static_cast<uint8_t>(0x80u >> (x % 8));
    HICON icon = nullptr;
    HBITMAP colour = MakeDib(p, true, 0);
    HBITMAP monochrome = CreateBitmap(p.width, p.height, 1, 1, mask.data());
    if (colour && monochrome) {
        ICONINFO info{};
        info.fIcon = TRUE;
        info.hbmColor = colour;
        info.hbmMask = monochrome;
        icon = CreateIconIndirect(&info);
    }
    // The icon holds copies of both.
    if (colour) DeleteObject(colour);
    if (monochrome) DeleteObject(monochrome);
    return icon;
}

}  // namespace

HICON IconFromXpm(const char* const* xpm) {
    return Cached<HICON>(xpm, MakeIcon);
}

HBITMAP BitmapFromXpm(const char* const* xpm) {
    return Cached<HBITMAP>(
        xpm, [](const kvimg::Picture& p) { return MakeDib(p, false, GetSysColor(COLOR_3DFACE)); });
}

}  // namespace kvp::win32dlg
