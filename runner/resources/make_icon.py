#!/usr/bin/env python3
"""Writes the application icon: a guitar pick in ten images.

256 x 256 at 32 bits per pixel (stored as PNG), and 48, 32 and 16 pixels square at 4, 8 and
32 bits per pixel each (stored as bitmaps with their transparency masks).

Usage: make_icon.py <output.ico>
"""

import math
import struct
import sys
import zlib

# Pick colours, RGB.
FILL_TOP = (255, 168, 56)
FILL_BOTTOM = (214, 84, 20)
OUTLINE = (92, 36, 8)
HIGHLIGHT = (255, 236, 200)


def _segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    t = max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy)))
    return math.hypot(px - ax - t * dx, py - ay - t * dy)


def _inside_triangle(px, py, corners):
    signs = []
    for i in range(3):
        ax, ay = corners[i]
        bx, by = corners[(i + 1) % 3]
        signs.append((bx - ax) * (py - ay) - (by - ay) * (px - ax) >= 0)
    return all(signs) or not any(signs)


# A rounded triangle, broad side up, as a pick is held.
PICK_CORNERS = ((0.26, 0.26), (0.74, 0.26), (0.5, 0.76))
PICK_ROUNDING = 0.15
# The broad side bulges out along a large circle.
PICK_TOP_CENTRE = (0.5, 1.05)
PICK_TOP_RADIUS = 0.95


def pick_distance(x, y):
    """Distance in icon units (the icon spans 0..1) to the pick's edge; negative inside."""
    edge = min(_segment_distance(x, y, *PICK_CORNERS[i], *PICK_CORNERS[(i + 1) % 3])
               for i in range(3))
    triangle = -edge if _inside_triangle(x, y, PICK_CORNERS) else edge
    rounded = triangle - PICK_ROUNDING
    if y < PICK_CORNERS[0][1]:
        # Above the corners the outline follows the bulging top circle instead.
        top = math.hypot(x - PICK_TOP_CENTRE[0], y - PICK_TOP_CENTRE[1]) - PICK_TOP_RADIUS
        return max(rounded, top) if abs(x - 0.5) > 0.24 else top
    return rounded


def shade(x, y):
    """RGBA in 0..1 floats for one sample point."""
    d = pick_distance(x, y)
    if d > 0.0:
        return (0.0, 0.0, 0.0, 0.0)
    outline_width = 0.045
    if d > -outline_width:
        colour = OUTLINE
    else:
        t = min(1.0, max(0.0, (y - 0.05) / 0.9))
        colour = tuple(FILL_TOP[i] * (1 - t) + FILL_BOTTOM[i] * t for i in range(3))
        # A soft highlight towards the upper left gives the pick some depth.
        hx, hy = x - 0.38, y - 0.28
        glow = max(0.0, 1.0 - math.hypot(hx, hy) / 0.16)
        colour = tuple(colour[i] * (1 - 0.6 * glow) + HIGHLIGHT[i] * 0.6 * glow for i in range(3))
    return (colour[0] / 255.0, colour[1] / 255.0, colour[2] / 255.0, 1.0)


def render(size, samples=4):
    """Rows top to bottom of (r, g, b, a) bytes, antialiased by supersampling."""
    rows = []
    for py in range(size):
        row = []
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(samples):
                for sx in range(samples):
                    r, g, b, a = shade((px + (sx + 0.5) / samples) / size,
                                       (py + (sy + 0.5) / samples) / size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            n = samples * samples
            alpha = acc[3] / n
            if alpha > 0:
                rgb = [min(255, round(255 * acc[i] / acc[3])) for i in range(3)]
            else:
                rgb = [0, 0, 0]
            row.append((rgb[0], rgb[1], rgb[2], round(255 * alpha)))
        rows.append(row)
    return rows


def png(rows):
    size = len(rows)
    raw = bytearray()
    for row in rows:
        raw.append(0)  # no filter
        for r, g, b, a in row:
            raw += bytes((r, g, b, a))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
            chunk(b"IDAT", zlib.compress(bytes(raw), 9)) + chunk(b"IEND", b""))


# The 16 colours of the classic 4-bit palette.
PALETTE_16 = [(0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
              (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
              (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255)]


def palette_256():
    """A 6x6x6 colour cube, then a grey ramp."""
    colours = [(r * 51, g * 51, b * 51) for r in range(6) for g in range(6) for b in range(6)]
    colours += [(v, v, v) for v in range(8, 248, 6)][:256 - len(colours)]
    while len(colours) < 256:
        colours.append((0, 0, 0))
    return colours


def nearest(palette, rgb):
    return min(range(len(palette)),
               key=lambda i: sum((palette[i][c] - rgb[c]) ** 2 for c in range(3)))


def bitmap(rows, bpp):
    """An icon image as a bottom-up DIB: header, palette, colour bits, AND mask."""
    size = len(rows)
    palette = {4: PALETTE_16, 8: palette_256()}.get(bpp, [])
    header = struct.pack("<IiiHHIIiiII", 40, size, size * 2, 1, bpp, 0, 0, 0, 0, len(palette), 0)
    body = bytearray(header)
    for r, g, b in palette:
        body += bytes((b, g, r, 0))

    cache = {}
    for row in reversed(rows):
        line = bytearray()
        if bpp == 32:
            for r, g, b, a in row:
                line += bytes((b, g, r, a))
        else:
            indices = []
            for r, g, b, a in row:
                key = (r, g, b)
                if key not in cache:
                    cache[key] = nearest(palette, key)
                indices.append(cache[key] if a >= 128 else 0)
            if bpp == 8:
                line += bytes(indices)
            else:
                for i in range(0, size, 2):
                    line.append((indices[i] << 4) | (indices[i + 1] if i + 1 < size else 0))
        while len(line) % 4:
            line.append(0)
        body += line

    for row in reversed(rows):  # AND mask: 1 = transparent
        line = bytearray((size + 7) // 8)
        for x, (_, _, _, a) in enumerate(row):
            if a < 128:
                line[x // 8] |= 0x80 >> (x % 8)
        while len(line) % 4:
            line.append(0)
        body += line
    return bytes(body)


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_icon.py <output.ico>")
    images = []  # (size, bpp, colour count, data)
    images.append((256, 32, 0, png(render(256, samples=2))))
    for size in (48, 32, 16):
        rows = render(size)
        for bpp in (4, 8, 32):
            colours = {4: 16, 8: 0, 32: 0}[bpp]
            images.append((size, bpp, colours, bitmap(rows, bpp)))

    directory = struct.pack("<HHH", 0, 1, len(images))
    offset = len(directory) + 16 * len(images)
    entries = b""
    for size, bpp, colours, data in images:
        side = 0 if size == 256 else size
        entries += struct.pack("<BBBBHHII", side, side, colours, 0, 1, bpp, len(data), offset)
        offset += len(data)
    with open(sys.argv[1], "wb") as out:
        out.write(directory + entries + b"".join(image[3] for image in images))


if __name__ == "__main__":
    main()
