#!/usr/bin/env python3
"""Writes the benchmark's document root into FOLDER: 1k.txt, 64k.bin, 16m.bin and empty.txt of
random bytes, index.html, page/ (a small site's front page: 60 PNG images of 32 by 32 pixels, a
stylesheet and two module scripts, main.js importing util.js; the stylesheet sets --bench on
the root element and the scripts mark it data-scripts="ran", so that a load shows it arrived
whole), listing/, a folder without index.html of 10,000 files of 0 to 5,000 bytes, and the
folders fetched as zip archives: zipbig/ (4 files of 64 MiB) and zipsmall/ (1,000 files of 1
to 8 KiB in 10 folders).

    makeroot.py FOLDER
"""

import os
import random
import struct
import sys
import zlib


def png(number):
    """Image NUMBER: a colour of its own with noise, so that every file differs (about 3 KB)."""
    chance = random.Random(number)
    base = [chance.randrange(256) for _ in range(3)]
    rows = b"".join(b"\0" + bytes((c + chance.randrange(64)) % 256 for _ in range(32) for c in base) for _ in range(32))

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", 32, 32, 8, 2, 0, 0, 0)) +
            chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as handle:
        handle.write(data.encode() if isinstance(data, str) else data)


def main(root):
    for name, size in (("1k.txt", 1024), ("64k.bin", 65536), ("16m.bin", 16 << 20), ("empty.txt", 0)):
        write(os.path.join(root, name), os.urandom(size))
    write(os.path.join(root, "index.html"), "<!doctype html>\n<title>bench</title>\n<p>KOV bench index page.</p>\n")
    images = "\n".join(f'<img src="img/{n:02d}.png" width="32" height="32" alt="">' for n in range(60))
    for n in range(60):
        write(os.path.join(root, "page", "img", f"{n:02d}.png"), png(n))
    # An empty icon keeps the browser from asking for /favicon.ico.
    write(os.path.join(root, "page", "index.html"),
          '<!doctype html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>KOV bench page</title>\n'
          '<link rel="icon" href="data:,">\n<link rel="stylesheet" href="style.css">\n'
          '<script type="module" src="main.js"></script>\n</head>\n<body>\n<h1>Sixty images</h1>\n'
          f'<div class="grid">\n{images}\n</div>\n</body>\n</html>\n')
    write(os.path.join(root, "page", "style.css"), ":root { --bench: styled; }\nbody { font-family: sans-serif; "
          "margin: 1em; }\n.grid { display: flex; flex-wrap: wrap; gap: 4px; }\n.grid img { border: 1px solid #ccc; }\n")
    write(os.path.join(root, "page", "main.js"), 'import { mark } from "./util.js";\n\nmark("scripts");\n')
    write(os.path.join(root, "page", "util.js"), "// Marks the root element, so that the page shows its scripts ran.\n"
          'export function mark(name) {\n    document.documentElement.dataset[name] = "ran";\n}\n')
    words = ("some-name", "holiday-photo-2026", "notes")
    for i in range(10000):
        write(os.path.join(root, "listing", f"entry-{i:05d}-{words[i % 3]}.txt"), b"x" * (i * 7919 % 5000))
    for i in range(4):
        write(os.path.join(root, "zipbig", f"video-{i}.bin"), os.urandom(64 << 20))
    for i in range(1000):
        write(os.path.join(root, "zipsmall", f"{i // 100:02d}", f"note-{i:04d}.txt"), os.urandom(1024 + i * 7 % 7168))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]) if len(sys.argv) == 2 else print(__doc__, file=sys.stderr) or 2)
