#!/usr/bin/env python3
"""Draws the updater's artwork with ImageMagick's `convert` and writes it to app/art/:

  handheld.bmp  116 x 169, 24-bit: the handheld instrument beside the port list
  logo.bmp      140 x 66, 24-bit: the Quillon updater engine's logo
  updater.ico   16, 20, 24, 32, 40, 48, 64 and 256 pixels: the program's icon

The pictures come at 100 % and, as NAME_125.bmp, NAME_150.bmp and NAME_200.bmp,
at the other display scalings, each drawn at its own size so it stays sharp.

Everything is drawn from the commands below with the DejaVu fonts, so running
the script again gives the same files.  Usage: make_art.py [OUTPUT_DIR]
"""
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_OUT = os.path.normpath(os.path.join(HERE, "..", "..", "app", "art"))

FONT = "DejaVu-Sans"
FONT_BOLD = "DejaVu-Sans-Bold"

# Tidewell colours: deep sea blue, teal, foam.
SEA = "#14405f"
SEA_DARK = "#0b2a40"
TEAL = "#1f8a9e"
FOAM = "#d9f2f0"
SCREEN = "#c9ecd9"
SCREEN_INK = "#1b4d3a"
QUILL = "#7a3b8f"
INK = "#2a2a33"

# Files must not carry creation times, or every run would differ.
STRIP = ["-strip", "-define", "png:exclude-chunks=date,time"]

# Display scalings the pictures are drawn for, as DPI (96 is 100 %).
SCALES_DPI = (96, 120, 144, 192)
ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 256)


def scaled(pixels, dpi):
    """A 100 % length at the DPI, rounded as the updater's MulDiv does."""
    return (pixels * dpi + 48) // 96


def scaled_name(base, dpi):
    return "%s.bmp" % base if dpi == 96 else "%s_%d.bmp" % (base, dpi * 100 // 96)


def convert(*args):
    subprocess.run(["convert", *args], check=True)


def as_bmp24(source, target):
    convert(source, "-background", "white", "-alpha", "remove", "-alpha", "off",
            "-type", "TrueColor", *STRIP, "BMP3:" + target)


def wave_path(x0, x1, y, amplitude, waves):
    """A smooth sine-like wave from x0 to x1 as an SVG path of quadratic curves."""
    step = (x1 - x0) / (2 * waves)
    parts = ["M %.2f,%.2f" % (x0, y)]
    for i in range(2 * waves):
        sign = -1 if i % 2 == 0 else 1
        cx = x0 + step * (i + 0.5)
        parts.append("Q %.2f,%.2f %.2f,%.2f" % (cx, y + sign * amplitude * 2, x0 + step * (i + 1), y))
    return " ".join(parts)


def draw_handheld(path, work, dpi):
    # Drawn at four times the 100 % size and reduced, for smooth edges.
    s = 4
    w, h = 116 * s, 169 * s
    big = os.path.join(work, "handheld_big.png")
    size = "%dx%d!" % (scaled(116, dpi), scaled(169, dpi))
    keys = []
    for row in range(3):
        for col in range(3):
            cx = (34 + col * 24) * s
            cy = (118 + row * 14) * s
            keys += ["-fill", "#dfe6ec" if (row, col) != (0, 1) else TEAL,
                     "-draw", "roundrectangle %d,%d %d,%d %d,%d" % (
                         cx - 9 * s, cy - 5 * s, cx + 9 * s, cy + 5 * s, 3 * s, 3 * s)]
    convert(
        "-size", "%dx%d" % (w, h), "gradient:#f4f7fa-#d5dde5",
        # shadow
        "-fill", "#00000030",
        "-draw", "roundrectangle %d,%d %d,%d %d,%d" % (21 * s, 11 * s, 99 * s, 165 * s, 14 * s, 14 * s),
        # cable port and probe on top
        "-fill", "#5b6670",
        "-draw", "roundrectangle %d,%d %d,%d %d,%d" % (50 * s, 2 * s, 66 * s, 12 * s, 2 * s, 2 * s),
        # body
        "-fill", SEA, "-stroke", SEA_DARK, "-strokewidth", str(2 * s),
        "-draw", "roundrectangle %d,%d %d,%d %d,%d" % (17 * s, 8 * s, 97 * s, 161 * s, 13 * s, 13 * s),
        "-stroke", "none",
        # grip band
        "-fill", "#1b5678",
        "-draw", "roundrectangle %d,%d %d,%d %d,%d" % (21 * s, 104 * s, 93 * s, 156 * s, 9 * s, 9 * s),
        # brand
        "-fill", FOAM, "-font", FONT_BOLD, "-pointsize", str(8 * s), "-gravity", "north",
        "-annotate", "+%d+%d" % (-1 * s, 14 * s), "TIDEWELL",
        "-gravity", "northwest",
        # screen bezel and screen
        "-fill", SEA_DARK,
        "-draw", "roundrectangle %d,%d %d,%d %d,%d" % (24 * s, 27 * s, 90 * s, 96 * s, 4 * s, 4 * s),
        "-fill", SCREEN,
        "-draw", "rectangle %d,%d %d,%d" % (28 * s, 31 * s, 86 * s, 92 * s),
        # screen contents: a reading and a tide curve
        "-fill", SCREEN_INK, "-font", FONT_BOLD, "-pointsize", str(12 * s),
        "-annotate", "+%d+%d" % (32 * s, 33 * s), "2.47",
        "-font", FONT, "-pointsize", str(6 * s),
        "-annotate", "+%d+%d" % (70 * s, 39 * s), "m",
        "-fill", "none", "-stroke", SCREEN_INK, "-strokewidth", str(int(1.5 * s)),
        "-draw", "path '%s'" % wave_path(30 * s, 84 * s, 70 * s, 5 * s, 2),
        "-strokewidth", str(s),
        "-draw", "line %d,%d %d,%d" % (30 * s, 84 * s, 84 * s, 84 * s),
        "-stroke", "none", "-fill", SCREEN_INK,
        "-draw", "rectangle %d,%d %d,%d" % (31 * s, 86 * s, 41 * s, 89 * s),
        "-draw", "rectangle %d,%d %d,%d" % (73 * s, 86 * s, 83 * s, 89 * s),
        # keypad
        *keys,
        "-resize", size, *STRIP, big)
    as_bmp24(big, path)


def draw_logo(path, work, dpi):
    s = 4
    w, h = 140 * s, 66 * s
    big = os.path.join(work, "logo_big.png")
    size = "%dx%d!" % (scaled(140, dpi), scaled(66, dpi))
    # A quill: a feather curve with a nib, left of the word mark.
    feather = ("M %d,%d C %d,%d %d,%d %d,%d C %d,%d %d,%d %d,%d Z" % (
        10 * s, 56 * s,
        14 * s, 30 * s, 26 * s, 12 * s, 44 * s, 6 * s,
        38 * s, 24 * s, 28 * s, 44 * s, 10 * s, 56 * s))
    convert(
        "-size", "%dx%d" % (w, h), "xc:white",
        "-fill", QUILL, "-draw", "path '%s'" % feather,
        "-fill", "none", "-stroke", "white", "-strokewidth", str(s),
        "-draw", "path 'M %d,%d Q %d,%d %d,%d'" % (12 * s, 54 * s, 24 * s, 30 * s, 40 * s, 10 * s),
        "-stroke", INK, "-strokewidth", str(int(1.5 * s)),
        "-draw", "line %d,%d %d,%d" % (10 * s, 56 * s, 6 * s, 62 * s),
        "-stroke", "none",
        "-fill", INK, "-font", FONT_BOLD, "-pointsize", str(19 * s),
        "-annotate", "+%d+%d" % (46 * s, 34 * s), "Quillon",
        "-fill", QUILL, "-draw", "rectangle %d,%d %d,%d" % (48 * s, 40 * s, 136 * s, 41 * s),
        "-fill", "#555560", "-font", FONT, "-pointsize", str(int(7.5 * s)),
        "-annotate", "+%d+%d" % (49 * s, 52 * s), "UPDATER ENGINE",
        "-resize", size, *STRIP, big)
    as_bmp24(big, path)


def draw_icon(size, out):
    """The program's icon: a sea-blue tile with a wave and a download arrow."""
    s = 16 if size < 64 else 4  # drawing scale: the tile is 64 units wide
    u = size * s / 64.0
    w = int(64 * u)

    def p(v):
        return int(round(v * u))

    # the sea under the arrow
    args = ["-size", "%dx%d" % (w, w), "xc:none",
            "-fill", SEA, "-draw", "roundrectangle %d,%d %d,%d %d,%d" % (
                p(2), p(2), p(61), p(61), p(12), p(12))]
    stroke = 5 if size <= 16 else 3.5
    args += ["-fill", "none", "-stroke", FOAM, "-strokewidth", str(p(stroke)),
             "-draw", "stroke-linecap round stroke-linejoin round path '%s'" % wave_path(p(12), p(52), p(49), p(2.5), 1 if size <= 16 else 2)]
    # the arrow: a shaft and a head
    shaft = 7 if size <= 16 else 6
    args += ["-stroke", "none", "-fill", "white",
             "-draw", "rectangle %d,%d %d,%d" % (p(32 - shaft), p(8), p(32 + shaft), p(26)),
             "-draw", "polygon %d,%d %d,%d %d,%d" % (p(15), p(24), p(49), p(24), p(32), p(40))]
    args += ["-resize", "%dx%d!" % (size, size), *STRIP, "PNG32:" + out]
    convert(*args)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else DEFAULT_OUT
    os.makedirs(out, exist_ok=True)
    with tempfile.TemporaryDirectory() as work:
        for dpi in SCALES_DPI:
            draw_handheld(os.path.join(out, scaled_name("handheld", dpi)), work, dpi)
            draw_logo(os.path.join(out, scaled_name("logo", dpi)), work, dpi)
        sizes = []
        for size in ICON_SIZES:
            png = os.path.join(work, "icon%d.png" % size)
            draw_icon(size, png)
            sizes.append(png)
        convert(*sizes, *STRIP, os.path.join(out, "updater.ico"))


if __name__ == "__main__":
    main()
