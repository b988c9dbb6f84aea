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
--mode settle: the command line without a display (--help, --version and a
  bad value), then the viewer started over Mont Blanc with --position,
  --screenshot-when-settled and --exit-when-settled: status 0 and a picture
  of mountains (texture detail, bright and dark slopes). Then rocktreed is
  stopped and a listener counts connections on its port: the same start
  with --offline from the disk cache the first run filled settles on the
  same number of nodes without one connection, and its picture, taken with
  the status overlay on, differs from the first only in the text's corner.
--mode go: --go Zermatt with labels on settles, exits with status 0, and
  its position lines put the eye within 5 km of Zermatt, a few km up; --go
  with text that names no place exits with status 2 and one line saying so.

Processes, input and line capture come from the flight harness; the picture
checks are pixels.py.

usage: viewer_e2e.py --viewer PATH [--rocktreed PATH] --workdir DIR
                     [--mode view|no-service|settle|go] [--seconds 25]
"""
import argparse
import math
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

    def exitStatus(self, workdir):
        """0 when every check passed; else 1, after a line that says where the run's files are."""
        if self.failures:
            print("%d check(s) failed; files in %s" % (len(self.failures), workdir))
            return 1
        return 0


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
        # Without the disk cache: turning around and back must be answered
        # by what the memory budget kept, not by the disk.
        s.startViewer(a.viewer, "127.0.0.1:%d" % port, {"LIBGL_ALWAYS_SOFTWARE": "1"}, ["--cache-mb", "0"])
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

        # A position line from after the turn back: the one before may show
        # the view while it was turned around.
        since = s.elapsed()
        c.expect(s.waitForLine(r"^pos: ", 10, since=since), "a position line after the turn-around")
        before = s.positions(since)
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


MONT_BLANC = "45.8326,6.8652,6000,180,-30"
SETTLE_TIMEOUT_S = 90
# The status overlay's box, in the top left corner: three lines of 18-point
# text with its margin and padding fit in this (at most 62 characters wide).
TEXT_AREA = (760, 130)


def pngPixels(path):
    ppm = path[:-4] + ".ppm"
    subprocess.run(["convert", path, "-depth", "8", ppm], timeout=60, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return pixels.readPpm(ppm)


def checkCommandLine(a, c):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    run = lambda *args: subprocess.run([a.viewer, *args], env=env, cwd=a.workdir, timeout=30,
                                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    h = run("--help")
    c.expect(h.returncode == 0 and "--offline" in h.stdout, "--help without a display: status 0 and the options")
    v = run("--version")
    c.expect(v.returncode == 0 and "ostravel " in v.stdout, "--version without a display: status 0")
    bad = run("--position", "95,0,0")
    lines = [l for l in bad.stderr.splitlines() if l.startswith("ostravel:")]
    c.expect(bad.returncode == 2 and len(lines) == 1 and "latitude" in lines[0],
             "a bad value: status 2 and one line before any window (%s)" % lines)


def runSettle(a, c):
    os.makedirs(a.workdir, exist_ok=True)
    checkCommandLine(a, c)
    s = harness.session_t(a.workdir)
    relay = None
    shots = [os.path.join(a.workdir, n) for n in ("settled.png", "settled-offline.png")]
    for p in shots:
        if os.path.exists(p):
            os.remove(p)
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(a.rocktreed, port, ["--quiet"])
        relay = harness.relay_t(port)
        common = ["--service", "http://127.0.0.1:%d/rt/earth/" % relay.port, "--position", MONT_BLANC,
                  "--windowed", "1280x720", "--exit-when-settled", "--settle-timeout", str(SETTLE_TIMEOUT_S)]
        env = {"LIBGL_ALWAYS_SOFTWARE": "1"}
        s.startViewer(a.viewer, "", env, common + ["--overlay", "off", "--screenshot-when-settled", shots[0]])
        rc = s.waitForExit(SETTLE_TIMEOUT_S + 30)
        first = s.firstSettled()[1]
        c.expect(rc == 0, "settles and exits with status 0 (got %s, %s nodes)" % (rc, first))
        c.expect(os.path.exists(shots[0]), "the settled screenshot is written")
        if rc != 0 or not os.path.exists(shots[0]):
            return
        online = pngPixels(shots[0])
        st = pixels.statistics(*online)
        print("settled screenshot: " + pixels.summary(st), flush=True)
        c.expect(st["black"] <= 0.05, "the picture is ground, not sky or black")
        c.expect(st["stddev"] >= 2.5 and st["colours"] >= 12, "texture detail")
        # Farmland at the start pose spreads about 15; lit and shaded slopes 50 and more.
        c.expect(st["relief"] >= 30, "bright and dark slopes (relief %.1f)" % st["relief"])

        s.rocktreed.terminate()
        s.rocktreed.wait(timeout=30)
        relay.forwarding = False
        before = relay.count
        s.startViewer(a.viewer, "", env, common + ["--offline", "--overlay", "on", "--screenshot-when-settled",
                                                    shots[1]], keep_cache=True)
        rc = s.waitForExit(SETTLE_TIMEOUT_S + 30)
        second = s.firstSettled()[1]
        c.expect(rc == 0 and second == first,
                 "offline from the disk cache: settles on the same node count (%s, %s)" % (second, first))
        c.expect(relay.count == before, "offline: no connection to the service's address (%d)" % (relay.count - before))
        c.expect(any(t.startswith("network: 0 requests") for _, t in s.out.snapshot()),
                 "offline: the exit line counts no network request")
        if rc != 0 or not os.path.exists(shots[1]):
            return
        box = pixels.differingBox(online, pngPixels(shots[1]))
        c.expect(box is not None and box[2] <= TEXT_AREA[0] and box[3] <= TEXT_AREA[1],
                 "the overlay changes the picture only in its corner (differences in %s)" % (box,))
    finally:
        if relay:
            relay.close()
        s.close()


ZERMATT = (46.01998, 7.74863)


def runGo(a, c):
    os.makedirs(a.workdir, exist_ok=True)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    bad = subprocess.run([a.viewer, "--go", "qzxv nowhere"], env=env, cwd=a.workdir, timeout=30,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    c.expect(bad.returncode == 2 and "no place matches \"qzxv nowhere\"" in bad.stderr,
             "--go with nonsense: status 2 and a line saying so (%s, %s)" % (bad.returncode, bad.stderr.strip()))
    s = harness.session_t(a.workdir)
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(a.rocktreed, port, ["--quiet"])
        s.startViewer(a.viewer, "", {}, ["--service", "http://127.0.0.1:%d/rt/earth/" % port, "--go", "Zermatt",
                                         "--labels", "on", "--windowed", "960x540", "--exit-when-settled",
                                         "--settle-timeout", str(SETTLE_TIMEOUT_S), "--screenshot-when-settled",
                                         os.path.join(a.workdir, "zermatt.png")])
        rc = s.waitForExit(SETTLE_TIMEOUT_S + 30)
        c.expect(rc == 0, "--go Zermatt settles and exits with status 0 (got %s)" % rc)
        go = [t for _, t in s.out.snapshot() if t.startswith("go: ")]
        c.expect(len(go) == 1 and go[0].startswith("go: Zermatt (VS, CH"), "one go: line for Zermatt (%s)" % go)
        c.expect(not any("unavailable" in t for _, t in s.err.snapshot()), "search and labels are available")
        p = s.positions()
        c.expect(bool(p), "position lines")
        if not p:
            return
        x, y, z = p[-1][1]
        lat, lon = math.degrees(math.atan2(z, math.hypot(x, y))), math.degrees(math.atan2(y, x))
        dlat, dlon = math.radians(lat - ZERMATT[0]), math.radians(lon - ZERMATT[1])
        km = 6371.01 * 2 * math.asin(math.sqrt(math.sin(dlat / 2) ** 2 + math.cos(math.radians(lat)) *
                                               math.cos(math.radians(ZERMATT[0])) * math.sin(dlon / 2) ** 2))
        c.expect(km <= 5, "the eye is within 5 km of Zermatt (%.2f km, at %.4f, %.4f)" % (km, lat, lon))
        c.expect(2000 < p[-1][3] < 20000, "a few km up (%.0f m)" % p[-1][3])
    finally:
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed")
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--mode", choices=("view", "no-service", "settle", "go"), default="view")
    ap.add_argument("--seconds", type=float, default=25)
    a = ap.parse_args()
    a.viewer = os.path.abspath(a.viewer)  # the viewer runs in the work dir
    if a.rocktreed:
        a.rocktreed = os.path.abspath(a.rocktreed)
    c = check_t()
    if a.mode == "view":
        runView(a, c)
    elif a.mode == "settle":
        runSettle(a, c)
    elif a.mode == "go":
        runGo(a, c)
    else:
        runNoService(a, c)
    return c.exitStatus(a.workdir)


if __name__ == "__main__":
    sys.exit(main())
