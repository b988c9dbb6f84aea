#!/usr/bin/env python3
"""Globe navigation and the ground, end to end: rocktreed and the real viewer
under Xvfb (Mesa, software GL), input through xdotool.

The viewer starts with --navigation globe over Mont Blanc, 15 km up,
looking down. Checks: a left drag upwards pulls the ground up, so the eye
goes south at the same altitude; a wheel notch in at the centre brings the
eye about a fifth of the way closer to the ground; a double click at the
centre flies there (about two thirds of the way closer). Then N switches to the free camera and Q is
held for 20 s: the eye stops above the ground ("ground:" lines), and no
position line is ever below the surface that the viewer held it above.
Escape ends the viewer with status 0.

usage: navigation_e2e.py --viewer PATH --rocktreed PATH --workdir DIR
"""
import argparse
import math
import os
import re
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "flight"))
import harness  # noqa: E402

WIDTH, HEIGHT = 960, 540
START = "45.8326,6.8652,15000,0,-75"
GROUND_RE = re.compile(r"^ground: eye held at (\S+) m, (\S+) m above the (loaded surface|highest relief)")


class check_t:
    def __init__(self):
        self.failures = []

    def expect(self, ok, what):
        print("%s: %s" % ("ok" if ok else "FAILED", what), flush=True)
        if not ok:
            self.failures.append(what)


def latLonAlt(p):
    r = math.sqrt(sum(x * x for x in p))
    return math.degrees(math.asin(p[2] / r)), math.degrees(math.atan2(p[1], p[0])), r - harness.PLANET_RADIUS


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--workdir", required=True)
    a = ap.parse_args()
    c = check_t()
    s = harness.session_t(a.workdir)
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(a.rocktreed, port)
        s.startViewer(a.viewer, "127.0.0.1:%d" % port, args=[
            "--navigation", "globe", "--position", START, "--windowed", "%dx%d" % (WIDTH, HEIGHT), "--overlay",
            "off", "--cache-mb", "0"])
        c.expect(s.waitForLine(r"^pos: ", 90), "the first position line")
        s.waitForLine(r"^settled: ", 60)
        wid = subprocess.run(["xdotool", "search", "--sync", "--name", "^Ostravel Client$"],
                             env={**os.environ, "DISPLAY": s.display}, capture_output=True, text=True,
                             timeout=20).stdout.split()
        c.expect(bool(wid), "the viewer's window")
        win = wid[0] if wid else ""

        def at(x, y):
            s.xdo("mousemove", "--window", win, str(x), str(y))

        def pose():
            """The eye after the next position line (two, so it is from after the action)."""
            for _ in range(2):
                since = s.elapsed()
                s.waitForLine(r"^pos: ", 15, since)
            p = s.positions()
            return latLonAlt(p[-1][1]) if p else None

        before = pose()
        at(WIDTH // 2, HEIGHT * 3 // 4)
        s.xdo("mousedown", "1")
        for k in range(1, 6):
            at(WIDTH // 2, HEIGHT * 3 // 4 - 30 * k)
            time.sleep(0.15)
        time.sleep(0.5)  # held still: no glide
        s.xdo("mouseup", "1")
        dragged = pose()
        if before and dragged:
            c.expect(before[0] - dragged[0] > 0.005 and abs(dragged[1] - before[1]) < 0.01,
                     "a drag upwards pulls the ground up: the eye goes south (%.4f, %.4f to %.4f, %.4f)" % (
                         before[0], before[1], dragged[0], dragged[1]))
            c.expect(abs(dragged[2] - before[2]) < 0.02 * before[2],
                     "at the same altitude (%.0f to %.0f m)" % (before[2], dragged[2]))

        at(WIDTH // 2, HEIGHT // 2)
        time.sleep(0.3)
        s.xdo("click", "4")
        zoomed = pose()
        if dragged and zoomed:
            ratio = zoomed[2] / dragged[2]
            c.expect(0.7 < ratio < 0.92, "a wheel notch in comes closer (altitude x %.2f)" % ratio)

        s.xdo("click", "--repeat", "2", "--delay", "80", "1")
        time.sleep(3.5)  # the flight takes under 3 s
        flown = pose()
        if zoomed and flown:
            ratio = flown[2] / zoomed[2]
            c.expect(0.25 < ratio < 0.6, "a double click flies closer (altitude x %.2f)" % ratio)

        s.xdo("key", "n")
        c.expect(s.waitForLine(r"^navigation: free", 10), "N switches to the free camera")
        dive = s.elapsed()
        s.hold(["q"], 20.0)
        s.waitForLine(r"^pos: ", 10, s.elapsed())
        held = []  # (time, eye altitude, surface altitude, what)
        for t, text in s.out.snapshot(dive):
            m = GROUND_RE.match(text)
            if m:
                held.append((t, float(m.group(1)), float(m.group(1)) - float(m.group(2)), m.group(3)))
        c.expect(any(h[3] == "loaded surface" for h in held),
                 "the dive is held above the loaded surface (%s)" % [h[1:] for h in held[-3:]])
        # Every position line against the surface of the last "ground:" line before it.
        below = []
        for t, _, _, alt in s.positions(dive):
            last = [h for h in held if h[0] <= t]
            if last and alt < last[-1][2] - 1:
                below.append((round(alt, 1), round(last[-1][2], 1)))
        lowest = min((p[3] for p in s.positions(dive)), default=None)
        c.expect(lowest is not None and lowest > 500 and not below,
                 "no position below the ground (lowest %s m; below: %s)" % (lowest, below[:3]))
        rc = s.quit()
        c.expect(rc == 0, "Escape ends the viewer with status 0 (got %s)" % rc)
    finally:
        s.close()
    if c.failures:
        print("%d check(s) failed; files in %s" % (len(c.failures), a.workdir))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
