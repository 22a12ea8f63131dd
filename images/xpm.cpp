#include "xpm.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace kvimg {

namespace {

void Put16(std::vector<uint8_t>* o, uint32_t v) {
    o->push_back(static_cast<uint8_t>(v));
    o->push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>* o, uint32_t v) {
    Put16(o, v & 0xFFFF);
    Put16(o, v >> 16);
}

// A BITMAPINFOHEADER.
void PutInfoHeader(std::vector<uint8_t>* o, int w, int h, int bits, uint32_t colours) {
    Put32(o, 40);
    Put32(o, static_cast<uint32_t>(w));
    Put32(o, static_cast<uint32_t>(h));
    Put16(o, 1);
    Put16(o, static_cast<uint32_t>(bits));
    Put32(o, 0);  // no compression
    Put32(o, 0);
    Put32(o, 0);
    Put32(o, 0);
    Put32(o, colours);
    Put32(o, 0);
}

void PutPalette(std::vector<uint8_t>* o, const std::vector<Rgb>& palette, size_t entries) {
    for (size_t i = 0; i < entries; ++i) {
        const Rgb c = i < palette.size() ? palette[i] : Rgb{};
        o->push_back(c.b);
        o->push_back(c.g);
        o->push_back(c.r);
        o->push_back(0);
    }
}

size_t RowBytes(int width, int bits) {
    return ((static_cast<size_t>(width) * bits + 31) / 32) * 4;
}

bool Fail(std::string* error, const std::string& text) {
    if (error) *error = text;
    return false;
}

bool ParseColour(const std::string& spec, Rgb* out, bool* clear) {
    *clear = false;
    if (spec == "None" || spec == "none") {
        *clear = true;
        return true;
    }
    if (spec.size() == 7 && spec[0] == '#') {
        const unsigned long v = std::strtoul(spec.c_str() + 1, nullptr, 16);
        *out = Rgb{static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                   static_cast<uint8_t>(v)};
        return true;
    }
    return false;
}

}  // namespace

const std::vector<Rgb>& StandardColours() {
    static const std::vector<Rgb> colours = {
        {0, 0, 0},     {128, 0, 0},     {0, 128, 0},     {128, 128, 0},  {0, 0, 128}, {128, 0, 128},
        {0, 128, 128}, {192, 192, 192}, {128, 128, 128}, {255, 0, 0},    {0, 255, 0}, {255, 255, 0},
        {0, 0, 255},   {255, 0, 255},   {0, 255, 255},   {255, 255, 255}};
    return colours;
}

bool ParseXpm(const std::vector<std::string>& s, Picture* out, std::string* error) {
    if (s.empty()) return Fail(error, "no header");
    int w = 0, h = 0, ncolours = 0, cpp = 0;
    if (std::sscanf(s[0].c_str(), "%d %d %d %d", &w, &h, &ncolours, &cpp) != 4 || w <= 0 ||
        h <= 0 || ncolours <= 0 || cpp <= 0 || cpp > 2)
        return Fail(error, "bad header: " + s[0]);
    if (s.size() < 1 + static_cast<size_t>(ncolours) + static_cast<size_t>(h))
        return Fail(error, "too few lines");
    std::map<std::string, int> index;  // pixel code to palette index, -1 clear
    Picture p;
    p.width = w;
    p.height = h;
    for (int i = 0; i < ncolours; ++i) {
        const std::string& line = s[1 + i];
        if (line.size() < static_cast<size_t>(cpp) + 3) return Fail(error, "bad colour: " + line);
        const std::string code = line.substr(0, cpp);
        const size_t c = line.find(" c ", cpp - 1);
        if (c == std::string::npos) return Fail(error, "no colour: " + line);
        std::string spec = line.substr(c + 3);
        while (!spec.empty() && spec.back() == ' ') spec.pop_back();
        Rgb rgb;
        bool clear = false;
        if (!ParseColour(spec, &rgb, &clear)) return Fail(error, "unknown colour: " + spec);
        if (clear) {
            index[code] = -1;
        } else {
            index[code] = static_cast<int>(p.palette.size());
            p.palette.push_back(rgb);
        }
    }
    for (int y = 0; y < h; ++y) {
        const std::string& row = s[1 + ncolours + y];
        if (row.size() != static_cast<size_t>(w * cpp)) return Fail(error, "bad row length");
        for (int x = 0; x < w; ++x) {
            auto it = index.find(row.substr(static_cast<size_t>(x * cpp), cpp));
            if (it == index.end()) return Fail(error, "unknown pixel code");
            p.pixels.push_back(it->second);
        }
    }
    *out = std::move(p);
    return true;
}

bool ParseXpmText(const std::string& text, Picture* out, std::string* error) {
    // The strings of the array, skipping comments.
    std::vector<std::string> strings;
    size_t i = text.find('{');
    if (i == std::string::npos) return Fail(error, "no array");
    while (i < text.size()) {
        if (text.compare(i, 2, "/*") == 0) {
            const size_t end = text.find("*/", i + 2);
            if (end == std::string::npos) break;
            i = end + 2;
        } else if (text[i] == '"') {
            const size_t end = text.find('"', i + 1);
            if (end == std::string::npos) return Fail(error, "open string");
            strings.push_back(text.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            ++i;
        }
    }
    return ParseXpm(strings, out, error);
}

bool WriteIco(const std::vector<Picture>& images, std::vector<uint8_t>* out, std::string* error) {
    const std::vector<Rgb>& std16 = StandardColours();
    std::vector<std::vector<uint8_t>> bodies;
    for (const Picture& p : images) {
        if (p.width > 256 || p.height > 256) return Fail(error, "icon too large");
        std::vector<int> to16(p.palette.size(), -1);
        for (size_t i = 0; i < p.palette.size(); ++i) {
            for (size_t j = 0; j < std16.size(); ++j)
                if (p.palette[i] == std16[j]) to16[i] = static_cast<int>(j);
            if (to16[i] < 0) return Fail(error, "an icon colour is not a standard colour");
        }
        std::vector<uint8_t> b;
        PutInfoHeader(&b, p.width, p.height * 2, 4, 16);
        PutPalette(&b, std16, 16);
        const size_t colourRow = RowBytes(p.width, 4);
        const size_t maskRow = RowBytes(p.width, 1);
        // Rows from the bottom up: the colours, then the mask (1 = clear).
        for (int y = p.height - 1; y >= 0; --y) {
            std::vector<uint8_t> row(colourRow, 0);
            for (int x = 0; x < p.width; ++x) {
                const int v = p.pixels[static_cast<size_t>(y * p.width + x)];
                const uint8_t c = v < 0 ? 0 : static_cast<uint8_t>(to16[v]);
                row[x / 2] |= (x % 2 == 0) ? static_cast<uint8_t>(c << 4) : c;
            }
            b.insert(b.end(), row.begin(), row.end());
        }
        for (int y = p.height - 1; y >= 0; --y) {
            std::vector<uint8_t> row(maskRow, 0);
            for (int x = 0; x < p.width; ++x)
                if (p.pixels[static_cast<size_t>(y * p.width + x)] < 0)
                    row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            b.insert(b.end(), row.begin(), row.end());
        }
        bodies.push_back(std::move(b));
    }
    out->clear();
    Put16(out, 0);
    Put16(out, 1);  // an icon
    Put16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = 6 + 16 * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        out->push_back(static_cast<uint8_t>(images[i].width == 256 ? 0 : images[i].width));
        out->push_back(static_cast<uint8_t>(images[i].height == 256 ? 0 : images[i].height));
        out->push_back(16);
        out->push_back(0);
        Put16(out, 1);
        Put16(out, 4);
        Put32(out, static_cast<uint32_t>(bodies[i].size()));
        Put32(out, offset);
        offset += static_cast<uint32_t>(bodies[i].size());
    }
    for (const auto& b : bodies) out->insert(out->end(), b.begin(), b.end());
    return true;
}

bool WriteBmp(const Picture& p, std::vector<uint8_t>* out, std::string* error) {
    if (p.palette.size() > 256) return Fail(error, "more than 256 colours");
    for (int v : p.pixels)
        if (v < 0) return Fail(error, "a bitmap has no clear pixels");
    const size_t row = RowBytes(p.width, 8);
    const uint32_t headers = 14 + 40 + 256 * 4;
    const uint32_t size = headers + static_cast<uint32_t>(row * p.height);
    out->clear();
    out->push_back('B');
    out->push_back('M');
    Put32(out, size);
    Put32(out, 0);
    Put32(out, headers);
    PutInfoHeader(out, p.width, p.height, 8, static_cast<uint32_t>(p.palette.size()));
    PutPalette(out, p.palette, 256);
    for (int y = p.height - 1; y >= 0; --y) {
        std::vector<uint8_t> r(row, 0);
        for (int x = 0; x < p.width; ++x)
            r[x] = static_cast<uint8_t>(p.pixels[static_cast<size_t>(y * p.width + x)]);
        out->insert(out->end(), r.begin(), r.end());
    }
    return true;
}

}  // namespace kvimg
