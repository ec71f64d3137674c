#!/usr/bin/env python3
"""Draws the program's icon (a globe on a blue tile) as 32x32 and 16x16 images of 16
colours each and writes them as kovweb.ico. Run it again after changing the drawing."""
import math
import struct
import sys

# The 16 colours of the classic palette, as (blue, green, red, reserved).
PALETTE = [
    (0, 0, 0), (0, 0, 128), (0, 128, 0), (0, 128, 128), (128, 0, 0), (128, 0, 128),
    (128, 128, 0), (192, 192, 192), (128, 128, 128), (0, 0, 255), (0, 255, 0),
    (0, 255, 255), (255, 0, 0), (255, 0, 255), (255, 255, 0), (255, 255, 255),
]
DARK_BLUE, CYAN, WHITE = 4, 14, 15


def draw(size):
    """Returns rows (top first) of (colour index, transparent) pairs."""
    centre = (size - 1) / 2.0
    radius = size * 0.40
    rows = []
    for y in range(size):
        row = []
        for x in range(size):
            dx, dy = x - centre, y - centre
            r = math.hypot(dx, dy)
            margin = 1 if size > 16 else 0
            inside_tile = margin <= x < size - margin and margin <= y < size - margin
            if not inside_tile:
                row.append((0, True))
                continue
            colour = DARK_BLUE
            if r <= radius:
                colour = CYAN
                # Meridian and equator, plus two latitude rings, in white.
                if abs(dx) < 0.6 or abs(dy) < 0.6 and size > 16:
                    colour = WHITE
                elif size > 16 and abs(abs(dy) - radius * 0.55) < 0.5:
                    colour = WHITE
                elif size > 16 and abs(math.hypot(dx * 2.2, dy) - radius) < 1.0:
                    colour = WHITE
            if abs(r - radius) < (0.7 if size > 16 else 0.45):
                colour = WHITE
            row.append((colour, False))
        rows.append(row)
    return rows


def bitmap(size):
    rows = draw(size)
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 4, 0, 0, 0, 0, 16, 0)
    palette = b''.join(struct.pack('<BBBB', b, g, r, 0) for (b, g, r) in PALETTE)
    xor_stride = ((size * 4 + 31) // 32) * 4
    and_stride = ((size + 31) // 32) * 4
    xor = b''
    mask = b''
    for row in reversed(rows):  # bottom-up
        packed = bytearray(xor_stride)
        bits = bytearray(and_stride)
        for x, (colour, transparent) in enumerate(row):
            packed[x // 2] |= colour << (4 if x % 2 == 0 else 0)
            if transparent:
                bits[x // 8] |= 0x80 >> (x % 8)
        xor += bytes(packed)
        mask += bytes(bits)
    return header + palette + xor + mask


def main(path):
    images = [(32, bitmap(32)), (16, bitmap(16))]
    out = struct.pack('<HHH', 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        out += struct.pack('<BBBBHHII', size, size, 16, 0, 1, 4, len(data), offset)
        offset += len(data)
    for _, data in images:
        out += data
    with open(path, 'wb') as f:
        f.write(out)


if __name__ == '__main__':
    main(sys.argv[1] if len(sys.argv) > 1 else 'kovweb.ico')
