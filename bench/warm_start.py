#!/usr/bin/env python3
"""Warm start from the disk cache against a cold start: time to full detail
at a fixed position (the start area, looking down), headless.

Each round: a fresh rocktreed (its own cache cold) and an empty disk cache,
the viewer started with --position ... --exit-when-settled (cold); then
rocktreed is stopped and the same start runs with --offline on the cache the
cold run filled (warm). The viewer reaches the service through a relay that
counts connections, so that both runs have the same address (the disk cache
is keyed by it) and the warm run's connections are counted: there must be
none. Time to full detail is what the first "settled: N nodes after T ms"
line says: T, from the first frame that wanted data to the frame that had
all of it. The launch time adds the start-up before the first frame (SDL,
the window, the GL context, the planetoid) and the exit: from starting the
process to its first settled line. Medians of --runs rounds.

The window is small (--window, default 320x180): the level of detail does
not depend on its size, so the same nodes are selected, and software
rendering, which takes a few hundred milliseconds a frame at larger sizes
on a loaded machine, does not hide the time the data takes.

Prints figures as "name: value unit" lines for the benchmark report.
usage: warm_start.py --viewer PATH --rocktreed PATH [--runs 3] [--window WxH] [--workdir DIR]
"""
import argparse
import os
import re
import statistics
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e", "flight"))
import harness  # noqa: E402

POSITION = "48.648,2.3649,10000,86,-45"  # the start pose, turned down
SETTLE_LIMIT_S = 120
NETWORK_RE = re.compile(r"^network: (\d+) requests \(([\d.]+) MB received\); disk cache: (\d+) answers \(([\d.]+) MB\)")


def oneStart(s, args, relay_port, keep_cache):
    s.startViewer(args.viewer, "", {"LIBGL_ALWAYS_SOFTWARE": "1"},
                  ["--service", "http://127.0.0.1:%d/rt/earth/" % relay_port, "--position", POSITION,
                   "--windowed", args.window, "--overlay", "off", "--exit-when-settled",
                   "--settle-timeout", str(SETTLE_LIMIT_S), *(["--offline"] if keep_cache else [])],
                  keep_cache=keep_cache)
    started = s.elapsed()
    rc = s.waitForExit(SETTLE_LIMIT_S + 30)
    t, nodes = s.firstSettled(started)
    detail = network = None
    for _, text in s.out.snapshot(started):
        m = NETWORK_RE.match(text)
        if m:
            network = (int(m.group(1)), float(m.group(2)), int(m.group(3)), float(m.group(4)))
        m = harness.SETTLED_RE.match(text)
        if m and detail is None:
            detail = int(m.group(2)) / 1000.0
    if rc != 0 or t is None:
        return None, None, None, network
    return detail, t - started, nodes, network


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--window", default="320x180")
    ap.add_argument("--workdir", default=None)
    a = ap.parse_args()
    a.viewer, a.rocktreed = os.path.abspath(a.viewer), os.path.abspath(a.rocktreed)
    s = harness.session_t(a.workdir or tempfile.mkdtemp(prefix="warm-start-"))
    cold, warm, cold_launch, warm_launch, warm_connections = [], [], [], [], 0
    try:
        s.startXvfb()
        for k in range(a.runs):
            port = harness.freePort()
            s.startRocktreed(a.rocktreed, port, ["--quiet"])
            relay = harness.relay_t(port)
            try:
                t_cold, l_cold, n_cold, net_cold = oneStart(s, a, relay.port, False)
                s.rocktreed.terminate()
                s.rocktreed.wait(timeout=30)
                relay.forwarding = False
                before = relay.count
                t_warm, l_warm, n_warm, net_warm = oneStart(s, a, relay.port, True)
                warm_connections += relay.count - before
            finally:
                relay.close()
            print("round %d: cold %s s (launch %s s) to %s nodes, network %s; warm %s s (launch %s s) to %s nodes, "
                  "network %s" % (k + 1, t_cold, l_cold and "%.2f" % l_cold, n_cold, net_cold, t_warm,
                                  l_warm and "%.2f" % l_warm, n_warm, net_warm), flush=True)
            inf = float("inf")
            cold.append(t_cold if t_cold is not None else inf)
            warm.append(t_warm if t_warm is not None else inf)
            cold_launch.append(l_cold if l_cold is not None else inf)
            warm_launch.append(l_warm if l_warm is not None else inf)
            if k == 0 and net_cold:
                print("cold downloads: %.1f MB" % net_cold[1])
                print("cold requests: %d" % net_cold[0])
            if k == 0 and net_warm:
                print("warm downloads: %.1f MB" % net_warm[1])
                print("warm answers from the disk cache: %d" % net_warm[2])
    finally:
        s.close()
    print("cold time to full detail median: %.2f s" % statistics.median(cold))
    print("warm time to full detail median: %.2f s" % statistics.median(warm))
    print("cold launch to full detail median: %.2f s" % statistics.median(cold_launch))
    print("warm launch to full detail median: %.2f s" % statistics.median(warm_launch))
    print("warm connections to the service: %d" % warm_connections)
    if all(x != float("inf") for x in cold + warm + cold_launch + warm_launch):
        print("goal: warm/cold time to full detail <= 0.2")
        print("warm/cold time to full detail ratio: %.2f" % (statistics.median(warm) / statistics.median(cold)))
        print("warm/cold launch to full detail ratio: %.2f" % (
            statistics.median(warm_launch) / statistics.median(cold_launch)))
    print("window width: %s pixels" % a.window.split("x")[0])
    print("load average: %.1f" % os.getloadavg()[0])
    return 0 if warm_connections == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
