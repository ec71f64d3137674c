#!/usr/bin/env python3
"""Writes the page that the browser load fetches: index.html with 60 small PNG images, a
stylesheet and two module scripts (main.js imports util.js), as a small site's front page is.

    makepage.py FOLDER

The page proves it loaded whole: the stylesheet sets --bench on the root element, the scripts
mark it with data-scripts="ran", and every image is 32 by 32 pixels.
"""

import os
import random
import struct
import sys
import zlib

IMAGES = 60
SIZE = 32


def png(width, height, rgb_rows):
    """A truecolour PNG file of the given rows (bytes of width * 3 each)."""
    def chunk(kind, data):
        """One chunk: length, type, data and the CRC of type and data."""
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))
    raw = b"".join(b"\x00" + row for row in rgb_rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


def image(number):
    """Image `number`: a colour of its own with noise, so that every file differs (about 3 KB)."""
    chance = random.Random(number)
    base = [chance.randrange(256) for _ in range(3)]
    rows = []
    for _ in range(SIZE):
        row = bytearray()
        for _ in range(SIZE):
            row += bytes((channel + chance.randrange(64)) % 256 for channel in base)
        rows.append(bytes(row))
    return png(SIZE, SIZE, rows)


def main(argv):
    """Writes the page into the folder named on the command line."""
    if len(argv) != 1:
        sys.stderr.write(__doc__)
        return 2
    folder = argv[0]
    os.makedirs(os.path.join(folder, "img"), exist_ok=True)
    images = []
    for number in range(IMAGES):
        with open(os.path.join(folder, "img", f"{number:02d}.png"), "wb") as handle:
            handle.write(image(number))
        images.append(f'<img src="img/{number:02d}.png" width="{SIZE}" height="{SIZE}" alt="">')
    files = {
        "index.html": "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                      "<title>KOV bench page</title>\n"
                      # An empty icon keeps the browser from asking for /favicon.ico.
                      "<link rel=\"icon\" href=\"data:,\">\n"
                      "<link rel=\"stylesheet\" href=\"style.css\">\n"
                      "<script type=\"module\" src=\"main.js\"></script>\n</head>\n<body>\n"
                      "<h1>Sixty images</h1>\n<div class=\"grid\">\n" + "\n".join(images) +
                      "\n</div>\n</body>\n</html>\n",
        "style.css": ":root { --bench: styled; }\nbody { font-family: sans-serif; margin: 1em; }\n"
                     ".grid { display: flex; flex-wrap: wrap; gap: 4px; }\n"
                     ".grid img { border: 1px solid #ccc; }\n",
        "main.js": "import { mark } from \"./util.js\";\n\nmark(\"scripts\");\n",
        "util.js": "// Marks the root element, so that the page shows its scripts ran.\n"
                   "export function mark(name) {\n    document.documentElement.dataset[name] = \"ran\";\n}\n",
    }
    for name, text in files.items():
        with open(os.path.join(folder, name), "w", encoding="utf-8") as handle:
            handle.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
