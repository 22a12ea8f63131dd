// XPM pictures read, and written as the Windows resource formats: icons (.ico, 4 bits a
// pixel in the sixteen standard colours, with a transparency mask) and bitmaps (.bmp,
// 8 bits a pixel with a palette of at most 256 colours).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvimg {

struct Rgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const Rgb&) const = default;
};

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<Rgb> palette;
    std::vector<int> pixels;  // palette index per pixel, row by row from the top; -1 clear
};

// From the strings of an XPM array (as compiled in) or from the text of an XPM file.
bool ParseXpm(const std::vector<std::string>& strings, Picture* out, std::string* error);
bool ParseXpmText(const std::string& text, Picture* out, std::string* error);

// The sixteen standard colours, in their palette order.
const std::vector<Rgb>& StandardColours();

// An icon file of one or more pictures, each only of standard colours and clear pixels.
bool WriteIco(const std::vector<Picture>& images, std::vector<uint8_t>* out, std::string* error);
// An 8-bit bitmap file of a picture of at most 256 colours and no clear pixels.
bool WriteBmp(const Picture& picture, std::vector<uint8_t>* out, std::string* error);

}  // namespace kvimg
