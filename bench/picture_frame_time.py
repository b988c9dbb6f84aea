#!/usr/bin/env python3
"""Frame time of the viewer under Xvfb with Mesa's software renderer at
1280x720, with and without --atmosphere, side by side: the viewer runs with
--frame-ms 100, so a "pos:" line comes every 20 frames, and the wall time
between such lines after the view has settled is the time of 20 frames. Runs alternate between the two settings; medians of --runs runs.

Prints figures as "name: value unit" lines for the benchmark report.
usage: picture_frame_time.py --viewer PATH --rocktreed PATH [--runs 3] [--workdir DIR]
         [--position LAT,LON,ALT,HEADING,PITCH]
"""
import argparse
import os
import statistics
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(ROOT), "tests", "e2e", "flight"))
import harness  # noqa: E402

FRAMES_PER_LINE = 20  # --frame-ms 100, a position line every 2000 ms of frame time
LINES = 2


def framesMs(a, s, port, extra):
    """Milliseconds a frame, from the settled view's position lines."""
    s.startViewer(a.viewer, "", None, ["--service", "http://127.0.0.1:%d/rt/earth/" % port, "--windowed", "1280x720",
                                        "--position", a.position, "--frame-ms", "100", "--overlay", "off"] + extra)
    try:
        if not s.waitForLine(r"^settled: ", 120):
            return None
        since = s.elapsed()
        harness.waitFor(lambda: len(s.positions(since)) >= LINES + 1 or not s.viewerAlive(), 300)
        times = [t for t, _, _, _ in s.positions(since)][:LINES + 1]
        if len(times) < LINES + 1:
            return None
        return 1000 * (times[-1] - times[0]) / (LINES * FRAMES_PER_LINE)
    finally:
        s.quit()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--workdir", default=None)
    # Low over the Alps looking at the horizon: half the picture is sky.
    ap.add_argument("--position", default="45.8326,6.8652,3000,0,-2")
    a = ap.parse_args()
    a.viewer = os.path.abspath(a.viewer)
    workdir = a.workdir or tempfile.mkdtemp(prefix="picture-frame-time-")
    s = harness.session_t(workdir)
    results = {"off": [], "on": []}
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(a.rocktreed, port, ["--quiet"])
        for k in range(a.runs):
            for name in ("off", "on"):
                # The disk cache of the first run serves the others: the same view each time.
                ms = framesMs(a, s, port, ["--atmosphere", name, "--cache-dir", os.path.join(workdir, "kept-cache")])
                print("run %d, atmosphere %s: %s ms a frame" % (k + 1, name, "-" if ms is None else "%.2f" % ms),
                      flush=True)
                if ms is not None:
                    results[name].append(ms)
    finally:
        s.close()
    if results["off"] and results["on"]:
        off, on = statistics.median(results["off"]), statistics.median(results["on"])
        print("frame time, atmosphere off: %.2f ms" % off)
        print("frame time, atmosphere on: %.2f ms" % on)
        print("frame time ratio, atmosphere on / off: %.3f" % (on / off))
        return 0
    return 1


if __name__ == "__main__":
    sys.exit(main())
