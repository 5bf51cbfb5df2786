#!/usr/bin/env python3
"""Draws the program's icon (res/QuorvelTrace.ico) and banner bitmap
(res/banner.bmp). Plain Python, no imaging library: shapes are sampled 4x4
per pixel for smooth edges. Run it again after changing the pictures and
commit the files it writes."""
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
RES = os.path.join(HERE, "..", "res")

CARD = (28, 92, 168)        # card body, blue
CARD_EDGE = (16, 58, 112)
CHIP = (226, 178, 58)       # contact chip, gold
CHIP_LINE = (150, 110, 20)
TRACE = (220, 40, 40)       # the trace line over the card


def inside_round_rect(x, y, x0, y0, x1, y1, r):
    if x < x0 or x > x1 or y < y0 or y > y1:
        return False
    cx = min(max(x, x0 + r), x1 - r)
    cy = min(max(y, y0 + r), y1 - r)
    return (x - cx) ** 2 + (y - cy) ** 2 <= r * r


def trace_y(x):
    """A heartbeat-like trace across the unit square, y in 0..1 (down)."""
    points = [(0.0, 0.62), (0.30, 0.62), (0.40, 0.40), (0.50, 0.84),
              (0.60, 0.52), (0.68, 0.62), (1.0, 0.62)]
    for (xa, ya), (xb, yb) in zip(points, points[1:]):
        if xa <= x <= xb:
            return ya + (yb - ya) * (x - xa) / (xb - xa)
    return points[-1][1]


def card_sample(u, v):
    """Colour of the picture at unit coordinates (u, v), or None (transparent)."""
    # trace line on top
    if 0.04 <= u <= 0.96 and abs(v - trace_y(u)) < 0.045:
        return TRACE
    if inside_round_rect(u, v, 0.06, 0.18, 0.94, 0.82, 0.10):
        if inside_round_rect(u, v, 0.18, 0.33, 0.40, 0.53, 0.04):
            if abs(v - 0.43) < 0.012 or abs(u - 0.29) < 0.012:
                return CHIP_LINE
            return CHIP
        if not inside_round_rect(u, v, 0.085, 0.21, 0.915, 0.79, 0.08):
            return CARD_EDGE
        return CARD
    return None


def render(width, height, sample, background=None, ss=4):
    """Returns rows top-down of (r, g, b, a)."""
    rows = []
    for py in range(height):
        row = []
        for px in range(width):
            acc = [0, 0, 0, 0]
            for sy in range(ss):
                for sx in range(ss):
                    c = sample((px + (sx + 0.5) / ss), (py + (sy + 0.5) / ss))
                    if c is None:
                        if background is not None:
                            c = background
                        else:
                            continue
                    acc[0] += c[0]; acc[1] += c[1]; acc[2] += c[2]; acc[3] += 255
            n = ss * ss
            covered = acc[3] // 255
            if covered == 0:
                row.append((0, 0, 0, 0))
            else:
                row.append((acc[0] // covered, acc[1] // covered, acc[2] // covered, acc[3] // n))
        rows.append(row)
    return rows


def icon_image(size):
    return render(size, size, lambda x, y: card_sample(x / size, y / size))


def dib_32(rows):
    """BITMAPINFOHEADER + bottom-up BGRA pixels + AND mask, as an icon stores it."""
    h = len(rows)
    w = len(rows[0])
    header = struct.pack("<IiiHHIIiiII", 40, w, h * 2, 1, 32, 0, 0, 0, 0, 0, 0)
    pixels = b"".join(bytes((b, g, r, a)) for row in reversed(rows) for (r, g, b, a) in row)
    mask_stride = ((w + 31) // 32) * 4
    mask = bytearray()
    for row in reversed(rows):
        bits = bytearray(mask_stride)
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits[x // 8] |= 0x80 >> (x % 8)
        mask += bits
    return header + pixels + bytes(mask)


def png_32(rows):
    h = len(rows)
    w = len(rows[0])
    raw = b"".join(b"\0" + b"".join(bytes(p) for p in row) for row in rows)

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def write_icon(path, sizes):
    images = []
    for size in sizes:
        rows = icon_image(size)
        images.append((size, png_32(rows) if size >= 256 else dib_32(rows)))
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dim = 0 if size >= 256 else size
        out += struct.pack("<BBBBHHII", dim, dim, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, data in images)
    with open(path, "wb") as f:
        f.write(out)


def write_banner(path, width=136, height=41):
    """8 bits per pixel with a 256-colour palette, drawn on white."""
    def sample(x, y):
        # the card on the right part, a short trace running into it from the left
        u = (x - 76) / 56.0
        v = (y - 0.5) / 40.0
        if 0 <= u <= 1:
            return card_sample(u, v)
        if x < 76 and abs(y - 40 * trace_y(0.0)) < 1.6 and x > 6:
            return TRACE
        return None
    rows = render(width, height, sample, background=(255, 255, 255))
    palette = []
    index = {}
    pixels = []
    for row in rows:
        out = []
        for (r, g, b, _) in row:
            # 6-level colour cube keeps the palette within 256 entries
            key = (r // 51 * 51, g // 51 * 51, b // 51 * 51) if len(index) >= 255 and (r, g, b) not in index else (r, g, b)
            if key not in index:
                if len(index) >= 256:
                    key = min(index, key=lambda c: sum((c[i] - key[i]) ** 2 for i in range(3)))
                else:
                    index[key] = len(palette)
                    palette.append(key)
            out.append(index[key])
        pixels.append(out)
    palette += [(0, 0, 0)] * (256 - len(palette))
    stride = (width + 3) & ~3
    data = b"".join(bytes(row) + b"\0" * (stride - width) for row in reversed(pixels))
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 8, 0, len(data), 2835, 2835, 256, 0)
    pal = b"".join(bytes((b, g, r, 0)) for (r, g, b) in palette)
    offset = 14 + len(info) + len(pal)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    with open(path, "wb") as f:
        f.write(header + info + pal + data)


if __name__ == "__main__":
    write_icon(os.path.join(RES, "QuorvelTrace.ico"), [16, 24, 32, 48, 256])
    write_banner(os.path.join(RES, "banner.bmp"))
