#!/usr/bin/python3
"""Checks what the X display really shows of the progress window.

Starts the real scan server (message mode, no pipes) under Wine on the test display, takes
screenshots of the whole X screen with xwd, and checks that the picture appears exactly 10
pixels from the right and bottom edges of the screen (the test display has no panels, so the
work area is the whole screen): every pixel of the window is the picture's premultiplied
colour, the margin around it shows the background unchanged.

Without a compositing manager the X server shows a per-pixel-alpha window's pixels as they
are, alpha dropped: the translucent square is black, the transparent corners are black too,
the emblem and caption white. The background is set to a plain blue first so that the edges
of the square show.

Usage: screen_check.py WINE_RUN SERVER_EXE PICTURE_PNG [SCREENSHOT_PNG]
SCREENSHOT_PNG receives the bottom-right corner of the screen (for the documentation).
Needs DISPLAY (scripts/test.sh starts Xvfb), xwd (x11-apps), xsetroot (x11-xserver-utils) and
Debian's python3-pil.
"""
import os
import struct
import subprocess
import sys
import time

from PIL import Image, ImageChops

GAP = 10
BACKGROUND = (0x3A, 0x6E, 0xA5)
CORNER_CROP = (320, 200)  # width and height of the documentation screenshot


def screenshot():
    """The whole X screen as an RGB image, read from xwd's output (ZPixmap, 24 or 32 bits)."""
    data = subprocess.run(["xwd", "-root", "-silent"], check=True, capture_output=True).stdout
    fields = struct.unpack(">25I", data[:100])
    header_size, width, height = fields[0], fields[4], fields[5]
    byte_order, bits_per_pixel, bytes_per_line, colours = fields[7], fields[11], fields[12], fields[19]
    if fields[2] != 2 or bits_per_pixel not in (24, 32):
        sys.exit(f"unexpected xwd format: {fields}")
    raw = {(24, 0): "BGR", (32, 0): "BGRX", (24, 1): "RGB", (32, 1): "XRGB"}[(bits_per_pixel, byte_order)]
    pixels = data[header_size + colours * 12:]
    return Image.frombuffer("RGB", (width, height), pixels[: bytes_per_line * height], "raw", raw, bytes_per_line, 1)


def expected_pixels(picture_path):
    """The picture as the display shows it: each colour multiplied by its alpha, alpha dropped."""
    picture = Image.open(picture_path).convert("RGBA")
    shown = Image.new("RGB", picture.size)
    shown.putdata([(r * a // 255, g * a // 255, b * a // 255) for r, g, b, a in picture.getdata()])
    return shown


def wait_for_window(before, box):
    """The first screenshot in which the window's box changed and then stayed the same."""
    previous = None
    for _ in range(150):
        shot = screenshot()
        if ImageChops.difference(shot.crop(box), before.crop(box)).getbbox():
            if previous is not None and not ImageChops.difference(shot, previous).getbbox():
                return shot
            previous = shot
        else:
            previous = None
        time.sleep(0.2)
    return None


def check(shot, before, expected, box):
    failures = []
    # The window's pixels are the picture's, pixel for pixel.
    wrong = [(x, y) for y in range(expected.height) for x in range(expected.width)
             if shot.getpixel((box[0] + x, box[1] + y)) != expected.getpixel((x, y))]
    if wrong:
        x, y = wrong[0]
        failures.append(f"{len(wrong)} window pixels differ from the picture, first at {x},{y}: "
                        f"{shot.getpixel((box[0] + x, box[1] + y))} instead of {expected.getpixel((x, y))}")
    # Everything else, the margin of 10 pixels included, is the background as it was.
    outside = ImageChops.difference(shot, before)
    outside.paste((0, 0, 0), box)
    if outside.getbbox():
        failures.append(f"pixels outside the window changed: {outside.getbbox()}")
    # What a viewer sees: a dark square whose edges meet the blue background, with light marks.
    window = shot.crop(box)
    dark = sum(1 for p in window.getdata() if max(p) < 40)
    light = sum(1 for p in window.getdata() if min(p) > 215)
    if dark < window.width * window.height // 2 or light < 200:
        failures.append(f"not a dark square with light emblem and caption: {dark} dark, {light} light pixels")
    for x, y in ((box[2], box[1] + 60), (box[0] + 60, box[3])):  # just right of and below the square
        if shot.getpixel((x, y)) != BACKGROUND:
            failures.append(f"{x},{y} next to the window is {shot.getpixel((x, y))}, not the background")
    return failures


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    wine_run, server, picture_path = sys.argv[1:4]
    screenshot_path = sys.argv[4] if len(sys.argv) > 4 else None
    if not os.environ.get("DISPLAY"):
        sys.exit("DISPLAY is not set: run through scripts/test.sh")

    expected = expected_pixels(picture_path)
    subprocess.run(["xsetroot", "-solid", "#%02x%02x%02x" % BACKGROUND], check=True)
    before = screenshot()
    width, height = before.size
    box = (width - GAP - expected.width, height - GAP - expected.height, width - GAP, height - GAP)

    process = subprocess.Popen([wine_run, server], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    try:
        shot = wait_for_window(before, box)
    finally:
        process.terminate()
        try:
            process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        subprocess.run(["xsetroot", "-solid", "black"], check=False)

    if shot is None:
        sys.exit(f"no window appeared at {box} on a {width} x {height} screen")
    if screenshot_path:
        shot.crop((width - CORNER_CROP[0], height - CORNER_CROP[1], width, height)).save(screenshot_path)
    failures = check(shot, before, expected, box)
    for failure in failures:
        print("FAILED:", failure)
    if failures:
        sys.exit(1)
    print(f"progress window shown at {box[:2]}, {GAP} pixels inside the bottom-right corner of {width} x {height}")


if __name__ == "__main__":
    main()
