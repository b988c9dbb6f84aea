#!/usr/bin/env python3
"""End-to-end runs of the real viewer under Xvfb (Mesa, software GL).

--mode view: rocktreed on a free loopback port and the viewer at its start
  pose; the view is turned down with relative mouse motion (the start pose
  looks at the sky) and settles within --seconds. Checks: the "pos:",
  "buffered:", "net:" and "settled:" lines appear, buffered grows above 100,
  connections are reused, a screenshot shows the ground (at most 10 % black,
  land colours, texture detail); turning around in place and back asks the
  service again for at most 5 % of what the view had fetched (the memory
  budget keeps it); W held for 3 s moves the position forwards; Escape ends
  the viewer with status 0 and nothing on standard error that a sanitizer
  or GL would print.
--mode no-service: nothing listens where the viewer looks for its service:
  "no planetoid" on standard error and exit status 1 before the first frame.

Processes, input and line capture come from the flight harness; the picture
checks are pixels.py.

usage: viewer_e2e.py --viewer PATH [--rocktreed PATH] --workdir DIR
                     [--mode view|no-service] [--seconds 25]
"""
import argparse
import os
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "flight"))
sys.path.insert(0, HERE)
import harness  # noqa: E402
import pixels  # noqa: E402

TURN_DOWN = 1600  # mouse units: from 46 degrees above the horizon to about 45 below
TURN_AROUND = 3142  # mouse units for 180 degrees of yaw
TURN_SETTLE_S = 40
BAD_STDERR = ("AddressSanitizer", "LeakSanitizer", "ThreadSanitizer", "runtime error:",
              "GL_INVALID", "Mesa: User error", "mesa: error")


class check_t:
    def __init__(self):
        self.failures = []

    def expect(self, ok, what):
        print("%s: %s" % ("ok" if ok else "FAILED", what), flush=True)
        if not ok:
            self.failures.append(what)


def screenshot(s, name):
    path = os.path.join(s.workdir, name + ".ppm")
    subprocess.run(["import", "-display", s.display, "-window", "root", "-depth", "8", path], timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["convert", path, path[:-4] + ".png"], timeout=60,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return pixels.statistics(*pixels.readPpm(path))


def runView(a, c):
    s = harness.session_t(a.workdir)
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(a.rocktreed, port)
        s.startViewer(a.viewer, "127.0.0.1:%d" % port, {"LIBGL_ALWAYS_SOFTWARE": "1"})
        c.expect(s.waitForLine(r"^pos: ", 90), "the first position line")
        s.mouse(0, TURN_DOWN)
        turned = s.elapsed()
        c.expect(s.waitForLine(r"^settled: ", a.seconds, since=turned), "the start view settles")
        time.sleep(2)
        shot = screenshot(s, "ground")
        print("screenshot: " + pixels.summary(shot), flush=True)
        c.expect(shot["black"] <= 0.10, "at most 10 % black pixels")
        c.expect(shot["land"] >= 0.5, "land colours over half the picture")
        # The imagery inland is gentle (fields, hillshading): a flat colour
        # has stddev 0 and one colour, the start view about 5 and 20.
        c.expect(shot["stddev"] >= 2.5 and shot["colours"] >= 12, "texture detail, not one flat colour")

        stats = s.stats(turned)
        c.expect(len(stats) > 0, "statistics lines")
        peak = max((st["buffered"] for _, st in stats), default=0)
        c.expect(peak > 100, "buffered grows above 100 (peak %d)" % peak)
        net = s.netStats(turned)
        c.expect(len(net) > 0 and net[-1][1]["reused_connections"] > 0,
                 "net: lines, kept-alive connections reused (%s)" % (net[-1][1] if net else "none"))

        # Turning around and back: the first view's records are still here.
        first, offset = harness.servedPaths(s.rocktreed_log)
        for dx in (TURN_AROUND, -TURN_AROUND):
            since = s.elapsed()
            s.mouse(dx, 0, pause=0.05)
            s.waitForLine(r"^settled: ", TURN_SETTLE_S, since=since)
        again = [p for p in harness.servedPaths(s.rocktreed_log, offset)[0] if p in set(first)]
        c.expect(len(again) <= max(10, len(first) // 20),
                 "turning around and back asks again for %d of the %d records fetched before" % (
                     len(again), len(first)))

        before = s.positions()
        s.hold(["w"], 3.0)
        released = s.elapsed()
        c.expect(s.waitForLine(r"^pos: ", 10, since=released), "a position line after W")
        after = s.positions(released)
        if before and after:
            _, p0, d0, _ = before[-1]
            _, p1, _, _ = after[-1]
            forwards = sum((p1[i] - p0[i]) * d0[i] for i in range(3))
            c.expect(forwards > 500, "W moves forwards (%.0f m along the view)" % forwards)
        rc = s.quit()
        c.expect(rc == 0, "Escape ends the viewer with status 0 (got %s)" % rc)
        bad = [t for _, t in s.err.snapshot() if any(m in t for m in BAD_STDERR)]
        c.expect(not bad, "no sanitizer or GL errors on standard error %s" % bad[:3])
    finally:
        s.close()


def runNoService(a, c):
    s = harness.session_t(a.workdir)
    try:
        s.startXvfb()
        s.startViewer(a.viewer, "127.0.0.1:%d" % harness.freePort(), {"LIBGL_ALWAYS_SOFTWARE": "1"})
        try:
            rc = s.viewer.wait(timeout=60)
        except subprocess.TimeoutExpired:
            rc = None
        s.out.close()
        s.err.close()
        err = [t for _, t in s.err.snapshot()]
        c.expect(rc == 1, "exit status 1 (got %s)" % rc)
        c.expect("no planetoid" in err, "\"no planetoid\" on standard error")
        c.expect(not any(t.startswith("pos: ") for _, t in s.out.snapshot()), "no frame was drawn")
    finally:
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed")
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--mode", choices=("view", "no-service"), default="view")
    ap.add_argument("--seconds", type=float, default=25)
    a = ap.parse_args()
    a.viewer = os.path.abspath(a.viewer)  # the viewer runs in the work dir
    if a.rocktreed:
        a.rocktreed = os.path.abspath(a.rocktreed)
    c = check_t()
    if a.mode == "view":
        runView(a, c)
    else:
        runNoService(a, c)
    if c.failures:
        print("%d check(s) failed; files in %s" % (len(c.failures), a.workdir))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
