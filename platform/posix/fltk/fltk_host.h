// What the FLTK host's parts share: the display, the thread that owns it, the look.
#pragma once

#include <thread>

class Fl_Button;

#include "../../dialog/dialog_core.h"

namespace kvp::fltk {

// Opens the display once, on the calling thread, which then owns every window; false
// when there is no display.
bool EnsureDisplay();
std::thread::id GuiThread();
dlg::Host* TheHost();

// The dialog font: the face and pixel size of an 8-point font on a 96-dpi screen.
constexpr int kFontPixels = 11;

// Draws a push button as the system does: raised, pressed in, with the dark frame of a
// default or focused button, an optional sunken edge around it, its caption (or icon)
// and the dotted focus rectangle.
void DrawPushButton(Fl_Button* b, bool darkFrame, bool staticEdge);

// Shows a message box on the display's thread and returns the button pressed; a box
// asked for by another thread is handed over, and that thread waits (a wait that
// terminating the thread ends).
int ShowBox(void* owner, const char* text, const char* caption, unsigned flags);

}  // namespace kvp::fltk
