#!/usr/bin/env python3
"""Time to full detail after a flight's arrival against the same place
reached by a jump, side by side against one warm rocktreed, each viewer
with no disk cache.

Flight: the viewer starts at Paris (--place paris), settles, and key 1
flies to Mont Blanc; the figure is the time from "flight: arrived" to the
next "settled:" line (the destination's view was handed to the scheduler
while flying; the viewer says "settled:" only once a flight has landed).
Jump: the viewer starts at Mont Blanc (--place mont-blanc);
the figure is what its first "settled: N nodes after T ms" line says (from
the first walk of that view). rocktreed is warmed with one jump first.
Prints both medians over --runs runs and their ratio.

usage: flight_prefetch.py --viewer PATH --rocktreed PATH --workdir DIR [--runs 3]
"""
import argparse
import os
import re
import statistics
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e", "flight"))
import harness  # noqa: E402

ARGS = ["--windowed", "960x540", "--overlay", "off", "--cache-mb", "0"]


def jump(s, a, port):
    s.startViewer(a.viewer, "127.0.0.1:%d" % port, args=["--place", "mont-blanc", *ARGS])
    ok = s.waitForLine(r"^settled: ", 120)
    t = None
    for _, text in s.out.snapshot():
        m = harness.SETTLED_RE.match(text)
        if m:
            t = int(m.group(2)) / 1000.0
            break
    s.quit()
    return t if ok else None


def flight(s, a, port):
    s.startViewer(a.viewer, "127.0.0.1:%d" % port, args=["--place", "paris", *ARGS])
    if not s.waitForLine(r"^settled: ", 120):
        s.quit()
        return None
    since = s.elapsed()
    s.xdo("key", "1")
    if not s.waitForLine(r"^flight: arrived", 30, since):
        s.quit()
        return None
    arrived = next(t for t, text in s.out.snapshot(since) if text.startswith("flight: arrived"))
    ok = s.waitForLine(r"^settled: ", 30, arrived)
    settled = next((t for t, text in s.out.snapshot(arrived) if text.startswith("settled: ")), None)
    s.quit()
    return settled - arrived if ok and settled is not None else None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--runs", type=int, default=3)
    a = ap.parse_args()
    s = harness.session_t(a.workdir)
    jumps, flights = [], []
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(a.rocktreed, port, ["--quiet"])
        jump(s, a, port)  # warms rocktreed's cache around Mont Blanc
        flight(s, a, port)
        for _ in range(a.runs):
            jumps.append(jump(s, a, port))
            flights.append(flight(s, a, port))
            print("jump %s s, flight %s s after arrival" % (jumps[-1], flights[-1]), flush=True)
    finally:
        s.close()
    j = [x for x in jumps if x is not None]
    f = [x for x in flights if x is not None]
    if not j or not f:
        print("flight_prefetch: no figures (see %s)" % a.workdir)
        return 1
    mj, mf = statistics.median(j), statistics.median(f)
    print("time to full detail at Mont Blanc: jump median %.2f s, after a flight's arrival median %.2f s, "
          "ratio %.2f" % (mj, mf, mf / mj if mj > 0 else float("nan")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
