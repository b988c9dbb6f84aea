#!/usr/bin/env python3
"""Time to full detail at the start position: rocktreed (fresh, so its cache
is cold) and the viewer under Xvfb; the view is turned down to the ground as
in the end-to-end test, and the clock runs from the end of the turn-down to
the first "settled:" line after it (the first frame in which every node and
bulk the view needs has arrived). Median of --runs runs.

Prints figures as "name: value unit" lines for the benchmark report.
usage: time_to_detail.py --viewer PATH --rocktreed PATH [--runs 3] [--workdir DIR]
"""
import argparse
import os
import statistics
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e", "flight"))
import harness  # noqa: E402

TURN_DOWN = 1600
SETTLE_LIMIT_S = 90


def oneRun(a, workdir):
    s = harness.session_t(workdir)
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(a.rocktreed, port)
        s.startViewer(a.viewer, "127.0.0.1:%d" % port, {"LIBGL_ALWAYS_SOFTWARE": "1"})
        if not s.waitForLine(r"^pos: ", 90):
            raise RuntimeError("the viewer drew no frame")
        s.mouse(0, TURN_DOWN)
        turned = s.elapsed()
        if not s.waitForLine(r"^settled: ", SETTLE_LIMIT_S, since=turned):
            return None, None
        for t, text in s.out.snapshot(turned):
            m = harness.SETTLED_RE.match(text)
            if m:
                return t - turned, int(m.group(1))
        return None, None
    finally:
        if s.viewer is not None and s.viewerAlive():
            s.quit()
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--workdir", default=None)
    a = ap.parse_args()
    a.viewer, a.rocktreed = os.path.abspath(a.viewer), os.path.abspath(a.rocktreed)
    base = a.workdir or tempfile.mkdtemp(prefix="time-to-detail-")
    times = []
    for k in range(a.runs):
        t, nodes = oneRun(a, os.path.join(base, "run%d" % (k + 1)))
        if t is None:
            print("run %d: not settled within %d s" % (k + 1, SETTLE_LIMIT_S))
            times.append(float("inf"))
        else:
            print("run %d: %.2f s to %d nodes" % (k + 1, t, nodes))
            times.append(t)
    finite = [t for t in times if t != float("inf")]
    if len(finite) * 2 <= len(times):
        print("time to full detail: no median, too many runs did not settle")
        return 1
    print("time to full detail median: %.2f s" % statistics.median(times))
    print("time to full detail max: %.2f s" % max(finite))
    return 0


if __name__ == "__main__":
    sys.exit(main())
