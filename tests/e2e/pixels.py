#!/usr/bin/env python3
"""Pixel statistics of a screenshot (binary PPM, P6, 8 bits), to tell a
picture of the planet from a black, empty or one-colour frame.

  black    fraction of pixels with r + g + b < 24 (the clear colour is black)
  land     fraction of pixels, of all, that are lit and not blue-dominated:
           greens, browns and greys of the ground, not sea and not sky
  stddev   standard deviation of the luminance of the lit pixels
  colours  distinct colours among the samples, 5 bits per channel
  relief   luminance of the brightest 5 % of the lit pixels less that of
           the darkest 5 %: sunlit and shaded slopes, not one even field

usage: pixels.py SHOT.ppm [--max-black F] [--min-land F] [--min-stddev F]
                          [--min-colours N]
Prints one line of figures; with limits, exits 1 when one is not met.
Every 4th pixel of every 4th row is sampled: enough for these fractions.
"""
import argparse
import sys

STEP = 4


def readPpm(path):
    with open(path, "rb") as f:
        data = f.read()
    fields, pos = [], 0
    while len(fields) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b"#":
            pos = data.index(b"\n", pos) + 1
            continue
        end = pos
        while not data[end:end + 1].isspace():
            end += 1
        fields.append(data[pos:end])
        pos = end
    if fields[0] != b"P6" or int(fields[3]) != 255:
        raise ValueError("%s: not an 8-bit binary PPM" % path)
    width, height = int(fields[1]), int(fields[2])
    pixels = data[pos + 1:]
    if len(pixels) < width * height * 3:
        raise ValueError("%s: truncated" % path)
    return width, height, pixels


def statistics(width, height, pixels):
    n = black = land = 0
    lum = []
    colours = set()
    for y in range(0, height, STEP):
        row = y * width * 3
        for x in range(0, width, STEP):
            p = row + 3 * x
            r, g, b = pixels[p], pixels[p + 1], pixels[p + 2]
            n += 1
            if r + g + b < 24:
                black += 1
                continue
            if b <= max(r, g):
                land += 1
            lum.append(0.299 * r + 0.587 * g + 0.114 * b)
            colours.add((r >> 3, g >> 3, b >> 3))
    mean = sum(lum) / len(lum) if lum else 0.0
    stddev = (sum((v - mean) ** 2 for v in lum) / len(lum)) ** 0.5 if lum else 0.0
    lum.sort()
    relief = lum[len(lum) * 19 // 20] - lum[len(lum) // 20] if lum else 0.0
    return {"black": black / n, "land": land / n, "stddev": stddev, "colours": len(colours), "relief": relief}


def summary(s):
    return "black %.3f land %.3f stddev %.1f colours %d relief %.1f" % (
        s["black"], s["land"], s["stddev"], s["colours"], s["relief"])


def differingBox(a, b):
    """The box (x0, y0, x1, y1) that holds every pixel where two pictures of
    the same size differ (x1, y1 exclusive), or None when they are equal."""
    (w, h, pa), (w2, h2, pb) = a, b
    if (w, h) != (w2, h2):
        raise ValueError("pictures of different sizes: %dx%d and %dx%d" % (w, h, w2, h2))
    box = None
    row = w * 3
    for y in range(h):
        ra, rb = pa[y * row:(y + 1) * row], pb[y * row:(y + 1) * row]
        if ra == rb:
            continue
        xs = [x for x in range(w) if ra[3 * x:3 * x + 3] != rb[3 * x:3 * x + 3]]
        x0, x1 = xs[0], xs[-1] + 1
        box = (x0, y, x1, y + 1) if box is None else (min(box[0], x0), box[1], max(box[2], x1), y + 1)
    return box


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("shot")
    ap.add_argument("--max-black", type=float)
    ap.add_argument("--min-land", type=float)
    ap.add_argument("--min-stddev", type=float)
    ap.add_argument("--min-colours", type=int)
    a = ap.parse_args()
    s = statistics(*readPpm(a.shot))
    print(summary(s))
    failed = []
    if a.max_black is not None and s["black"] > a.max_black:
        failed.append("black %.3f > %.3f" % (s["black"], a.max_black))
    if a.min_land is not None and s["land"] < a.min_land:
        failed.append("land %.3f < %.3f" % (s["land"], a.min_land))
    if a.min_stddev is not None and s["stddev"] < a.min_stddev:
        failed.append("stddev %.1f < %.1f" % (s["stddev"], a.min_stddev))
    if a.min_colours is not None and s["colours"] < a.min_colours:
        failed.append("colours %d < %d" % (s["colours"], a.min_colours))
    for f in failed:
        print("pixels: " + f, file=sys.stderr)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
