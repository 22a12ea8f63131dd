#include "win32_template.h"

#include <string>

namespace kvp::win32dlg {

namespace {

void PutDword(std::vector<WORD>* out, DWORD v) {
    out->push_back(LOWORD(v));
    out->push_back(HIWORD(v));
}

// A NUL-terminated UTF-16 string from text in the system's code page.
void PutString(std::vector<WORD>* out, const char* text) {
    if (text && *text) {
        const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        if (n > 0) {
            std::wstring wide(static_cast<size_t>(n), L'\0');
            MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
            for (int i = 0; i + 1 < n; ++i) out->push_back(static_cast<WORD>(wide[i]));
        }
    }
    out->push_back(0);
}

void AlignDword(std::vector<WORD>* out) {
    if (out->size() % 2) out->push_back(0);
}

WORD ClassAtom(ControlClass cls) {
    switch (cls) {
        case ControlClass::kButton:
            return 0x0080;
        case ControlClass::kEdit:
            return 0x0081;
        case ControlClass::kStatic:
            return 0x0082;
        case ControlClass::kComboBox:
            return 0x0085;
    }
    return 0x0082;
}

}  // namespace

std::vector<WORD> BuildTemplate(const DialogTemplate& tmpl) {
    std::vector<WORD> out;
    // Shown by the host once the procedure has set it up.
    const DWORD style = (tmpl.style | DS_SETFONT) & ~static_cast<DWORD>(WS_VISIBLE);
    PutDword(&out, style);
    PutDword(&out, 0);  // extended style
    out.push_back(static_cast<WORD>(tmpl.itemCount));
    out.push_back(0);  // x, y: placed by DS_CENTER or by the host
    out.push_back(0);
    out.push_back(static_cast<WORD>(tmpl.cx));
    out.push_back(static_cast<WORD>(tmpl.cy));
    out.push_back(0);  // no menu
    out.push_back(0);  // the dialog class
    PutString(&out, tmpl.caption);
    out.push_back(tmpl.fontPoints ? tmpl.fontPoints : 8);
    PutString(&out, tmpl.fontName ? tmpl.fontName : "MS Sans Serif");
    for (size_t i = 0; i < tmpl.itemCount; ++i) {
        const DialogItem& it = tmpl.items[i];
        AlignDword(&out);
        PutDword(&out, it.style | WS_CHILD | WS_VISIBLE);
        PutDword(&out, it.exStyle);
        out.push_back(static_cast<WORD>(it.x));
        out.push_back(static_cast<WORD>(it.y));
        out.push_back(static_cast<WORD>(it.cx));
        out.push_back(static_cast<WORD>(it.cy));
        out.push_back(it.id == kNoId ? 0xFFFF : static_cast<WORD>(it.id));
        out.push_back(0xFFFF);
        out.push_back(ClassAtom(it.cls));
        // Pictures are set by the host from the module's images, not loaded by name.
        const bool picture =
            it.cls == ControlClass::kStatic &&
            ((it.style & kSsTypeMask) == kSsIcon || (it.style & kSsTypeMask) == kSsBitmap);
        PutString(&out, picture ? nullptr : it.text);
        out.push_back(0);  // no creation data
    }
    return out;
}

}  // namespace kvp::win32dlg
