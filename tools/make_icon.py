#!/usr/bin/env python3
"""Draws the program icon and writes res/velquist.ico (and optionally a PNG preview).

The picture: a folder (a path) whose name is being wrapped in straight double
quotes, with a green check mark for "fixed". Each size has its own geometry so
that the strokes land on whole pixels; 16x16 is drawn pixel by pixel.

Python 3 standard library only; the preview needs ImageMagick's convert. The
icon is the same bytes on every run.

    python3 tools/make_icon.py                  # writes res/velquist.ico
    python3 tools/make_icon.py --preview x.png  # also writes an enlarged sheet of all images
"""

import argparse
import os
import struct
import subprocess
import sys

# Colours (r, g, b).
OUTLINE = (120, 72, 8)
FOLDER_BACK = (222, 150, 30)
FOLDER_FRONT = (250, 204, 80)
FOLDER_LIGHT = (255, 230, 150)
QUOTE = (24, 70, 200)
CHECK = (22, 150, 50)
CHECK_RIM = (255, 255, 255)
PATH_INK = (110, 80, 30)

# The order of the images in the file (and so in the icon group).
IMAGES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]

# The standard 16-colour palette of 4-bit icons.
VGA16 = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]


# ---------------------------------------------------------------- shapes
# A shape is a predicate inside(x, y) on continuous coordinates in pixels
# (0..size); a layer is (colour, shape). Pixels are drawn by supersampling.

def rect(x0, y0, x1, y1):
    return lambda x, y: x0 <= x < x1 and y0 <= y < y1


def round_rect(x0, y0, x1, y1, r):
    def inside(x, y):
        if not (x0 <= x < x1 and y0 <= y < y1):
            return False
        cx = min(max(x, x0 + r), x1 - r)
        cy = min(max(y, y0 + r), y1 - r)
        return (x - cx) ** 2 + (y - cy) ** 2 <= r * r
    return inside


def polygon(points):
    def inside(x, y):
        hit = False
        n = len(points)
        for i in range(n):
            ax, ay = points[i]
            bx, by = points[(i + 1) % n]
            if (ay > y) != (by > y):
                if x < ax + (y - ay) * (bx - ax) / (by - ay):
                    hit = not hit
        return hit
    return inside


def thick_line(points, w):
    """A polyline of width w with round joins and caps."""
    half2 = (w / 2.0) ** 2

    def inside(x, y):
        for (ax, ay), (bx, by) in zip(points, points[1:]):
            dx, dy = bx - ax, by - ay
            t = ((x - ax) * dx + (y - ay) * dy) / float(dx * dx + dy * dy)
            t = min(max(t, 0.0), 1.0)
            px, py = ax + t * dx - x, ay + t * dy - y
            if px * px + py * py <= half2:
                return True
        return False
    return inside


def quote_mark(x, y, w, h, taper=0.25):
    """One straight double-quote character: two strokes, tapering downwards."""
    # Whole pixels, and a gap wide enough to stay open at 32x32.
    gap = max(2, round(w / 4.0))
    stroke = (w - gap) // 2
    taper = stroke * taper
    shapes = []
    for left in (x, x + stroke + gap):
        shapes.append(polygon([(left, y), (left + stroke, y),
                               (left + stroke - taper, y + h), (left + taper, y + h)]))
    return lambda px, py: any(s(px, py) for s in shapes)


def outlined(shape_fn, args, grow, colour, fill):
    """An outline of `grow` pixels around a shape built by shape_fn(*args)."""
    x0, y0, x1, y1 = args[:4]
    rest = args[4:]
    return [(colour, shape_fn(x0 - grow, y0 - grow, x1 + grow, y1 + grow, *rest)),
            (fill, shape_fn(x0, y0, x1, y1, *rest))]


def layers_for(size):
    """The picture at one size, as layers painted in order.

    Coordinates are on a 48-unit grid, rounded to whole pixels at each size so
    that edges stay sharp; outlines are one pixel wide at every size.
    """
    def p(v):
        return round(v * size / 48.0)
    s = size / 48.0
    L = []
    # Folder: back panel with a tab, then the front panel, each with an outline.
    tab = (p(1), p(4), p(20), p(14))
    back = (p(1), p(8), p(47), p(42))
    front_top = p(14)
    for box in (tab, back):
        L.append((OUTLINE, round_rect(*box, 2 * s)))
    for x0, y0, x1, y1 in (tab, back):
        L.append((FOLDER_BACK, round_rect(x0 + 1, y0 + 1, x1 - 1, y1 - 1, 2 * s - 1)))
    L.append((OUTLINE, rect(back[0], front_top, back[2], back[3])))
    L.append((FOLDER_FRONT, rect(back[0] + 1, front_top + 1, back[2] - 1, back[3] - 1)))
    L.append((FOLDER_LIGHT, rect(back[0] + 1, front_top + 1, back[2] - 1, front_top + 1 + p(2))))
    # The path between the quotes: two words with a space between them.
    L.append((PATH_INK, round_rect(p(15), p(24), p(22), p(28), 1.5 * s)))
    L.append((PATH_INK, round_rect(p(26), p(24), p(33), p(28), 1.5 * s)))
    # The quotes that wrap it.
    # Below 48 pixels a taper only blurs the strokes: keep them straight there.
    taper = 0.25 if size >= 48 else 0.0
    L.append((QUOTE, quote_mark(p(4), p(19), p(10), p(10), taper)))
    L.append((QUOTE, quote_mark(p(34), p(19), p(10), p(10), taper)))
    # The check mark, bottom right, with a light rim so it stands off the folder.
    pts = [(26 * s, 37 * s), (31 * s, 42 * s), (43 * s, 30 * s)]
    L.append((CHECK_RIM, thick_line(pts, 9 * s)))
    L.append((CHECK, thick_line(pts, 5 * s)))
    return L


def render(size, samples=6):
    """Returns rows of (r, g, b, a) pixels, top row first."""
    layers = layers_for(size)
    offs = [(i + 0.5) / samples for i in range(samples)]
    n = samples * samples
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            r = g = b = a = 0
            for oy in offs:
                for ox in offs:
                    x, y = px + ox, py + oy
                    colour = None
                    for c, shape in reversed(layers):
                        if shape(x, y):
                            colour = c
                            break
                    if colour is not None:
                        r += colour[0]
                        g += colour[1]
                        b += colour[2]
                        a += 1
            if a:
                row.append((round(r / a), round(g / a), round(b / a), round(255 * a / n)))
            else:
                row.append((0, 0, 0, 0))
        rows.append(row)
    return rows


# 16x16 by hand: at this size every pixel matters. Key letters name colours.
PIXELS_16 = [
    "................",
    ".oooo...........",
    "obbbbooooooooooo",
    "obbbbbbbbbbbbbbo",
    "oooooooooooooooo",
    "ofqqfqqffqqfqqfo",
    "ofqqfqqffqqfqqfo",
    "offqffqfffqffqfo",
    "offffffffffffkfo",
    "offfffffffffkkfo",
    "offffffkfffkkffo",
    "offffffkkfkkfffo",
    "offfffffkkkffffo",
    "offffffffkfffffo",
    "oooooooooooooooo",
    "................",
]


def pixel_art(art, palette):
    return [[palette[ch] for ch in line] for line in art]


# Where the sixteen colours cannot come near a design colour, the one each maps to.
VGA16_CHOICE = {
    OUTLINE: (0, 0, 0), FOLDER_BACK: (128, 128, 0), FOLDER_FRONT: (255, 255, 0),
    FOLDER_LIGHT: (255, 255, 255), QUOTE: (0, 0, 255), CHECK: (0, 128, 0),
    CHECK_RIM: (255, 255, 255), PATH_INK: (128, 128, 128),
}


def quantize(rows, palette):
    """Nearest palette index per pixel; transparent where alpha < 50%."""
    cache = {}
    if palette is VGA16:
        cache = {c: VGA16.index(v) for c, v in VGA16_CHOICE.items()}
    out = []
    for row in rows:
        line = []
        for (r, g, b, a) in row:
            if a < 128:
                line.append(None)
                continue
            key = (r, g, b)
            if key not in cache:
                cache[key] = min(range(len(palette)), key=lambda i: (
                    (palette[i][0] - r) ** 2 * 3 + (palette[i][1] - g) ** 2 * 4 +
                    (palette[i][2] - b) ** 2 * 2, i))
            line.append(cache[key])
        out.append(line)
    return out


def median_cut(colours, limit):
    """A palette of at most `limit` colours for the given (colour, count) pairs."""
    boxes = [sorted(colours)]
    while len(boxes) < limit:
        # Split the box with the widest channel range (ties: the first one).
        best = None
        for i, box in enumerate(boxes):
            if len(box) < 2:
                continue
            for ch in range(3):
                vals = [c[0][ch] for c in box]
                span = max(vals) - min(vals)
                if best is None or span > best[0]:
                    best = (span, i, ch)
        if best is None or best[0] == 0:
            break
        _, i, ch = best
        box = sorted(boxes[i], key=lambda c: (c[0][ch], c[0]))
        total = sum(c[1] for c in box)
        acc, cut = 0, 1
        for j, c in enumerate(box):
            acc += c[1]
            if acc * 2 >= total:
                cut = max(1, min(len(box) - 1, j + 1))
                break
        boxes[i:i + 1] = [box[:cut], box[cut:]]
    palette = []
    for box in boxes:
        total = sum(c[1] for c in box)
        palette.append(tuple(round(sum(c[0][ch] * c[1] for c in box) / total) for ch in range(3)))
    return palette


def palette_for(rows, limit):
    counts = {}
    for row in rows:
        for (r, g, b, a) in row:
            if a >= 128:
                counts[(r, g, b)] = counts.get((r, g, b), 0) + 1
    colours = sorted(counts.items())
    if len(colours) <= limit:
        palette = [c for c, _ in colours]
    else:
        palette = median_cut(colours, limit)
    return palette + [(0, 0, 0)] * (limit - len(palette))


# ---------------------------------------------------------------- ICO writing

def row_bytes(bits_per_row):
    return ((bits_per_row + 31) // 32) * 4


def pack_bits(values, bpp):
    """Packs a row of small integers MSB first, padded to 32 bits."""
    out = bytearray(row_bytes(len(values) * bpp))
    for i, v in enumerate(values):
        bit = i * bpp
        out[bit // 8] |= v << (8 - bpp - bit % 8)
    return bytes(out)


def dib(size, bpp, rows):
    """The image as stored in an icon: BITMAPINFOHEADER, palette, colour bits, AND mask."""
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, 0, 0)
    mask_rows = []
    colour_rows = []
    if bpp == 32:
        palette = b""
        for row in rows:
            colour_rows.append(b"".join(struct.pack("BBBB", b, g, r, a) for (r, g, b, a) in row))
            mask_rows.append(pack_bits([0 if a >= 128 else 1 for (_, _, _, a) in row], 1))
    else:
        colours = VGA16 if bpp == 4 else palette_for(rows, 256)
        palette = b"".join(struct.pack("BBBB", b, g, r, 0) for (r, g, b) in colours)
        for row in quantize(rows, colours):
            colour_rows.append(pack_bits([0 if i is None else i for i in row], bpp))
            mask_rows.append(pack_bits([1 if i is None else 0 for i in row], 1))
    # Bitmaps are stored bottom row first.
    return header + palette + b"".join(reversed(colour_rows)) + b"".join(reversed(mask_rows))


def image_rows(size, samples, art_cache={}):
    key = (size, samples)
    if key not in art_cache:
        if size == 16:
            palette = {
                ".": (0, 0, 0, 0), "o": OUTLINE + (255,), "b": FOLDER_BACK + (255,),
                "f": FOLDER_FRONT + (255,), "q": QUOTE + (255,), "p": PATH_INK + (255,),
                "k": CHECK + (255,),
            }
            art_cache[key] = pixel_art(PIXELS_16, palette)
        else:
            art_cache[key] = render(size, samples)
    return art_cache[key]


def build_ico():
    blobs = []
    entries = []
    for size, bpp in IMAGES:
        # Sixteen colours cannot show blended edges: draw those hard-edged.
        blob = dib(size, bpp, image_rows(size, 1 if bpp == 4 else 6))
        colour_count = 16 if bpp == 4 else 0
        entries.append((size, colour_count, bpp, len(blob)))
        blobs.append(blob)
    out = bytearray(struct.pack("<HHH", 0, 1, len(IMAGES)))
    offset = 6 + 16 * len(IMAGES)
    for (size, colour_count, bpp, length) in entries:
        out += struct.pack("<BBBBHHII", size % 256, size % 256, colour_count, 0, 1, bpp, length, offset)
        offset += length
    for blob in blobs:
        out += blob
    return bytes(out)


# ---------------------------------------------------------------- preview

def preview(ico_path, png_path, scale=6):
    """One row per colour depth, each image enlarged; on a light checker so that
    alpha shows. ImageMagick reads the .ico back, masks and alpha included."""
    depths = [4, 8, 32]
    sizes = (48, 32, 16)
    pad = 8
    width = pad + sum(s * scale + pad for s in sizes)
    height = pad + len(depths) * (48 * scale + pad)
    command = ["convert",
               # An 8-pixel checker, tiled over the sheet.
               "-size", "16x16", "xc:#ececec", "-fill", "#d6d6d6",
               "-draw", "rectangle 8,0 15,7", "-draw", "rectangle 0,8 7,15",
               "-write", "mpr:checker", "+delete",
               "-size", "%dx%d" % (width, height), "tile:mpr:checker"]
    for row_i, depth in enumerate(depths):
        x0 = pad
        y0 = pad + row_i * (48 * scale + pad)
        for size in sizes:
            if (size, depth) in IMAGES:
                # -sample: whole pixels enlarged, no smoothing.
                command += ["(", "%s[%d]" % (ico_path, IMAGES.index((size, depth))),
                            "-sample", "%d%%" % (100 * scale), ")",
                            "-geometry", "+%d+%d" % (x0, y0), "-composite"]
            x0 += size * scale + pad
    # No time stamps, so that the same icon gives the same PNG.
    command += ["-alpha", "off", "-depth", "8", "-strip", "-define", "png:exclude-chunks=date,time", png_path]
    subprocess.run(command, check=True)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", default=os.path.join(here, "..", "res", "velquist.ico"))
    parser.add_argument("--preview", help="also write an enlarged PNG sheet of every image")
    args = parser.parse_args()
    with open(args.output, "wb") as f:
        f.write(build_ico())
    if args.preview:
        preview(args.output, args.preview)
    return 0


if __name__ == "__main__":
    sys.exit(main())
