#!/usr/bin/env python3
"""Draws the suite's icons and its product picture into XPM files.

The XPM files beside this script are the sources of the images: the FLTK host
compiles them in, and xpm2win turns them into the .ico and .bmp resources of the
Windows build. Run this script only to draw them again:

    python3 images/draw_images.py images/

Icons use the sixteen colours of the standard Windows palette (and transparency);
the product picture uses at most 256 colours. Text on the product picture is
rasterised with ImageMagick's `convert` from the Liberation Sans face.
"""
import math
import os
import subprocess
import sys

# The standard sixteen colours, with the letter each has in the icon files.
VGA = {
    'K': (0x00, 0x00, 0x00), 'R': (0x80, 0x00, 0x00), 'G': (0x00, 0x80, 0x00),
    'O': (0x80, 0x80, 0x00), 'N': (0x00, 0x00, 0x80), 'P': (0x80, 0x00, 0x80),
    'T': (0x00, 0x80, 0x80), 'S': (0xC0, 0xC0, 0xC0), 'D': (0x80, 0x80, 0x80),
    'r': (0xFF, 0x00, 0x00), 'g': (0x00, 0xFF, 0x00), 'y': (0xFF, 0xFF, 0x00),
    'b': (0x00, 0x00, 0xFF), 'm': (0xFF, 0x00, 0xFF), 'c': (0x00, 0xFF, 0xFF),
    'W': (0xFF, 0xFF, 0xFF),
}
CLEAR = ' '


class Canvas:
    def __init__(self, w, h):
        self.w, self.h = w, h
        self.px = [[CLEAR] * w for _ in range(h)]

    def get(self, x, y):
        if 0 <= x < self.w and 0 <= y < self.h:
            return self.px[y][x]
        return CLEAR

    def set(self, x, y, c):
        if 0 <= x < self.w and 0 <= y < self.h:
            self.px[y][x] = c


def covered(inside, x, y, n=4):
    """Share of the pixel (x, y) that the shape covers, sampled n by n."""
    hits = 0
    for i in range(n):
        for j in range(n):
            if inside(x + (i + 0.5) / n, y + (j + 0.5) / n):
                hits += 1
    return hits / (n * n)


def gear(cx, cy, tip, root, teeth, hole, phase=0.0):
    def inside(x, y):
        dx, dy = x - cx, y - cy
        r = math.hypot(dx, dy)
        if r < hole or r > tip:
            return False
        if r <= root:
            return True
        a = (math.atan2(dy, dx) / (2 * math.pi) * teeth + phase) % 1.0 - 0.5
        # Teeth narrow towards their tips.
        half = 0.30 - 0.12 * (r - root) / max(tip - root, 0.01)
        return abs(a) < half
    return inside


def fill_bevelled(cv, inside, body, light, dark, outline):
    """A solid shape lit from the top left: a dark outline, within it a light edge at
    the top left and a dark one at the bottom right."""
    mask = [[covered(inside, x, y) >= 0.5 for x in range(cv.w)] for y in range(cv.h)]

    def m(x, y):
        return 0 <= x < cv.w and 0 <= y < cv.h and mask[y][x]

    def rim(x, y):
        return m(x, y) and not (m(x + 1, y) and m(x, y + 1) and m(x - 1, y) and m(x, y - 1))

    for y in range(cv.h):
        for x in range(cv.w):
            if not mask[y][x]:
                continue
            if rim(x, y):
                c = outline
            elif rim(x - 1, y) or rim(x, y - 1):
                c = light
            elif rim(x + 1, y) or rim(x, y + 1):
                c = dark
            else:
                c = body
            cv.set(x, y, c)


# Bold capitals, two pixels a stroke, 8 rows.
BIG = {
    'T': ["######", "######", "..##..", "..##..", "..##..", "..##..", "..##..", "..##.."],
    'F': ["#####", "#####", "##...", "####.", "####.", "##...", "##...", "##..."],
    'P': ["####.", "#####", "##.##", "##.##", "#####", "####.", "##...", "##..."],
}
# Capitals of one pixel a stroke, 5 rows.
SMALL = {
    'T': ["###", ".#.", ".#.", ".#.", ".#."],
    'F': ["###", "#..", "##.", "#..", "#.."],
    'P': ["##.", "#.#", "##.", "#..", "#.."],
}


def letters(cv, text, font, x, y, ink, halo):
    pts = set()
    for ch in text:
        rows = font[ch]
        for j, row in enumerate(rows):
            for i, v in enumerate(row):
                if v == '#':
                    pts.add((x + i, y + j))
        x += len(rows[0]) + 1
    if halo:
        for (px, py) in list(pts):
            for dx in (-1, 0, 1):
                for dy in (-1, 0, 1):
                    if (px + dx, py + dy) not in pts:
                        cv.set(px + dx, py + dy, halo)
    for (px, py) in pts:
        cv.set(px, py, ink)


def text_width(text, font):
    return sum(len(font[c][0]) for c in text) + len(text) - 1


def tftp_icon(size):
    cv = Canvas(size, size)
    if size == 32:
        fill_bevelled(cv, gear(11.5, 12.0, 11.5, 8.4, 9, 3.4), 'S', 'W', 'D', 'K')
        fill_bevelled(cv, gear(24.3, 8.2, 8.2, 5.4, 6, 1.8, 0.5), 'y', 'W', 'O', 'K')
        letters(cv, "TFTP", BIG, (32 - text_width("TFTP", BIG)) // 2, 21, 'N', 'W')
    else:
        fill_bevelled(cv, gear(5.5, 5.5, 5.5, 3.9, 7, 1.4), 'S', 'W', 'D', 'K')
        fill_bevelled(cv, gear(12.8, 4.0, 3.4, 2.4, 5, 0.9, 0.5), 'y', 'W', 'O', 'K')
        letters(cv, "TFTP", SMALL, 0, 11, 'N', None)
    return cv


def polygon(points):
    def inside(x, y):
        # Even-odd rule.
        c = False
        n = len(points)
        for i in range(n):
            x1, y1 = points[i]
            x2, y2 = points[(i + 1) % n]
            if (y1 > y) != (y2 > y):
                xi = x1 + (y - y1) * (x2 - x1) / (y2 - y1)
                if x < xi:
                    c = not c
        return c
    return inside


def union(*shapes):
    return lambda x, y: any(s(x, y) for s in shapes)


def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def symbol_icon(kind):
    cv = Canvas(32, 32)
    if kind == 'stop':
        fill_bevelled(cv, rect(7, 7, 25, 25), 'r', 'W', 'R', 'K')
    elif kind == 'start':
        fill_bevelled(cv, polygon([(9, 5), (26, 16), (9, 27)]), 'g', 'W', 'G', 'K')
    elif kind == 'pause':
        fill_bevelled(cv, union(rect(8, 6, 14, 26), rect(18, 6, 24, 26)), 'b', 'W', 'N', 'K')
    elif kind == 'resume':
        fill_bevelled(cv, union(polygon([(3, 7), (16, 16), (3, 25)]),
                                polygon([(16, 7), (29, 16), (16, 25)])), 'g', 'W', 'G', 'K')
    elif kind == 'notepad':
        fill_bevelled(cv, rect(6, 5, 26, 30), 'W', 'W', 'S', 'K')
        for y in range(12, 28, 3):
            for x in range(9, 24):
                cv.set(x, y, 'b')
        # A red margin line and the binding's rings.
        for y in range(8, 29):
            cv.set(11, y, 'r')
        for x in range(6, 26):
            cv.set(x, 5, 'T')
            cv.set(x, 6, 'T')
            cv.set(x, 7, 'K')
        for x in range(8, 25, 4):
            for y in range(2, 8):
                cv.set(x, y, 'D' if y < 4 else 'S')
            cv.set(x + 1, 2, 'K')
            cv.set(x + 1, 3, 'K')
    return cv


def notepad_small():
    """The note pad in 16 pixels, for buttons too small for the 32-pixel form."""
    cv = Canvas(16, 16)
    fill_bevelled(cv, rect(2, 2, 13, 15), 'W', 'W', 'S', 'K')
    for y in range(6, 14, 2):
        for x in range(4, 12):
            cv.set(x, y, 'b')
    for y in range(4, 14):
        cv.set(5, y, 'r')
    for x in range(2, 13):
        cv.set(x, 2, 'T')
        cv.set(x, 3, 'K')
    for x in range(4, 12, 3):
        cv.set(x, 0, 'D')
        cv.set(x, 1, 'D')
        cv.set(x + 1, 1, 'K')
    return cv


def write_icon_xpm(cv, name, path):
    used = sorted({c for row in cv.px for c in row})
    lines = ['/* XPM */', 'static const char* const %s[] = {' % name,
             '"%d %d %d 1",' % (cv.w, cv.h, len(used))]
    for c in used:
        if c == CLEAR:
            lines.append('"  c None",')
        else:
            lines.append('"%s c #%02X%02X%02X",' % ((c,) + VGA[c]))
    rows = ['"%s"' % ''.join(row) for row in cv.px]
    lines.append(',\n'.join(rows))
    lines.append('};')
    with open(path, 'w') as f:
        f.write('\n'.join(lines) + '\n')


# ---- the product picture -------------------------------------------------------------

FONT_BOLD = '/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf'
FONT_REGULAR = '/usr/share/fonts/truetype/liberation/LiberationSans-Regular.ttf'


def text_mask(w, h, text, font, size, x, y):
    """Coverage (0..1) of text drawn with its baseline at (x, y)."""
    out = subprocess.run(
        ['convert', '-size', '%dx%d' % (w, h), 'xc:black', '-font', font, '-pointsize',
         str(size), '-fill', 'white', '-annotate', '+%d+%d' % (x, y), text, '-depth', '8',
         'gray:-'], check=True, capture_output=True).stdout
    return [[out[j * w + i] / 255.0 for i in range(w)] for j in range(h)]


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def product_picture():
    w, h = 160, 80
    img = [[(0, 0, 0)] * w for _ in range(h)]
    # A deep blue to teal sweep.
    for y in range(h):
        for x in range(w):
            t = (x / (w - 1)) * 0.7 + (y / (h - 1)) * 0.3
            img[y][x] = mix((10, 36, 106), (58, 150, 170), t)

    def paint(inside, body, light, dark, edge_dark=(20, 20, 40)):
        # Anti-aliased shape, lit from the top left.
        for y in range(h):
            for x in range(w):
                a = covered(inside, x, y, 4)
                if a <= 0:
                    continue
                up = covered(inside, x - 1.5, y - 1.5, 2)
                down = covered(inside, x + 1.5, y + 1.5, 2)
                c = body
                if up < 1:
                    c = mix(body, light, 0.8 * (1 - up))
                if down < 1:
                    c = mix(c, dark, 0.8 * (1 - down))
                img[y][x] = mix(img[y][x], c, a)

    paint(gear(34, 46, 27, 21, 12, 7), (192, 192, 192), (255, 255, 255), (96, 96, 110))
    paint(gear(62, 20, 16, 11.5, 9, 4, 0.3), (232, 196, 48), (255, 250, 200), (128, 96, 0))

    def ink(mask, colour, shadow=True):
        for y in range(h):
            for x in range(w):
                if shadow and y > 0 and x > 0 and mask[y - 1][x - 1] > 0:
                    img[y][x] = mix(img[y][x], (0, 0, 30), 0.6 * mask[y - 1][x - 1])
        for y in range(h):
            for x in range(w):
                if mask[y][x] > 0:
                    img[y][x] = mix(img[y][x], colour, mask[y][x])

    ink(text_mask(w, h, 'Korvane', FONT_BOLD, 19, 80, 27), (255, 255, 255))
    ink(text_mask(w, h, 'TFTP', FONT_BOLD, 22, 84, 52), (255, 230, 60))
    ink(text_mask(w, h, 'Version 2.0', FONT_REGULAR, 10, 86, 70), (225, 235, 240))
    return img


def write_picture_xpm(img, name, path):
    h, w = len(img), len(img[0])
    data = bytearray(('P6\n%d %d\n255\n' % (w, h)).encode())
    for row in img:
        for (r, g, b) in row:
            data += bytes((int(round(r)), int(round(g)), int(round(b))))
    # ImageMagick picks the 256 colours; the file is written here, colours in hex.
    out = subprocess.run(['convert', 'ppm:-', '+dither', '-colors', '256', '-depth', '8',
                          'rgb:-'], input=bytes(data), check=True, capture_output=True).stdout
    pixels = [tuple(out[i:i + 3]) for i in range(0, len(out), 3)]
    palette = sorted(set(pixels))
    chars = ''.join(chr(c) for c in range(35, 127) if chr(c) not in '"\\')
    codes = {}
    for i, c in enumerate(palette):
        codes[c] = chars[i // len(chars)] + chars[i % len(chars)]
    lines = ['/* XPM */', 'static const char* const %s[] = {' % name,
             '"%d %d %d 2",' % (w, h, len(palette))]
    for c in palette:
        lines.append('"%s c #%02X%02X%02X",' % ((codes[c],) + c))
    rows = []
    for y in range(h):
        rows.append('"%s"' % ''.join(codes[pixels[y * w + x]] for x in range(w)))
    lines.append(',\n'.join(rows))
    lines.append('};')
    with open(path, 'w') as f:
        f.write('\n'.join(lines) + '\n')


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    write_icon_xpm(tftp_icon(32), 'tftp_gears_32_xpm', os.path.join(out, 'tftp_gears_32.xpm'))
    write_icon_xpm(tftp_icon(16), 'tftp_gears_16_xpm', os.path.join(out, 'tftp_gears_16.xpm'))
    for kind in ('stop', 'start', 'pause', 'resume', 'notepad'):
        write_icon_xpm(symbol_icon(kind), '%s_32_xpm' % kind,
                       os.path.join(out, '%s_32.xpm' % kind))
    write_icon_xpm(notepad_small(), 'notepad_16_xpm', os.path.join(out, 'notepad_16.xpm'))
    write_picture_xpm(product_picture(), 'product_160x80_xpm',
                      os.path.join(out, 'product_160x80.xpm'))


if __name__ == '__main__':
    main()
