#!/usr/bin/env python3
"""Time to full detail at the start position: rocktreed and the viewer under
Xvfb; the view is turned down to the ground as in the end-to-end test, and the
clock runs from the end of the turn-down to the first "settled:" line after it
(the first frame in which every node and bulk the view needs has arrived).
Median of --runs runs.

The service can be made distant or slow with bench/link_proxy.py in front of
rocktreed (--rtt-ms, --slow-ms), and cold (a fresh rocktreed per run: every
answer is built) or warm (one rocktreed per scenario that has served the view
once before the measured runs). --turn-around turns the settled view 180
degrees in place, lets it settle, turns it back and counts the requests for
paths that the first load had already fetched.

What a run reads: the viewer's "settled:" and statistics lines, and
rocktreed's access log (one line per request, whichever viewer sent it), so
the same script measures any build of the viewer.

Prints figures as "name: value unit" lines for the benchmark report.
usage: time_to_detail.py --viewer PATH --rocktreed PATH [--runs 3] [--workdir DIR]
         [--rtt-ms MS] [--slow-ms MS] [--service cold|warm] [--turn-around] [--label TEXT]
         [--viewer-args "ARGS"]
"""
import argparse
import math
import os
import re
import statistics
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import tempfile
import time

ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(ROOT), "tests", "e2e", "flight"))
import harness  # noqa: E402

TURN_DOWN = 1600
TURN_AROUND = int(math.pi / 0.001)  # mouse units for 180 degrees of yaw
SETTLE_LIMIT_S = 90
TURN_SETTLE_LIMIT_S = 60


class access_log_t:
    """rocktreed's access log, read by byte offsets."""

    def __init__(self, path):
        self.path = path

    def offset(self):
        return harness.servedPaths(self.path)[1]

    def requests(self, start):
        return harness.servedPaths(self.path, start)[0]


class service_t:
    """rocktreed, and link_proxy.py in front of it when the link is shaped."""

    def __init__(self, a, s):
        self.port = harness.freePort()
        s.startRocktreed(a.rocktreed, self.port)
        self.log = access_log_t(s.rocktreed_log)
        self.host = "127.0.0.1:%d" % self.port
        if a.rtt_ms or a.slow_ms:
            p = subprocess.Popen([sys.executable, os.path.join(ROOT, "link_proxy.py"), "--upstream", str(self.port),
                                  "--rtt-ms", str(a.rtt_ms), "--slow-ms", str(a.slow_ms)],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            s.procs.append(p)
            line = p.stdout.readline().decode()
            m = re.match(r"link_proxy listening on (\d+)", line)
            if not m:
                raise RuntimeError("link_proxy did not start")
            self.host = "127.0.0.1:%d" % int(m.group(1))


def settledAfter(s, since, limit):
    """Seconds from `since` to the first settled line after it, and its node count."""
    if not s.waitForLine(r"^settled: ", limit, since=since):
        return None, None
    for t, text in s.out.snapshot(since):
        m = harness.SETTLED_RE.match(text)
        if m:
            return t - since, int(m.group(1))
    return None, None


def longestStall(s, since, until):
    """Longest stretch of statistics lines (every 2 s) with the same selection
    and the same number of drawn nodes, while the view was not settled."""
    rows = [(t, x["pot_n"], x["buffered"]) for t, x in s.stats(since) if t <= until]
    longest, start = 0.0, None
    for k in range(1, len(rows)):
        if rows[k][1:] == rows[k - 1][1:]:
            start = rows[k - 1][0] if start is None else start
            longest = max(longest, rows[k][0] - start)
        else:
            start = None
    return longest


def session(a, workdir, svc_holder):
    s = harness.session_t(workdir)
    s.startXvfb()
    if svc_holder.get("service") is None or a.service == "cold":
        svc_holder["service"] = service_t(a, s)
    return s


def viewOnce(a, s, svc):
    """One viewer from start to the settled start view (and the turn-around)."""
    r = {}
    before = svc.log.offset()
    # Every answer from the service (no disk cache): what streaming costs.
    s.startViewer(a.viewer, svc.host, {"LIBGL_ALWAYS_SOFTWARE": "1"}, ["--cache-mb", "0"] + a.viewer_args.split())
    if not s.waitForLine(r"^pos: ", 90):
        raise RuntimeError("the viewer drew no frame")
    s.mouse(0, TURN_DOWN)
    turned = s.elapsed()
    t, nodes = settledAfter(s, turned, SETTLE_LIMIT_S)
    if t is None:
        return None
    time.sleep(0.5)
    first = svc.log.requests(before)
    r["time"], r["nodes"] = t, nodes
    r["requests"] = len(first)
    r["per_node"] = len(first) / max(1, nodes)  # bulks and nodes
    r["node_per_node"] = sum(1 for p in first if p[0] == "N") / max(1, nodes)
    r["twice"] = len(first) - len(set(first))
    r["stall"] = longestStall(s, turned, turned + t)
    if a.turn_around:
        at = svc.log.offset()
        since = s.elapsed()
        s.mouse(TURN_AROUND, 0, pause=0.05)
        settledAfter(s, since, TURN_SETTLE_LIMIT_S)
        since = s.elapsed()
        s.mouse(-TURN_AROUND, 0, pause=0.05)
        settledAfter(s, since, TURN_SETTLE_LIMIT_S)
        time.sleep(0.5)
        seen = set(first)
        again = [p for p in svc.log.requests(at) if p in seen]
        r["again"] = len(again)
        r["again_share"] = 100.0 * len(again) / max(1, len(first))
    return r


def oneRun(a, workdir, svc_holder):
    s = session(a, workdir, svc_holder)
    try:
        return viewOnce(a, s, svc_holder["service"])
    finally:
        if s.viewer is not None and s.viewerAlive():
            s.quit()
        if a.service == "cold":
            s.close()
        else:
            svc_holder.setdefault("sessions", []).append(s)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--workdir", default=None)
    ap.add_argument("--rtt-ms", type=float, default=0)
    ap.add_argument("--slow-ms", type=float, default=0)
    ap.add_argument("--service", choices=("cold", "warm"), default="cold")
    ap.add_argument("--turn-around", action="store_true")
    ap.add_argument("--label", default="")
    ap.add_argument("--viewer-args", default="", help="more options for the viewer, e.g. \"--fades on\"")
    a = ap.parse_args()
    a.viewer, a.rocktreed = os.path.abspath(a.viewer), os.path.abspath(a.rocktreed)
    base = a.workdir or tempfile.mkdtemp(prefix="time-to-detail-")
    label = " (%s)" % a.label if a.label else ""
    holder = {}
    results = []
    try:
        if a.service == "warm":
            # The service serves the view once before the measured runs.
            oneRun(a, os.path.join(base, "warm-up"), holder)
        for k in range(a.runs):
            r = oneRun(a, os.path.join(base, "run%d" % (k + 1)), holder)
            if r is None:
                print("run %d: not settled within %d s" % (k + 1, SETTLE_LIMIT_S))
            else:
                extra = ", turn-around %d requests again (%.1f %%)" % (r["again"], r["again_share"]) \
                    if a.turn_around else ""
                print("run %d: %.2f s to %d nodes, %d requests (%d paths twice), longest stall %.0f s%s" % (
                    k + 1, r["time"], r["nodes"], r["requests"], r["twice"], r["stall"], extra), flush=True)
            results.append(r)
    finally:
        for s in holder.get("sessions", []):
            s.close()
    done = [r for r in results if r is not None]
    if len(done) * 2 <= len(results):
        print("time to full detail%s: no median, too many runs did not settle" % label)
        return 1

    def med(key):
        return statistics.median(r[key] for r in done)
    # A run that did not settle counts as the slowest in the median.
    times = [r["time"] if r else float("inf") for r in results]
    print("time to full detail median%s: %.2f s" % (label, statistics.median(times)))
    print("time to full detail max%s: %.2f s" % (label, max(r["time"] for r in done)))
    print("requests per final node median%s: %.2f x" % (label, med("per_node")))
    print("node requests per final node median%s: %.2f x" % (label, med("node_per_node")))
    print("final nodes median%s: %d nodes" % (label, med("nodes")))
    print("paths requested twice median%s: %d paths" % (label, med("twice")))
    print("longest stall median%s: %.0f s" % (label, med("stall")))
    if a.turn_around:
        print("requests again after turning around median%s: %d requests" % (label, med("again")))
        print("requests again share of first load median%s: %.1f %%" % (label, med("again_share")))
    return 0


if __name__ == "__main__":
    sys.exit(main())
