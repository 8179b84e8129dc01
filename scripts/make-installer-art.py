#!/usr/bin/env python3
"""Draws the setup program's pictures from the program's icon (the clock face
of make-icon.py, drawn again at a larger size): the panel of the welcome and
finish pages (164x314) and the page header (150x57), as 24-bit BMP files.
Run by the build; the same inputs give the same bytes.

Usage: make-installer-art.py WELCOME.bmp HEADER.bmp"""
import importlib.util
import os
import struct
import sys

_spec = importlib.util.spec_from_file_location(
    'make_icon', os.path.join(os.path.dirname(os.path.abspath(__file__)), 'make-icon.py'))
icon = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(icon)

# The icon's navy, and the lighter blue the panel fades to at its foot.
NAVY = (0, 0, 128)
SKY = (70, 110, 190)
WHITE = (255, 255, 255)
RIM = (185, 200, 235)


def rgb(index):
    b, g, r = icon.PALETTE[index]
    return (r, g, b)


def canvas(width, height, colour_at):
    return [[colour_at(x, y) for x in range(width)] for y in range(height)]


def paste_clock(pixels, size, left, top, ring=None):
    """Draws the clock face of `size` pixels with its top left at (left, top);
    `ring` replaces the rim's navy where the background is navy too."""
    face = icon.draw(size)
    for y, row in enumerate(face):
        for x, index in enumerate(row):
            if index is None:
                continue
            colour = rgb(index)
            if ring is not None and index == icon.NAVY:
                colour = ring
            pixels[top + y][left + x] = colour


def bmp(pixels):
    height, width = len(pixels), len(pixels[0])
    stride = (width * 3 + 3) & ~3
    data = bytearray()
    for row in reversed(pixels):  # bottom-up rows
        line = bytearray()
        for r, g, b in row:
            line += bytes((b, g, r))
        line += bytes(stride - len(line))
        data += line
    info = struct.pack('<IiiHHIIiiII', 40, width, height, 1, 24, 0, len(data),
                       2835, 2835, 0, 0)
    head = struct.pack('<2sIHHI', b'BM', 14 + len(info) + len(data), 0, 0, 14 + len(info))
    return head + info + bytes(data)


def welcome():
    width, height = 164, 314

    def fade(_x, y):
        t = y / (height - 1)
        return tuple(int(round(n + (s - n) * t)) for n, s in zip(NAVY, SKY))

    pixels = canvas(width, height, fade)
    size = 112
    paste_clock(pixels, size, (width - size) // 2, 56, ring=RIM)
    return pixels


def header():
    width, height = 150, 57
    pixels = canvas(width, height, lambda _x, _y: WHITE)
    size = 48
    paste_clock(pixels, size, width - size - 6, (height - size) // 2)
    return pixels


def main(welcome_path, header_path):
    for path, pixels in ((welcome_path, welcome()), (header_path, header())):
        with open(path, 'wb') as f:
            f.write(bmp(pixels))


if __name__ == '__main__':
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    main(sys.argv[1], sys.argv[2])
