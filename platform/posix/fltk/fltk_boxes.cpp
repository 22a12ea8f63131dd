// Message boxes as modal FLTK windows laid out as the system's boxes are: the icon of
// the box's kind, the text, and the buttons of its kind in a centred row.
#include <FL/Fl.H>
#include <FL/Fl_Box.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Double_Window.H>
#include <FL/fl_draw.H>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fltk_host.h"
#include "kv/thread.h"
#include "kv/ui.h"

namespace kvp::fltk {

namespace {

constexpr int kMargin = 11;
constexpr int kIconSize = 32;
constexpr int kButtonW = 75;
constexpr int kButtonH = 23;
constexpr int kButtonGap = 6;
constexpr int kTextWrap = 420;

enum class Glyph { kNone, kError, kQuestion, kWarning, kInformation };

Glyph GlyphOf(unsigned flags) {
    switch (flags & 0xF0u) {
        case kMbIconError:
            return Glyph::kError;
        case kMbIconQuestion:
            return Glyph::kQuestion;
        case kMbIconWarning:
            return Glyph::kWarning;
        case kMbIconInformation:
            return Glyph::kInformation;
        default:
            return Glyph::kNone;
    }
}

// The four system symbols, drawn: a red disc with a cross, a yellow triangle with an
// exclamation mark, blue discs with an i or a question mark.
class GlyphBox : public Fl_Widget {
  public:
    GlyphBox(int x, int y, Glyph g) : Fl_Widget(x, y, kIconSize, kIconSize), glyph_(g) {}
    void draw() override {
        const int X = x(), Y = y(), S = kIconSize;
        switch (glyph_) {
            case Glyph::kError:
                fl_color(fl_rgb_color(128, 128, 128));
                fl_pie(X + 2, Y + 2, S - 2, S - 2, 0, 360);
                fl_color(fl_rgb_color(220, 0, 0));
                fl_pie(X, Y, S - 2, S - 2, 0, 360);
                fl_color(FL_WHITE);
                fl_line_style(FL_SOLID | FL_CAP_ROUND, 4);
                fl_line(X + 10, Y + 10, X + S - 12, Y + S - 12);
                fl_line(X + S - 12, Y + 10, X + 10, Y + S - 12);
                fl_line_style(FL_SOLID);
                break;
            case Glyph::kWarning:
                fl_color(fl_rgb_color(255, 220, 0));
                fl_polygon(X + S / 2, Y + 1, X + S - 1, Y + S - 3, X + 1, Y + S - 3);
                fl_color(FL_BLACK);
                fl_loop(X + S / 2, Y + 1, X + S - 1, Y + S - 3, X + 1, Y + S - 3);
                fl_rectf(X + S / 2 - 2, Y + 10, 4, 11);
                fl_rectf(X + S / 2 - 2, Y + 23, 4, 4);
                break;
            case Glyph::kInformation:
            case Glyph::kQuestion: {
                fl_color(fl_rgb_color(128, 128, 128));
                fl_pie(X + 2, Y + 2, S - 2, S - 2, 0, 360);
                fl_color(fl_rgb_color(0, 64, 200));
                fl_pie(X, Y, S - 2, S - 2, 0, 360);
                fl_color(FL_WHITE);
                fl_font(FL_TIMES_BOLD, 22);
                fl_draw(glyph_ == Glyph::kQuestion ? "?" : "i", X, Y, S - 2, S - 2,
                        FL_ALIGN_CENTER);
                break;
            }
            case Glyph::kNone:
                break;
        }
    }

  private:
    Glyph glyph_;
};

struct ButtonSpec {
    const char* label;
    int id;
};

std::vector<ButtonSpec> ButtonsOf(unsigned flags) {
    switch (flags & 0xFu) {
        case 1:
            return {{"OK", kIdOk}, {"Cancel", kIdCancel}};
        case 2:
            return {{"&Abort", 3}, {"&Retry", 4}, {"&Ignore", 5}};
        case 3:
            return {{"&Yes", kIdYes}, {"&No", kIdNo}, {"Cancel", kIdCancel}};
        case 4:
            return {{"&Yes", kIdYes}, {"&No", kIdNo}};
        case 5:
            return {{"&Retry", 4}, {"Cancel", kIdCancel}};
        case 6:
            return {{"Cancel", kIdCancel}, {"&Try Again", 10}, {"&Continue", 11}};
        default:
            return {{"OK", kIdOk}};
    }
}

// What Escape and the close box answer: Cancel where there is one, OK for a box with
// OK alone, nothing otherwise.
int EscapeAnswer(const std::vector<ButtonSpec>& buttons) {
    for (const ButtonSpec& b : buttons)
        if (b.id == kIdCancel) return kIdCancel;
    if (buttons.size() == 1 && buttons[0].id == kIdOk) return kIdOk;
    return 0;
}

struct BoxState {
    int answer = 0;
    int escape = 0;
    std::vector<Fl_Button*> buttons;
    std::vector<int> ids;
};

class BoxButton : public Fl_Button {
  public:
    BoxButton(int x, int y, const char* label) : Fl_Button(x, y, kButtonW, kButtonH) {
        copy_label(label);
    }
    void draw() override { DrawPushButton(this, Fl::focus() == this, false); }
};

class BoxWindow : public Fl_Double_Window {
  public:
    BoxWindow(int w, int h, BoxState* st) : Fl_Double_Window(w, h), st_(st) {}
    int handle(int e) override {
        if (e == FL_KEYBOARD || e == FL_SHORTCUT) {
            const int key = Fl::event_key();
            if (key == FL_Enter || key == FL_KP_Enter) {
                for (size_t i = 0; i < st_->buttons.size(); ++i)
                    if (Fl::focus() == st_->buttons[i]) st_->answer = st_->ids[i];
                return 1;
            }
            if (key == FL_Escape) {
                if (st_->escape) st_->answer = st_->escape;
                return 1;
            }
            if (key == FL_Left || key == FL_Right) {
                return Fl_Double_Window::handle(e);
            }
            // The letters of the buttons, with or without Alt.
            if (key < 0x80) {
                for (size_t i = 0; i < st_->buttons.size(); ++i) {
                    const char* l = st_->buttons[i]->label();
                    const char* amp = std::strchr(l, '&');
                    if (amp && std::tolower(static_cast<unsigned char>(amp[1])) == key) {
                        st_->answer = st_->ids[i];
                        return 1;
                    }
                }
            }
        }
        return Fl_Double_Window::handle(e);
    }

  private:
    BoxState* st_;
};

void OnBoxButton(Fl_Widget* w, void* data) {
    auto* st = static_cast<BoxState*>(data);
    for (size_t i = 0; i < st->buttons.size(); ++i)
        if (st->buttons[i] == w) st->answer = st->ids[i];
}

void OnBoxClose(Fl_Widget*, void* data) {
    auto* st = static_cast<BoxState*>(data);
    if (Fl::event() == FL_SHORTCUT && Fl::event_key() == FL_Escape) {
        if (st->escape) st->answer = st->escape;
        return;
    }
    if (st->escape) st->answer = st->escape;
}

struct BoxRequest {
    std::string text;
    std::string caption;
    unsigned flags = 0;
    bool owned = false;
    std::atomic<bool> cancelled{false};
    int answer = 0;
    EventHandle done;
};

int RunBoxHere(const std::string& text, const std::string& caption, unsigned flags, bool owned,
               const std::atomic<bool>* cancelled) {
    const std::vector<ButtonSpec> specs = ButtonsOf(flags);
    const Glyph glyph = GlyphOf(flags);

    fl_font(FL_HELVETICA, kFontPixels);
    int tw = 0, th = 0;
    fl_measure(text.c_str(), tw, th, 0);
    if (tw > kTextWrap) {
        tw = kTextWrap;
        th = 0;
        fl_measure(text.c_str(), tw, th, 0);
    }
    const int textX = kMargin + (glyph == Glyph::kNone ? 0 : kIconSize + 12);
    const int topH = std::max(th, glyph == Glyph::kNone ? 0 : kIconSize);
    const int textY = kMargin + (topH - th) / 2;
    const int rowW =
        static_cast<int>(specs.size()) * kButtonW + static_cast<int>(specs.size() - 1) * kButtonGap;
    int captionW = static_cast<int>(fl_width(caption.c_str())) + 80;
    const int winW = std::max({textX + tw + kMargin + 8, rowW + 2 * kMargin, captionW, 120});
    const int buttonsY = kMargin + topH + 16;
    const int winH = buttonsY + kButtonH + kMargin;

    BoxState st;
    st.escape = EscapeAnswer(specs);
    BoxWindow win(winW, winH, &st);
    win.copy_label(caption.c_str());
    win.begin();
    if (glyph != Glyph::kNone) new GlyphBox(kMargin, kMargin, glyph);
    auto* label = new Fl_Box(textX, textY, tw + 8, th);
    label->copy_label(text.c_str());
    label->labelfont(FL_HELVETICA);
    label->labelsize(kFontPixels);
    // Plain text: '&' is not a mnemonic in a box's text.
    label->align(FL_ALIGN_LEFT | FL_ALIGN_TOP | FL_ALIGN_INSIDE | FL_ALIGN_WRAP);
    label->box(FL_NO_BOX);
    int bx = (winW - rowW) / 2;
    for (const ButtonSpec& s : specs) {
        auto* b = new BoxButton(bx, buttonsY, s.label);
        b->labelfont(FL_HELVETICA);
        b->labelsize(kFontPixels);
        b->callback(OnBoxButton, &st);
        st.buttons.push_back(b);
        st.ids.push_back(s.id);
        bx += kButtonW + kButtonGap;
    }
    win.end();
    win.callback(OnBoxClose, &st);
    // A box over a dialog holds that dialog; one without an owner (a worker's report)
    // stays on top and leaves the windows usable, as the system's boxes do.
    if (owned) {
        win.set_modal();
    } else {
        win.set_non_modal();
    }
    int sx, sy, sw, sh;
    Fl::screen_work_area(sx, sy, sw, sh);
    win.position(sx + (sw - winW) / 2, sy + (sh - winH) / 2);
    win.show();
    unsigned def = (flags >> 8) & 0xFu;
    if (def >= st.buttons.size()) def = 0;
    st.buttons[def]->take_focus();
    while (win.shown() && st.answer == 0 && !(cancelled && cancelled->load())) Fl::wait();
    win.hide();
    return st.answer == 0 ? MessageBoxDefaultButton(flags) : st.answer;
}

}  // namespace

int ShowBox(void* owner, const char* text, const char* caption, unsigned flags) {
    if (std::this_thread::get_id() == GuiThread())
        return RunBoxHere(text, caption, flags, owner != nullptr, nullptr);

    auto req = std::make_shared<BoxRequest>();
    req->text = text;
    req->caption = caption;
    req->flags = flags;
    req->owned = owner != nullptr;
    req->done = CreateEventA(true, false, nullptr);
    if (!req->done) return MessageBoxDefaultButton(flags);
    // A thread terminated while it waits takes its box away with it.
    struct Withdraw {
        std::shared_ptr<BoxRequest> req;
        ~Withdraw() {
            req->cancelled = true;
            Fl::awake();
        }
    } withdraw{req};
    dlg::PostWork(GuiThread(), TheHost(), [req] {
        if (!req->cancelled)
            req->answer =
                RunBoxHere(req->text, req->caption, req->flags, req->owned, &req->cancelled);
        SetEvent(req->done);
    });
    WaitForEvent(req->done, kInfinite);
    return req->answer;
}

}  // namespace kvp::fltk
