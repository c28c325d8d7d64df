#!/usr/bin/env python3
"""Draws IDI_MODEM, a globe with a telephone in front of it, as a 32 x 32,
16-colour Windows icon (res/Modem.ico). Run by hand after a change:

    python3 res/make_modem_icon.py res/Modem.ico
"""
import math
import struct
import sys

SIZE = 32

# The standard 16-colour VGA palette, in Windows' order.
PALETTE = [
    (0, 0, 0), (128, 0, 0), (0, 128, 0), (128, 128, 0),
    (0, 0, 128), (128, 0, 128), (0, 128, 128), (192, 192, 192),
    (128, 128, 128), (255, 0, 0), (0, 255, 0), (255, 255, 0),
    (0, 0, 255), (255, 0, 255), (0, 255, 255), (255, 255, 255),
]
BLACK, DARK_RED, DARK_GREEN, OLIVE, NAVY, PURPLE, TEAL, SILVER = range(8)
GREY, RED, GREEN, YELLOW, BLUE, MAGENTA, CYAN, WHITE = range(8, 16)

TRANSPARENT = None


def blank():
    return [[TRANSPARENT] * SIZE for _ in range(SIZE)]


def draw_globe(img):
    cx, cy, r = 12.5, 12.0, 11.6
    # Continents as blobs in the globe's own coordinates (-1..1).
    land = [(-0.45, -0.35, 0.3), (-0.25, 0.05, 0.22), (-0.3, 0.45, 0.16),
            (0.4, -0.45, 0.2), (0.55, 0.1, 0.18), (0.25, 0.6, 0.14)]
    for y in range(SIZE):
        for x in range(SIZE):
            dx, dy = (x + 0.5 - cx) / r, (y + 0.5 - cy) / r
            d = math.hypot(dx, dy)
            if d > 1.0:
                continue
            if d > 0.9:
                img[y][x] = NAVY
                continue
            colour = BLUE
            if any(math.hypot(dx - lx, dy - ly) < lr for lx, ly, lr in land):
                colour = GREEN
            # The shaded side.
            if dx + dy > 0.75:
                colour = {BLUE: NAVY, GREEN: DARK_GREEN}[colour]
            # Meridians and parallels.
            z = math.sqrt(max(0.0, 1 - dx * dx - dy * dy))
            lon = math.degrees(math.atan2(dx, z))
            if abs(dy) < 0.03 or abs(abs(lon) - 50) < 3:
                colour = CYAN if colour in (BLUE, GREEN) else TEAL
            img[y][x] = colour
    # A highlight on the lit side.
    for x, y in [(6, 5), (7, 5), (5, 6), (6, 6)]:
        img[y][x] = WHITE


def inside_base(x, y):
    # A trapezoid, wider at the bottom.
    if not 21 <= y <= 30:
        return False
    half = 7.5 + (y - 21) * 0.25
    return abs(x + 0.5 - 21.0) <= half


def draw_phone(img):
    # Body with its outline.
    for y in range(SIZE):
        for x in range(SIZE):
            if inside_base(x, y):
                edge = not all(inside_base(x + dx, y + dy) for dx, dy in ((1, 0), (-1, 0), (0, 1), (0, -1)))
                img[y][x] = BLACK if edge else (DARK_RED if y >= 28 else RED)
    # The dial: a white ring with finger holes and a dark hub.
    dcx, dcy = 21.0, 25.5
    for y in range(21, 31):
        for x in range(12, 31):
            d = math.hypot(x + 0.5 - dcx, y + 0.5 - dcy)
            if d <= 3.3:
                img[y][x] = WHITE
            if d <= 1.2:
                img[y][x] = GREY
    for angle in range(200, 541, 45):
        a = math.radians(angle)
        hx, hy = dcx + 2.3 * math.cos(a), dcy + 2.3 * math.sin(a)
        img[int(hy)][int(hx)] = SILVER
    # The handset in its cradle: a bar with the ear and mouth pieces.
    for x in range(12, 31):
        for y in (17, 18):
            img[y][x] = RED
        img[16][x] = BLACK
        img[19][x] = BLACK
    for x0 in (11, 26):
        for y in range(16, 22):
            for x in range(x0, x0 + 5):
                edge = y in (16, 21) or x in (x0, x0 + 4)
                img[y][x] = BLACK if edge else (DARK_RED if y == 20 else RED)
    # The cradle under the handset, with its forks.
    for x in range(16, 26):
        img[20][x] = DARK_RED
    for x in (15, 25):
        img[20][x] = BLACK


def ico(img):
    width = height = SIZE
    stride = ((width * 4 + 31) // 32) * 4
    mask_stride = ((width + 31) // 32) * 4
    xor = bytearray()
    andmask = bytearray()
    for y in reversed(range(height)):
        row = bytearray(stride)
        mrow = bytearray(mask_stride)
        for x in range(width):
            index = img[y][x]
            if index is None:
                mrow[x // 8] |= 0x80 >> (x % 8)
                index = BLACK  # transparent pixels are black in the colour image
            row[x // 2] |= index << (4 if x % 2 == 0 else 0)
        xor += row
        andmask += mrow
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for r, g, b in PALETTE)
    header = struct.pack("<IiiHHIIiiII", 40, width, height * 2, 1, 4, 0, len(xor) + len(andmask), 0, 0, 16, 0)
    image = header + palette + xor + andmask
    directory = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", width, height, 16, 0, 1, 4, len(image), 6 + 16)
    return directory + entry + image


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "Modem.ico"
    img = blank()
    draw_globe(img)
    draw_phone(img)
    with open(out, "wb") as f:
        f.write(ico(img))


if __name__ == "__main__":
    main()
