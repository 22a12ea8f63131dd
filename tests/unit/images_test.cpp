// The pictures as compiled in, and their Windows resource forms read back pixel by pixel.
#include "images.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "xpm.h"

namespace {

using kvimg::Picture;

std::vector<std::string> Strings(const char* const* xpm) {
    int w = 0, h = 0, n = 0, cpp = 0;
    std::sscanf(xpm[0], "%d %d %d %d", &w, &h, &n, &cpp);
    return std::vector<std::string>(xpm, xpm + 1 + n + h);
}

Picture Parse(const char* const* xpm) {
    Picture p;
    std::string error;
    EXPECT_TRUE(kvimg::ParseXpm(Strings(xpm), &p, &error)) << error;
    return p;
}

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t Get16(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

// Reads one 4-bit image with its mask from an icon file; colours as RGB, clear as -1.
std::vector<int> IcoPixels(const std::vector<uint8_t>& ico, int entry, int* w, int* h) {
    const size_t dir = 6 + 16 * static_cast<size_t>(entry);
    *w = ico[dir];
    *h = ico[dir + 1];
    const size_t at = Get32(ico, dir + 12);
    EXPECT_EQ(Get32(ico, at), 40u);
    EXPECT_EQ(static_cast<int>(Get32(ico, at + 8)), *h * 2);
    EXPECT_EQ(Get16(ico, at + 14), 4);
    const size_t palette = at + 40;
    const size_t colours = palette + 16 * 4;
    const size_t colourRow = ((*w * 4 + 31) / 32) * 4;
    const size_t mask = colours + colourRow * *h;
    const size_t maskRow = ((*w + 31) / 32) * 4;
    std::vector<int> out;
    for (int y = 0; y < *h; ++y) {
        const int row = *h - 1 - y;
        for (int x = 0; x < *w; ++x) {
            if (ico[mask + row * maskRow + x / 8] & (0x80 >> (x % 8))) {
                out.push_back(-1);
                continue;
            }
            const uint8_t byte = ico[colours + row * colourRow + x / 2];
            const int i = x % 2 == 0 ? byte >> 4 : byte & 0xF;
            const size_t c = palette + 4 * static_cast<size_t>(i);
            out.push_back(ico[c + 2] << 16 | ico[c + 1] << 8 | ico[c]);
        }
    }
    return out;
}

std::vector<int> Rgbs(const Picture& p) {
    std::vector<int> out;
    for (int v : p.pixels) {
        if (v < 0) {
            out.push_back(-1);
        } else {
            const kvimg::Rgb c = p.palette[v];
            out.push_back(c.r << 16 | c.g << 8 | c.b);
        }
    }
    return out;
}

TEST(Images, IconsAreSixteenColourAndSurviveTheIconFile) {
    const Picture big = Parse(kvimg::kTftpGears32);
    const Picture small = Parse(kvimg::kTftpGears16);
    ASSERT_EQ(big.width, 32);
    ASSERT_EQ(small.width, 16);
    std::vector<uint8_t> ico;
    std::string error;
    ASSERT_TRUE(kvimg::WriteIco({big, small}, &ico, &error)) << error;
    EXPECT_EQ(Get16(ico, 2), 1);
    ASSERT_EQ(Get16(ico, 4), 2);
    int w = 0, h = 0;
    EXPECT_EQ(IcoPixels(ico, 0, &w, &h), Rgbs(big));
    EXPECT_EQ(w, 32);
    EXPECT_EQ(IcoPixels(ico, 1, &w, &h), Rgbs(small));
    EXPECT_EQ(h, 16);

    for (const char* const* xpm :
         {kvimg::kStop32, kvimg::kStart32, kvimg::kPause32, kvimg::kResume32, kvimg::kNotepad32}) {
        const Picture p = Parse(xpm);
        EXPECT_EQ(p.width, 32);
        EXPECT_EQ(p.height, 32);
        ASSERT_TRUE(kvimg::WriteIco({p}, &ico, &error)) << error;
        EXPECT_EQ(IcoPixels(ico, 0, &w, &h), Rgbs(p));
        // Drawn on a clear ground.
        EXPECT_EQ(p.pixels.front(), -1);
    }
    // The note pad has a small form for the applet's small event viewer button.
    const Picture pad = Parse(kvimg::kNotepad32);
    const Picture smallPad = Parse(kvimg::kNotepad16);
    ASSERT_TRUE(kvimg::WriteIco({pad, smallPad}, &ico, &error)) << error;
    EXPECT_EQ(IcoPixels(ico, 1, &w, &h), Rgbs(smallPad));
    EXPECT_EQ(w, 16);
    EXPECT_EQ(h, 16);
}

TEST(Images, TheProductPictureSurvivesTheBitmapFile) {
    const Picture p = Parse(kvimg::kProduct160x80);
    ASSERT_EQ(p.width, 160);
    ASSERT_EQ(p.height, 80);
    EXPECT_LE(p.palette.size(), 256u);
    std::vector<uint8_t> bmp;
    std::string error;
    ASSERT_TRUE(kvimg::WriteBmp(p, &bmp, &error)) << error;
    ASSERT_EQ(bmp[0], 'B');
    EXPECT_EQ(Get32(bmp, 2), bmp.size());
    EXPECT_EQ(Get32(bmp, 18), 160u);
    EXPECT_EQ(Get32(bmp, 22), 80u);
    EXPECT_EQ(Get16(bmp, 28), 8);
    const size_t pixels = Get32(bmp, 10);
    for (int y = 0; y < 80; ++y) {
        for (int x = 0; x < 160; ++x) {
            const uint8_t i = bmp[pixels + (79 - y) * 160 + x];
            const size_t c = 54 + 4 * static_cast<size_t>(i);
            const kvimg::Rgb want = p.palette[p.pixels[y * 160 + x]];
            ASSERT_EQ(kvimg::Rgb({bmp[c + 2], bmp[c + 1], bmp[c]}), want) << x << "," << y;
        }
    }
}

TEST(Images, WhatTheResourceFormatsCannotHoldIsRefused) {
    Picture odd;
    std::string error;
    ASSERT_TRUE(kvimg::ParseXpmText(
        "static const char* x[] = {\n\"2 1 2 1\",\n\"a c #123456\",\n\"b c None\",\n\"ab\"};", &odd,
        &error))
        << error;
    std::vector<uint8_t> out;
    EXPECT_FALSE(kvimg::WriteIco({odd}, &out, &error)) << "not a standard colour";
    EXPECT_FALSE(kvimg::WriteBmp(odd, &out, &error)) << "a clear pixel";
    EXPECT_FALSE(kvimg::ParseXpm({"2 1 1 1", "a c #000000", "abc"}, &odd, &error));
    EXPECT_FALSE(kvimg::ParseXpm({"2 1 1 1", "a c #000000", "ax"}, &odd, &error));
}

}  // namespace
