// The FLTK host: a real window built from a dialog template. The controls' state lives
// in the dialog core; the widgets show it and report what the user does.
#include "fltk_host.h"

#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Choice.H>
#include <FL/Fl_Double_Window.H>
#include <FL/Fl_Image.H>
#include <FL/Fl_Input.H>
#include <FL/Fl_Native_File_Chooser.H>
#include <FL/Fl_Pixmap.H>
#include <FL/Fl_Text_Buffer.H>
#include <FL/Fl_Text_Display.H>
#include <FL/fl_draw.H>
#include <FL/x.H>
#include <X11/Xlib.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "kv/ui.h"

namespace kvp {
namespace fltk {

void DrawPushButton(Fl_Button* b, bool darkFrame, bool staticEdge) {
    int X = b->x(), Y = b->y(), W = b->w(), H = b->h();
    if (staticEdge) {
        fl_draw_box(FL_THIN_DOWN_BOX, X, Y, W, H, b->color());
        X += 1;
        Y += 1;
        W -= 2;
        H -= 2;
    }
    if (darkFrame) {
        fl_color(FL_BLACK);
        fl_rect(X, Y, W, H);
        X += 1;
        Y += 1;
        W -= 2;
        H -= 2;
    }
    const bool down = b->value() != 0;
    // A checked button that stays pressed has a lighter face than one held by the mouse.
    const bool latched = down && b->type() == FL_TOGGLE_BUTTON;
    fl_draw_box(down ? FL_DOWN_BOX : FL_UP_BOX, X, Y, W, H,
                latched ? fl_rgb_color(240, 239, 234) : b->color());
    const int shift = down ? 1 : 0;
    const bool active = b->active_r() != 0;
    if (b->image()) {
        Fl_Image* img = active || !b->deimage() ? b->image() : b->deimage();
        fl_push_clip(X + 2, Y + 2, W - 4, H - 4);
        img->draw(X + (W - img->w()) / 2 + shift, Y + (H - img->h()) / 2 + shift);
        fl_pop_clip();
    } else {
        // A caption wider than its button stays inside it, as a Windows button clips it;
        // unclipped, the caption of an icon button before its icon arrives stays behind
        // on the dialog.
        fl_push_clip(X + 1, Y + 1, W - 2, H - 2);
        fl_font(b->labelfont(), b->labelsize());
        fl_draw_shortcut = 1;
        if (!active) {
            // The engraved look of a disabled caption.
            fl_color(FL_WHITE);
            fl_draw(b->label(), X + 1 + shift, Y + 1 + shift, W, H, FL_ALIGN_CENTER);
        }
        fl_color(active ? b->labelcolor() : fl_inactive(b->labelcolor()));
        fl_draw(b->label(), X + shift, Y + shift, W, H, FL_ALIGN_CENTER);
        fl_draw_shortcut = 0;
        fl_pop_clip();
    }
    if (Fl::focus() == b && Fl::visible_focus()) {
        fl_color(FL_BLACK);
        fl_line_style(FL_DOT);
        fl_rect(X + 3, Y + 3, W - 6, H - 6);
        fl_line_style(FL_SOLID);
    }
}

namespace {

using dlg::Control;
using dlg::DialogRef;

std::once_flag g_displayOnce;
bool g_displayOpen = false;
std::thread::id g_guiThread;

// Windows' 3D face, window and selection colours.
void SetColours() {
    Fl::background(212, 208, 200);
    Fl::background2(255, 255, 255);
    Fl::foreground(0, 0, 0);
    Fl::set_color(FL_SELECTION_COLOR, 10, 36, 106);
    Fl::set_color(FL_INACTIVE_COLOR, 128, 128, 128);
}

// Sans faces with the metrics of the dialog fonts of that system, when present.
void SetFonts() {
    Fl::set_font(FL_HELVETICA, " Liberation Sans");
    Fl::set_font(FL_HELVETICA_BOLD, "BLiberation Sans");
    FL_NORMAL_SIZE = kFontPixels;
}

// Pixmaps by their XPM data; made once and kept, as resources stay loaded.
Fl_Image* ImageFor(const char* const* xpm, bool inactive) {
    static std::map<std::pair<const char* const*, bool>, Fl_Image*> cache;
    auto key = std::make_pair(xpm, inactive);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    Fl_Image* img = new Fl_Pixmap(xpm);
    if (inactive) {
        Fl_Image* grey = img->copy();
        grey->desaturate();
        grey->inactive();
        img = grey;
    }
    cache[key] = img;
    return img;
}

class DialogWindow;

// What every control's widget shares: its dialog, its index, and the dialog manager's
// keys (mnemonics belong to the dialog, not to FLTK's own shortcut matching).
template <class Base>
class Bound : public Base {
  public:
    Bound(DialogWindow* win, int index, int x, int y, int w, int h)
        : Base(x, y, w, h), win_(win), index_(index) {}
    int handle(int e) override;

  protected:
    DialogWindow* win_;
    int index_;
};

class DialogWindow : public Fl_Double_Window {
  public:
    DialogWindow(DialogRef d, int w, int h) : Fl_Double_Window(w, h), d_(std::move(d)) {}
    int handle(int e) override;

    void FocusArrived(int index) {
        if (!syncing_) dlg::UserFocus(d_, index, false);
    }
    bool FocusIsEdit() const {
        for (size_t i = 0; i < widgets_.size(); ++i)
            if (widgets_[i] == Fl::focus()) return d_->controls[i].IsEdit();
        return false;
    }

    DialogRef d_;
    std::vector<Fl_Widget*> widgets_;  // by control index
    bool syncing_ = false;
};

template <class Base>
int Bound<Base>::handle(int e) {
    if (e == FL_SHORTCUT) return 0;
    const int r = Base::handle(e);
    if (e == FL_FOCUS && r) win_->FocusArrived(index_);
    return r;
}

int DialogWindow::handle(int e) {
    if (e == FL_KEYBOARD || e == FL_SHORTCUT) {
        const int key = Fl::event_key();
        const bool shift = Fl::event_state(FL_SHIFT) != 0;
        const bool alt = Fl::event_state(FL_ALT) != 0;
        switch (key) {
            case FL_Tab:
                dlg::UserKey(d_, shift ? dlg::Key::kShiftTab : dlg::Key::kTab);
                return 1;
            case FL_Enter:
            case FL_KP_Enter:
                dlg::UserKey(d_, dlg::Key::kEnter);
                return 1;
            case FL_Escape:
                dlg::UserKey(d_, dlg::Key::kEscape);
                return 1;
            case FL_Up:
                return dlg::UserKey(d_, dlg::Key::kUp) ? 1 : 0;
            case FL_Down:
                return dlg::UserKey(d_, dlg::Key::kDown) ? 1 : 0;
            case FL_Left:
                return dlg::UserKey(d_, dlg::Key::kLeft) ? 1 : 0;
            case FL_Right:
                return dlg::UserKey(d_, dlg::Key::kRight) ? 1 : 0;
            default:
                break;
        }
        if (key < 0x80 && std::isalnum(key) && (alt || !FocusIsEdit()) &&
            !Fl::event_state(FL_CTRL | FL_META)) {
            if (dlg::UserMnemonic(d_, static_cast<char>(key))) return 1;
        }
    }
    return Fl_Double_Window::handle(e);
}

// ---- widgets --------------------------------------------------------------------------

// A push button, the default one with its dark frame, one showing an icon, or a radio
// button drawn as a push button.
class PushButton : public Bound<Fl_Button> {
  public:
    PushButton(DialogWindow* win, int index, int x, int y, int w, int h, bool isDefault,
               bool staticEdge)
        : Bound(win, index, x, y, w, h), default_(isDefault), staticEdge_(staticEdge) {}
    void draw() override {
        DrawPushButton(this, default_ || (Fl::focus() == this && !staticEdge_), staticEdge_);
    }

  private:
    bool default_;
    bool staticEdge_;
};

// A check box or radio button as the system draws them: a sunken white square with a
// check mark, or a sunken white circle with a dot, and the caption beside it.
class ToggleButton : public Bound<Fl_Button> {
  public:
    ToggleButton(DialogWindow* win, int index, int x, int y, int w, int h, bool round)
        : Bound(win, index, x, y, w, h), round_(round) {
        type(FL_TOGGLE_BUTTON);
    }
    void draw() override {
        constexpr int kSize = 13;
        const int bx = x(), by = y() + (h() - kSize) / 2;
        const bool on = value() != 0;
        const Fl_Color face = active_r() ? FL_WHITE : FL_BACKGROUND_COLOR;
        const Fl_Color ink = active_r() ? FL_BLACK : FL_INACTIVE_COLOR;
        if (round_) {
            fl_color(face);
            fl_pie(bx, by, kSize - 1, kSize - 1, 0, 360);
            fl_color(FL_DARK3);
            fl_arc(bx, by, kSize - 1, kSize - 1, 45, 225);
            fl_color(FL_WHITE);
            fl_arc(bx, by, kSize - 1, kSize - 1, 225, 405);
            fl_color(FL_BLACK);
            fl_arc(bx + 1, by + 1, kSize - 3, kSize - 3, 45, 225);
            fl_color(FL_BACKGROUND_COLOR);
            fl_arc(bx + 1, by + 1, kSize - 3, kSize - 3, 225, 405);
            if (on) {
                fl_color(ink);
                fl_pie(bx + 4, by + 4, 5, 5, 0, 360);
            }
        } else {
            draw_box(FL_DOWN_BOX, bx, by, kSize, kSize, face);
            if (on) {
                fl_color(ink);
                for (int i = 0; i < 3; ++i) {
                    fl_line(bx + 3, by + 5 + i, bx + 5, by + 7 + i);
                    fl_line(bx + 5, by + 7 + i, bx + 9, by + 3 + i);
                }
            }
        }
        const int tx = bx + kSize + 4;
        fl_font(labelfont(), labelsize());
        fl_draw_shortcut = 1;
        if (!active_r()) {
            fl_color(FL_WHITE);
            fl_draw(label(), tx + 1, y() + 1, w() - (tx - x()), h(), FL_ALIGN_LEFT);
        }
        fl_color(active_r() ? labelcolor() : FL_INACTIVE_COLOR);
        fl_draw(label(), tx, y(), w() - (tx - x()), h(), FL_ALIGN_LEFT);
        fl_draw_shortcut = 0;
        if (Fl::focus() == this && Fl::visible_focus()) {
            int tw = 0, th = 0;
            fl_measure(label(), tw, th);
            fl_color(FL_BLACK);
            fl_line_style(FL_DOT);
            fl_rect(tx - 1, y() + (h() - th) / 2 - 1, tw + 3, th + 2);
            fl_line_style(FL_SOLID);
        }
    }

  private:
    bool round_;
};

class Edit : public Bound<Fl_Input> {
  public:
    using Bound::Bound;
};

// A read-only text of several lines, wrapped at the box's width.
class MultiLineText : public Bound<Fl_Text_Display> {
  public:
    MultiLineText(DialogWindow* win, int index, int x, int y, int w, int h)
        : Bound(win, index, x, y, w, h) {
        buffer(&buffer_);
        wrap_mode(WRAP_AT_BOUNDS, 0);
    }
    ~MultiLineText() override { buffer(nullptr); }
    void SetText(const std::string& text) {
        // Windows line ends show as one break.
        std::string plain;
        for (char c : text)
            if (c != '\r') plain += c;
        buffer_.text(plain.c_str());
    }

  private:
    Fl_Text_Buffer buffer_;
};

class DropList : public Bound<Fl_Choice> {
  public:
    using Bound::Bound;
};

// A frame with its caption set into the top line.
class GroupBox : public Fl_Widget {
  public:
    GroupBox(int x, int y, int w, int h) : Fl_Widget(x, y, w, h) {}
    void draw() override {
        fl_font(labelfont(), labelsize());
        const int lineY = y() + fl_height() / 2;
        const int X = x(), W = w(), H = h() - (lineY - y());
        fl_color(FL_DARK3);
        fl_rect(X, lineY, W - 1, H - 1);
        fl_color(FL_WHITE);
        fl_xyline(X + 1, lineY + 1, X + W - 3);
        fl_yxline(X + 1, lineY + 1, lineY + H - 3);
        fl_xyline(X, lineY + H - 1, X + W - 1);
        fl_yxline(X + W - 1, lineY, lineY + H - 1);
        const char* text = label();
        if (text && *text) {
            int tw = 0, th = 0;
            fl_measure(text, tw, th);
            fl_color(color());
            fl_rectf(X + 6, y(), tw + 4, fl_height());
            fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
            fl_draw_shortcut = 1;
            fl_draw(text, X + 8, y(), tw, fl_height(), FL_ALIGN_LEFT | FL_ALIGN_INSIDE);
            fl_draw_shortcut = 0;
        }
    }
};

// Static text, optionally sunken, or a static icon or picture.
class StaticControl : public Fl_Widget {
  public:
    StaticControl(int x, int y, int w, int h, bool sunken)
        : Fl_Widget(x, y, w, h), sunken_(sunken) {}
    void draw() override {
        int X = x(), Y = y(), W = w(), H = h();
        if (sunken_) {
            draw_box(FL_THIN_DOWN_BOX, X, Y, W, H, color());
            X += 2;
            Y += 1;
            W -= 4;
            H -= 2;
        }
        if (image()) {
            image()->draw(X, Y);
            return;
        }
        fl_font(labelfont(), labelsize());
        fl_color(active_r() ? labelcolor() : fl_inactive(labelcolor()));
        fl_push_clip(X, Y, W, H);
        fl_draw_shortcut = 1;
        fl_draw(label(), X, Y, W, H, FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_WRAP);
        fl_draw_shortcut = 0;
        fl_pop_clip();
    }

  private:
    bool sunken_;
};

// ---- building and showing ---------------------------------------------------------------

// Dialog units to pixels, from the font as Windows measures its dialog font.
struct Units {
    double x = 1.5;
    double y = 1.625;
    int X(int v) const { return static_cast<int>(std::lround(v * x)); }
    int Y(int v) const { return static_cast<int>(std::lround(v * y)); }
};

Units MeasureUnits() {
    fl_font(FL_HELVETICA, kFontPixels);
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    Units u;
    u.x = fl_width(alphabet) / 52.0 / 4.0;
    u.y = fl_height() / 8.0;
    return u;
}

void OnButton(Fl_Widget* w, void* data) {
    auto* win = static_cast<DialogWindow*>(w->window());
    dlg::UserClick(win->d_, static_cast<int>(reinterpret_cast<intptr_t>(data)));
}

void OnEdit(Fl_Widget* w, void* data) {
    auto* win = static_cast<DialogWindow*>(w->window());
    if (win->syncing_) return;
    dlg::UserType(win->d_, static_cast<int>(reinterpret_cast<intptr_t>(data)),
                  static_cast<Fl_Input*>(w)->value());
}

void OnList(Fl_Widget* w, void* data) {
    auto* win = static_cast<DialogWindow*>(w->window());
    if (win->syncing_) return;
    dlg::UserSelectList(win->d_, static_cast<int>(reinterpret_cast<intptr_t>(data)),
                        static_cast<Fl_Choice*>(w)->value());
}

void OnWindow(Fl_Widget* w, void*) {
    auto* win = static_cast<DialogWindow*>(w);
    // FLTK reports Escape as a close request: it is the dialog manager's Cancel.
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
        dlg::UserKey(win->d_, dlg::Key::kEscape);
    } else {
        dlg::UserClose(win->d_);
    }
}

Fl_Widget* MakeWidget(DialogWindow* win, const Control& c, int index, const Units& u) {
    const DialogItem& it = c.item;
    const int x = u.X(it.x), y = u.Y(it.y);
    int w = u.X(it.x + it.cx) - x, h = u.Y(it.y + it.cy) - y;
    void* data = reinterpret_cast<void*>(static_cast<intptr_t>(index));
    Fl_Widget* widget = nullptr;
    switch (it.cls) {
        case ControlClass::kButton:
            if (c.IsGroupBox()) {
                widget = new GroupBox(x, y, w, h);
            } else if (c.IsCheckBox()) {
                widget = new ToggleButton(win, index, x, y, w, h, false);
            } else if (c.IsRadio() && (it.style & kBsPushLike)) {
                auto* b = new PushButton(win, index, x, y, w, h, false,
                                         (it.exStyle & kWsExStaticEdge) != 0);
                b->type(FL_TOGGLE_BUTTON);
                widget = b;
            } else if (c.IsRadio()) {
                widget = new ToggleButton(win, index, x, y, w, h, true);
            } else {
                widget = new PushButton(win, index, x, y, w, h, c.IsDefaultButton(), false);
            }
            if (!c.IsGroupBox()) widget->callback(OnButton, data);
            break;
        case ControlClass::kEdit:
            if (it.style & kEsMultiLine) {
                auto* t = new MultiLineText(win, index, x, y, w, h);
                t->textfont(FL_HELVETICA);
                t->textsize(kFontPixels);
                t->color(FL_BACKGROUND_COLOR);
                t->box((it.style & kWsBorder) || (it.exStyle & kWsExClientEdge) ? FL_DOWN_BOX
                                                                                : FL_NO_BOX);
                widget = t;
            } else {
                auto* e = new Edit(win, index, x, y, w, h);
                e->textfont(FL_HELVETICA);
                e->textsize(kFontPixels);
                e->when(FL_WHEN_CHANGED);
                e->callback(OnEdit, data);
                widget = e;
            }
            break;
        case ControlClass::kComboBox: {
            // The template gives the height with the list opened.
            auto* l = new DropList(win, index, x, y, w, std::min(h, u.Y(13)));
            l->textfont(FL_HELVETICA);
            l->textsize(kFontPixels);
            l->down_box(FL_BORDER_BOX);
            l->callback(OnList, data);
            widget = l;
            break;
        }
        case ControlClass::kStatic: {
            const uint32_t type = c.Type();
            const bool picture = type == kSsIcon || type == kSsBitmap;
            if (picture) {
                // A picture sizes its control to the picture, as Windows does.
                if (const ImageResource* res = dlg::FindImage(*win->d_, c.image)) {
                    Fl_Image* img = ImageFor(res->xpm, false);
                    w = std::max(w, img->w());
                    h = std::max(h, img->h());
                }
            }
            widget = new StaticControl(
                x, y, w, h, (it.style & kSsSunken) != 0 || (it.exStyle & kWsExStaticEdge) != 0);
            break;
        }
    }
    widget->labelfont(FL_HELVETICA);
    widget->labelsize(kFontPixels);
    return widget;
}

// Shows one control's state on its widget.
void Apply(DialogWindow* win, int index, const Control& c) {
    Fl_Widget* w = win->widgets_[index];
    const dlg::Dialog& d = *win->d_;
    if (c.enabled) {
        w->activate();
    } else {
        w->deactivate();
    }
    switch (c.item.cls) {
        case ControlClass::kButton: {
            auto* b = static_cast<Fl_Button*>(w);
            if (!c.IsGroupBox()) b->value(c.check == kBstChecked ? 1 : 0);
            const ImageResource* res = dlg::FindImage(d, c.image);
            if ((c.item.style & kBsIcon) && res) {
                // A button too small for the icon shows the icon's small form, if any.
                const char* const* xpm = res->xpm;
                const Fl_Image* big = ImageFor(xpm, false);
                if (res->small && (big->w() > b->w() - 4 || big->h() > b->h() - 4))
                    xpm = res->small;
                b->image(ImageFor(xpm, false));
                b->deimage(ImageFor(xpm, true));
                b->copy_label("");
                b->copy_tooltip(dlg::StripMnemonic(c.text).c_str());
            } else {
                b->copy_label(c.text.c_str());
            }
            break;
        }
        case ControlClass::kEdit:
            if (c.item.style & kEsMultiLine) {
                static_cast<MultiLineText*>(w)->SetText(c.text);
            } else {
                auto* e = static_cast<Fl_Input*>(w);
                if (c.text != e->value()) e->value(c.text.c_str());
                e->position(c.selEnd, c.selStart);
                e->readonly((c.item.style & kEsReadOnly) != 0);
            }
            break;
        case ControlClass::kComboBox: {
            auto* l = static_cast<Fl_Choice*>(w);
            l->clear();
            for (const std::string& item : c.list) {
                // Menu texts treat '/', '&' and '_' specially: add them quoted.
                const int at = l->add("x");
                l->replace(at, item.c_str());
            }
            if (c.listSel >= 0 && c.listSel < l->size()) {
                l->value(c.listSel);
            } else {
                l->value(static_cast<const Fl_Menu_Item*>(nullptr));
            }
            break;
        }
        case ControlClass::kStatic: {
            const uint32_t type = c.Type();
            if (type == kSsIcon || type == kSsBitmap) {
                const ImageResource* res = dlg::FindImage(d, c.image);
                w->image(res ? ImageFor(res->xpm, false) : nullptr);
                w->copy_label("");
            } else {
                w->copy_label(c.text.c_str());
            }
            break;
        }
    }
    w->redraw();
}

class FltkHost final : public dlg::Host {
  public:
    bool Open(dlg::Dialog& d) override {
        if (!EnsureDisplay() || std::this_thread::get_id() != g_guiThread) return false;
        DialogRef ref = dlg::Find(d.handle());
        if (!ref) return false;
        const Units u = MeasureUnits();
        auto* win = new DialogWindow(ref, u.X(d.tmpl->cx), u.Y(d.tmpl->cy));
        win->begin();
        win->widgets_.resize(d.controls.size(), nullptr);
        // Frames first, so that they lie under the controls they hold; the keyboard
        // order is the template's, kept by the dialog core.
        for (int pass = 0; pass < 2; ++pass) {
            for (size_t i = 0; i < d.controls.size(); ++i) {
                const Control& c = d.controls[i];
                const bool frame = c.IsGroupBox() || c.IsStatic();
                if ((pass == 0) != frame) continue;
                win->widgets_[i] = MakeWidget(win, c, static_cast<int>(i), u);
            }
        }
        win->end();
        win->callback(OnWindow);
        win->set_modal();
        win->copy_label(d.title.c_str());
        win->xclass("kvtftp");
        // The window's icon is the dialog's own program icon, when it shows one.
        for (const Control& c : d.controls) {
            if (!c.IsStatic() || c.Type() != kSsIcon) continue;
            if (const ImageResource* res = dlg::FindImage(d, c.image)) {
                static std::map<const char* const*, Fl_RGB_Image*> icons;
                Fl_RGB_Image*& icon = icons[res->xpm];
                if (!icon)
                    icon = new Fl_RGB_Image(static_cast<Fl_Pixmap*>(ImageFor(res->xpm, false)));
                win->icon(icon);
            }
            break;
        }
        int sx, sy, sw, sh;
        Fl::screen_work_area(sx, sy, sw, sh);
        win->position(sx + (sw - win->w()) / 2, sy + (sh - win->h()) / 2);
        d.view = win;
        return true;
    }

    void Show(dlg::Dialog& d) override {
        auto* win = static_cast<DialogWindow*>(d.view);
        dlg::MarkAllDirty(d);
        Sync(d);
        win->show();
        // Focus needs a shown window.
        dlg::MarkFocusDirty(d);
        Sync(d);
    }

    void Close(dlg::Dialog& d) override {
        auto* win = static_cast<DialogWindow*>(d.view);
        d.view = nullptr;
        if (!win) return;
        win->hide();
        win->d_.reset();
        Fl::delete_widget(win);
    }

    void Sync(dlg::Dialog& d) override {
        auto* win = static_cast<DialogWindow*>(d.view);
        if (!win) return;
        const dlg::DirtyState st = dlg::TakeDirty(d, win->shown() != 0);
        win->syncing_ = true;
        if (st.titleDirty) win->copy_label(st.title.c_str());
        if (st.focusDirty && win->shown() && st.focus >= 0) {
            Fl_Widget* w = win->widgets_[st.focus];
            if (Fl::focus() != w) w->take_focus();
        }
        for (const auto& [index, c] : st.controls) Apply(win, index, c);
        win->syncing_ = false;
    }

    void Wake() override { Fl::awake(); }

    void Wait(int ms) override { Fl::wait(ms < 0 ? 1e20 : ms / 1000.0); }

    bool PickFile(dlg::Dialog*, const std::string& title, const std::vector<FileFilter>& filters,
                  int filterIndex, const std::string& proposed, bool mustExist,
                  std::string* chosen) override {
        if (std::this_thread::get_id() != g_guiThread) return false;
        Fl_Native_File_Chooser chooser(mustExist ? Fl_Native_File_Chooser::BROWSE_FILE
                                                 : Fl_Native_File_Chooser::BROWSE_SAVE_FILE);
        chooser.title(title.c_str());
        std::string filterText;
        for (const FileFilter& f : filters) {
            // "*.*" means every file, with or without a dot.
            filterText += f.description + "\t" + (f.pattern == "*.*" ? "*" : f.pattern) + "\n";
        }
        if (!filterText.empty()) chooser.filter(filterText.c_str());
        if (filterIndex >= 1) chooser.filter_value(filterIndex - 1);
        struct stat st;
        if (!proposed.empty() && ::stat(proposed.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            chooser.directory(proposed.c_str());
        } else if (!proposed.empty()) {
            const size_t cut = proposed.find_last_of('/');
            if (cut != std::string::npos) {
                chooser.directory(proposed.substr(0, cut == 0 ? 1 : cut).c_str());
                chooser.preset_file(proposed.substr(cut + 1).c_str());
            } else {
                chooser.preset_file(proposed.c_str());
            }
        }
        if (chooser.show() != 0 || !chooser.filename() || !*chooser.filename()) return false;
        *chosen = chooser.filename();
        return true;
    }

    bool PickFolder(dlg::Dialog*, const std::string& title, std::string* chosen) override {
        if (std::this_thread::get_id() != g_guiThread) return false;
        Fl_Native_File_Chooser chooser(Fl_Native_File_Chooser::BROWSE_DIRECTORY);
        chooser.title(title.c_str());
        if (chooser.show() != 0 || !chooser.filename() || !*chooser.filename()) return false;
        *chosen = chooser.filename();
        return true;
    }
};

FltkHost g_host;

// Every loop that FLTK runs, also those of its own choosers and of message boxes, runs
// the dialogs' posted work, timers and updates.
void ArmTimer(int ms);

void OnTimer(void*) {
    ArmTimer(dlg::Pump());
}

void ArmTimer(int ms) {
    Fl::remove_timeout(OnTimer);
    if (ms >= 0) Fl::add_timeout(ms / 1000.0, OnTimer);
}

void OnCheck(void*) {
    ArmTimer(dlg::Pump());
}

class FltkBoxes final : public MessageBoxHandler {
  public:
    int Show(void* owner, const char* text, const char* caption, unsigned flags) override {
        return ShowBox(owner, text, caption, flags);
    }
};

FltkBoxes g_boxes;

}  // namespace

bool EnsureDisplay() {
    std::call_once(g_displayOnce, [] {
        Display* display = ::XOpenDisplay(nullptr);
        if (!display) return;
        fl_open_display(display);
        Fl::lock();  // makes Fl::awake usable from other threads
        g_guiThread = std::this_thread::get_id();
        SetColours();
        SetFonts();
        Fl::visible_focus(1);
        Fl::add_check(OnCheck);
        SetMessageBoxHandler(&g_boxes);
        g_displayOpen = true;
    });
    return g_displayOpen;
}

std::thread::id GuiThread() {
    return g_guiThread;
}

dlg::Host* TheHost() {
    return &g_host;
}

}  // namespace fltk

namespace dlg {

Host* ToolkitHost() {
    return fltk::EnsureDisplay() ? fltk::TheHost() : nullptr;
}

}  // namespace dlg
}  // namespace kvp
