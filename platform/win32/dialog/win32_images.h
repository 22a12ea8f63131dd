// The module's XPM pictures as Windows icons and bitmaps, made at run time and kept for
// the life of the process, as loaded resources are.
#pragma once

#include "win32/win32.h"

namespace kvp::win32dlg {

// An icon with a transparency mask; null when the data cannot be read.
HICON IconFromXpm(const char* const* xpm);
// A bitmap; clear pixels take the dialog face colour. Null when unreadable.
HBITMAP BitmapFromXpm(const char* const* xpm);
// The size of the picture, or false.
bool XpmSize(const char* const* xpm, int* width, int* height);

}  // namespace kvp::win32dlg
