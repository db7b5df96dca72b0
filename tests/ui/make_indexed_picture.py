#!/usr/bin/python3
# Writes two 4 x 2 PNGs with 8-bit palette indices, rows (indices) 0 1 2 3 / 3 2 1 0:
#   indexed.png        palette only: red, green, blue, 0x10 0x20 0x30, all opaque
#   indexed_alpha.png  the same with a transparency chunk: alphas 255, 128, 0, 255
# Needs Debian's python3-pil. Usage: tests/ui/make_indexed_picture.py [output folder]
import os
import sys

from PIL import Image

PALETTE = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (0x10, 0x20, 0x30)]
ALPHA = [255, 128, 0, 255]
ROWS = [[0, 1, 2, 3], [3, 2, 1, 0]]

folder = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
picture = Image.new("P", (4, 2))
picture.putpalette([channel for colour in PALETTE for channel in colour])
picture.putdata([index for row in ROWS for index in row])
# bits=8 keeps 8-bit indices even though 2 bits would do.
picture.save(os.path.join(folder, "indexed.png"), bits=8)
picture.save(os.path.join(folder, "indexed_alpha.png"), transparency=bytes(ALPHA), bits=8)
