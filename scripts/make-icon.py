#!/usr/bin/env python3
"""Draws the program's icon (a clock face) as a 16-colour .ico holding a
48x48 and a 32x32 image. Run once; the result is committed as res/oramet.ico."""
import math
import struct
import sys

# The standard 16-colour palette, as (b, g, r, 0).
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0), (0, 0, 128), (128, 0, 128),
    (0, 128, 128), (192, 192, 192), (128, 128, 128), (255, 0, 0), (0, 255, 0),
    (255, 255, 0), (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, NAVY, WHITE, SILVER, RED = 0, 1, 15, 7, 12  # indices (BGR order above)


def draw(size):
    """Returns rows (top first) of palette indices, or None for transparent."""
    c = (size - 1) / 2.0
    r_out = size / 2.0 - 0.5
    rim = max(2.0, size / 14.0)
    px = [[None] * size for _ in range(size)]
    for y in range(size):
        for x in range(size):
            d = math.hypot(x - c, y - c)
            if d <= r_out:
                px[y][x] = NAVY if d > r_out - rim else WHITE
    # Hour marks.
    for h in range(12):
        a = math.radians(h * 30)
        for t in (0.70, 0.78):
            x = int(round(c + math.sin(a) * r_out * t))
            y = int(round(c - math.cos(a) * r_out * t))
            px[y][x] = SILVER if h % 3 else NAVY

    def hand(angle_deg, length, colour, width):
        a = math.radians(angle_deg)
        steps = int(length * size)
        for i in range(steps):
            t = float(i)
            x = c + math.sin(a) * t
            y = c - math.cos(a) * t
            for dx in range(-width, width + 1):
                for dy in range(-width, width + 1):
                    xi, yi = int(round(x + dx * 0.5)), int(round(y + dy * 0.5))
                    if 0 <= xi < size and 0 <= yi < size and px[yi][xi] is not None:
                        px[yi][xi] = colour

    hand(300, 0.26, BLACK, 1)   # hour hand at ten
    hand(60, 0.38, BLACK, 1)    # minute hand at ten past
    hand(180, 0.40, RED, 0)     # second hand
    return px


def bitmap(size):
    px = draw(size)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = bytearray()
    mask = bytearray()
    for y in reversed(range(size)):  # bottom-up rows
        row = bytearray(xor_stride)
        mrow = bytearray(and_stride)
        for x in range(size):
            v = px[y][x]
            idx = 0 if v is None else v
            row[x // 2] |= idx << (4 if x % 2 == 0 else 0)
            if v is None:
                mrow[x // 8] |= 0x80 >> (x % 8)
        xor += row
        mask += mrow
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0,
                         len(xor) + len(mask), 0, 0, 16, 0)
    pal = b''.join(struct.pack('<BBBB', b, g, r, 0) for (b, g, r) in PALETTE)
    return header + pal + bytes(xor) + bytes(mask)


def main(path):
    images = [bitmap(48), bitmap(32)]
    out = bytearray(struct.pack('<HHH', 0, 1, len(images)))
    offset = 6 + 16 * len(images)
    for size, data in zip((48, 32), images):
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'res/oramet.ico')
