#!/usr/bin/python3
"""Draws the program's pictures and writes them as PNG files next to res/.

    /usr/bin/python3 res/art/make_art.py

Standard library only. The PNGs are committed; run this again only after
changing a drawing. Every picture uses the 16 colours of the classic
palette. The tree strip is opaque with a white background, which the tree
treats as transparent; the icons carry an alpha channel.
"""

import os
import struct
import zlib

PALETTE = {
    "k": (0x00, 0x00, 0x00), "m": (0x80, 0x00, 0x00), "g": (0x00, 0x80, 0x00),
    "o": (0x80, 0x80, 0x00), "n": (0x00, 0x00, 0x80), "p": (0x80, 0x00, 0x80),
    "t": (0x00, 0x80, 0x80), "s": (0xC0, 0xC0, 0xC0), "d": (0x80, 0x80, 0x80),
    "r": (0xFF, 0x00, 0x00), "l": (0x00, 0xFF, 0x00), "y": (0xFF, 0xFF, 0x00),
    "b": (0x00, 0x00, 0xFF), "f": (0xFF, 0x00, 0xFF), "c": (0x00, 0xFF, 0xFF),
    "w": (0xFF, 0xFF, 0xFF),
}

# 3 x 5 digits and capitals for the labelled pictures.
FONT = {
    "3": ["kkk", "..k", ".kk", "..k", "kkk"],
    "4": ["k.k", "k.k", "kkk", "..k", "..k"],
    "5": ["kkk", "k..", "kkk", "..k", "kkk"],
    "F": ["kkk", "k..", "kk.", "k..", "k.."],
    "I": ["kkk", ".k.", ".k.", ".k.", "kkk"],
    "L": ["k..", "k..", "k..", "k..", "kkk"],
    "E": ["kkk", "k..", "kk.", "k..", "kkk"],
    "G": [".kk", "k..", "k.k", "k.k", ".kk"],
    "R": ["kk.", "k.k", "kk.", "k.k", "k.k"],
    "P": ["kk.", "k.k", "kk.", "k..", "k.."],
}


class Canvas:
    def __init__(self, width, height):
        self.width = width
        self.height = height
        self.px = [[None] * width for _ in range(height)]  # None = background

    def dot(self, x, y, c):
        if 0 <= x < self.width and 0 <= y < self.height:
            self.px[y][x] = c

    def fill(self, x0, y0, x1, y1, c):
        for y in range(y0, y1 + 1):
            for x in range(x0, x1 + 1):
                self.dot(x, y, c)

    def box(self, x0, y0, x1, y1, inside, edge="k"):
        self.fill(x0, y0, x1, y1, edge)
        if x1 - x0 >= 2 and y1 - y0 >= 2:
            self.fill(x0 + 1, y0 + 1, x1 - 1, y1 - 1, inside)

    def hline(self, x0, x1, y, c):
        self.fill(x0, y, x1, y, c)

    def vline(self, x, y0, y1, c):
        self.fill(x, y0, x, y1, c)

    def disc(self, cx, cy, r, inside, edge="k"):
        for y in range(self.height):
            for x in range(self.width):
                d = (x - cx) ** 2 + (y - cy) ** 2
                if d <= r * r:
                    self.dot(x, y, inside if d <= (r - 1) ** 2 else edge)

    def text(self, x, y, s, c="k"):
        for ch in s:
            for dy, row in enumerate(FONT[ch]):
                for dx, v in enumerate(row):
                    if v != ".":
                        self.dot(x + dx, y + dy, c)
            x += 4

    def blit(self, other, ox, oy):
        for y in range(other.height):
            for x in range(other.width):
                if other.px[y][x] is not None:
                    self.dot(ox + x, oy + y, other.px[y][x])

    def scaled(self, factor):
        out = Canvas(self.width * factor, self.height * factor)
        for y in range(out.height):
            for x in range(out.width):
                out.px[y][x] = self.px[y // factor][x // factor]
        return out


def write_png(path, canvas, alpha):
    rows = bytearray()
    for row in canvas.px:
        rows.append(0)
        for c in row:
            r, g, b = PALETTE[c] if c else (0xFF, 0xFF, 0xFF)
            rows += bytes((r, g, b, 0xFF if c else 0x00) if alpha else (r, g, b))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body))

    colour_type = 6 if alpha else 2
    header = struct.pack(">IIBBBBB", canvas.width, canvas.height, 8, colour_type, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", header))
        f.write(chunk(b"IDAT", zlib.compress(bytes(rows), 9)))
        f.write(chunk(b"IEND", b""))


# ---- the tree's pictures, 17 x 16 each ------------------------------------------

def closed_folder(c):
    c.box(1, 3, 6, 5, "y")
    c.box(1, 4, 15, 13, "y")
    c.hline(2, 14, 5, "o")
    c.hline(2, 14, 12, "o")


def open_folder(c):
    c.box(1, 2, 6, 4, "y")
    c.box(1, 3, 13, 13, "y")
    for y in range(7, 14):
        shift = (y - 7) // 2
        left, right = 4 - shift, 16 - shift
        c.hline(left, right, y, "o")
        c.dot(left, y, "k")
        c.dot(right, y, "k")
    c.hline(4, 16, 7, "k")
    c.hline(1, 13, 13, "k")


def drive_body(c, top, bottom, slot):
    c.box(1, top, 15, bottom, "s")
    c.hline(2, 14, top + 1, "w")
    c.hline(2, 14, bottom - 1, "d")
    if slot:
        c.hline(4, 11, top + 2, "k")
    c.dot(13, bottom - 2, "l")


def removable_drive(c):
    c.box(5, 1, 11, 7, "n")
    c.fill(7, 1, 9, 3, "s")
    c.fill(6, 5, 10, 7, "w")
    drive_body(c, 8, 13, True)


def fixed_drive(c):
    drive_body(c, 6, 12, False)
    c.hline(3, 9, 9, "d")


def network_drive(c):
    drive_body(c, 1, 7, False)
    c.hline(3, 9, 4, "d")
    c.vline(8, 8, 12, "k")
    c.hline(0, 16, 13, "t")
    c.hline(0, 16, 14, "k")
    c.fill(6, 12, 10, 14, "k")


def cd_drive(c):
    c.disc(8, 5, 5, "s")
    c.dot(6, 3, "c")
    c.dot(7, 3, "w")
    c.dot(9, 7, "c")
    c.fill(8, 5, 8, 5, "k")
    drive_body(c, 10, 15, True)


def memory_chip(c):
    for x in range(3, 15, 2):
        c.vline(x, 2, 13, "s")
    c.box(2, 4, 14, 11, "k", "k")
    c.dot(4, 6, "d")


def monitor(c, x, y, w, h, screen="c"):
    c.box(x, y, x + w - 1, y + h - 1, screen)
    c.hline(x + 2, x + w - 3, y + h, "d")


def two_computers(c):
    monitor(c, 0, 1, 8, 6)
    monitor(c, 9, 8, 8, 6)
    c.vline(4, 8, 11, "k")
    c.hline(4, 8, 11, "k")


def three_computers(c):
    monitor(c, 0, 0, 6, 5)
    monitor(c, 11, 0, 6, 5)
    monitor(c, 5, 10, 7, 5)
    c.hline(3, 13, 7, "k")
    c.vline(3, 6, 7, "k")
    c.vline(13, 6, 7, "k")
    c.vline(8, 7, 9, "k")


def one_computer(c):
    c.box(2, 1, 14, 10, "n")
    c.fill(4, 3, 12, 8, "c")
    c.fill(6, 11, 10, 12, "d")
    c.box(1, 13, 15, 15, "s")


def folder_three(c):
    closed_folder(c)
    c.text(7, 7, "3")


def file_container(c):
    c.text(7, 1, "4", "n")
    c.text(1, 9, "FILE", "n")


def group_container(c):
    c.text(7, 1, "5", "n")
    c.text(3, 9, "GRP", "n")


def cable(c):
    for x, y in [(4, 8), (5, 9), (6, 10), (7, 10), (8, 9), (9, 8), (10, 7), (11, 6), (12, 7)]:
        c.dot(x, y, "k")
        c.dot(x, y + 1, "t")
    c.box(0, 6, 3, 10, "d")
    c.box(13, 5, 16, 9, "d")
    c.hline(12, 12, 7, "k")


def globe(c):
    c.disc(8, 8, 7, "b")
    for x, y, w in [(5, 3, 3), (4, 4, 5), (3, 5, 5), (4, 6, 3), (5, 7, 2),
                    (10, 8, 3), (9, 9, 4), (10, 10, 3), (10, 11, 2), (11, 12, 1)]:
        c.hline(x, x + w - 1, y, "g")
    c.dot(12, 4, "g")


TREE_IMAGES = [
    open_folder, closed_folder, removable_drive, fixed_drive, network_drive, cd_drive,
    memory_chip, two_computers, three_computers, one_computer, folder_three,
    file_container, group_container, cable, globe,
]


# ---- the program's icon: a sensor head on its cable, an arrow for "upgrade" ----

def sensor_icon():
    c = Canvas(16, 16)
    c.box(0, 7, 9, 14, "t")
    c.fill(1, 8, 8, 8, "c")
    c.fill(2, 10, 7, 12, "n")
    c.hline(10, 15, 10, "k")
    c.hline(10, 15, 11, "d")
    for y, (x0, x1) in enumerate([(12, 12), (11, 13), (10, 14), (9, 15)]):
        c.hline(x0, x1, y + 1, "g")
    c.fill(11, 5, 13, 8, "g")
    c.fill(12, 2, 12, 7, "l")
    return c


def about_icon():
    c = sensor_icon().scaled(2)
    c.text(5, 21, "F", "w")  # a label on the sensor head
    c.hline(9, 11, 26, "w")
    return c


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.dirname(here)
    strip = Canvas(17 * len(TREE_IMAGES), 16)
    for i, draw in enumerate(TREE_IMAGES):
        cell = Canvas(17, 16)
        draw(cell)
        strip.blit(cell, 17 * i, 0)
    write_png(os.path.join(out, "bitmap_134.png"), strip, alpha=False)
    write_png(os.path.join(out, "icon_128.png"), sensor_icon(), alpha=True)
    write_png(os.path.join(out, "icon_138.png"), about_icon(), alpha=True)


if __name__ == "__main__":
    main()
