#!/usr/bin/env python3
"""Draws the sample card and head photographs as PPM images and compresses
them with cjpeg (Debian package libjpeg-turbo-progs). Run it from this
folder to make images/*.jpg again; the build does not need it."""
import math
import subprocess


def write_ppm(path, width, height, pixel):
    with open(path, "wb") as out:
        out.write(b"P6 %d %d 255\n" % (width, height))
        for y in range(height):
            out.write(bytes(c for x in range(width) for c in pixel(x, y)))


def card(tint):
    def pixel(x, y):
        if 20 <= x < 110 and 30 <= y < 150:  # the photograph's place
            return (200, 200, 210)
        if 130 <= x < 300 and y % 24 in range(30 % 24, 30 % 24 + 8) and 30 <= y < 170:
            return (60, 60, 80)  # lines of text
        return (min(255, tint[0] + x // 8), tint[1], min(255, tint[2] + y // 6))
    return pixel


def head(hue):
    def pixel(x, y):
        face = math.hypot(x - 60, y - 62) < 38
        shoulders = y > 110 and abs(x - 60) < 55
        if face or shoulders:
            return (230, 190 - hue, 160)
        return (90 + hue, 120, 200 - hue)
    return pixel


for name, pixel, size in [
    ("card-1", card((40, 90, 150)), (320, 200)),
    ("card-2", card((150, 80, 60)), (320, 200)),
    ("card-3", card((60, 140, 80)), (320, 200)),
    ("head-1", head(0), (120, 150)),
    ("head-2", head(40), (120, 150)),
    ("head-3", head(80), (120, 150)),
]:
    write_ppm(f"/tmp/{name}.ppm", *size, pixel)
    with open(f"images/{name}.jpg", "wb") as jpg:
        subprocess.run(["cjpeg", "-quality", "80", f"/tmp/{name}.ppm"], stdout=jpg, check=True)
