#!/usr/bin/python3
# Draws the progress window's picture, ui/scanning.png: a 120 x 120 RGBA PNG with a black
# rounded square at alpha 179, fully transparent corners, a white ring emblem in the upper
# part and the white caption "Scanning..." below it. Alpha is straight (not premultiplied);
# the server premultiplies it when it loads the picture.
#
# Needs Debian's python3-pil and fonts-dejavu-core (Debian's /usr/bin/python3, not another
# Python on the PATH). Usage: ui/make_picture.py [output.png]
import math
import os
import sys

from PIL import Image, ImageDraw, ImageFont

SIZE = 120
SCALE = 4  # drawn this much larger, then reduced: smooth edges without a blending library
SQUARE_ALPHA = 179  # about 70 % opacity
CORNER_RADIUS = 18
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf"
CAPTION = "Scanning..."


def coverage(draw_shapes):
    """A SIZE x SIZE coverage mask (0..255) of what draw_shapes draws at SCALE times the size."""
    big = Image.new("L", (SIZE * SCALE, SIZE * SCALE), 0)
    draw_shapes(ImageDraw.Draw(big), SCALE)
    return big.resize((SIZE, SIZE), Image.BOX)


def square(draw, s):
    draw.rounded_rectangle((0, 0, SIZE * s - 1, SIZE * s - 1), radius=CORNER_RADIUS * s, fill=255)


def emblem_and_caption(draw, s):
    # The emblem: a ring with a sweep hand and a centre dot, like a radar screen.
    cx, cy, radius, width = 60 * s, 44 * s, 25 * s, 5 * s
    draw.ellipse((cx - radius, cy - radius, cx + radius, cy + radius), outline=255, width=width)
    hand = radius - width - 3 * s
    angle = math.radians(-45)
    draw.line((cx, cy, cx + hand * math.cos(angle), cy + hand * math.sin(angle)), fill=255, width=4 * s)
    dot = 5 * s
    draw.ellipse((cx - dot, cy - dot, cx + dot, cy + dot), fill=255)

    font = ImageFont.truetype(FONT, 15 * s)
    left, top, right, bottom = draw.textbbox((0, 0), CAPTION, font=font)
    x = (SIZE * s - (right - left)) / 2 - left
    y = 83 * s - top
    draw.text((x, y), CAPTION, font=font, fill=255)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(os.path.abspath(__file__)), "scanning.png")
    back = coverage(square).load()
    front = coverage(emblem_and_caption).load()

    picture = Image.new("RGBA", (SIZE, SIZE))
    pixels = picture.load()
    for y in range(SIZE):
        for x in range(SIZE):
            # White drawn over the translucent black square ("over" with straight alpha).
            white = front[x, y] / 255
            base = back[x, y] * SQUARE_ALPHA / 255 / 255
            alpha = white + base * (1 - white)
            level = round(255 * white / alpha) if alpha else 0
            pixels[x, y] = (level, level, level, round(255 * alpha))
    picture.save(out, optimize=True)


if __name__ == "__main__":
    main()
