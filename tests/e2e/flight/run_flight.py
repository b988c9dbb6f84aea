#!/usr/bin/env python3
"""A flight over the planet with real input, as a user would fly it.

rocktreed and the viewer under Xvfb, driven by xdotool: turn the view down,
descend with Q from 10 km to about 500 m, level out and fly forwards with W
and Shift while turning, turn around and back, climb with E to 100 km, look
down and turn around. The checks read the viewer's periodic lines, the
service's access log and pixel statistics of screenshots:

- detail arrives: the deepest level requested and the number of selected
  nodes grow on the way down;
- with --budget-mb (a memory budget far below the flight's data), the budget
  releases nodes (obs n > 0) and released nodes come back: after turning
  away and back, the service sees requests again for paths it had already
  served; with the viewer's own budget, turning away and back asks again
  for almost nothing;
- statistics stay plausible: buffered bounded, the "net:" line every 2 s,
  never more than 24 retrievals in flight;
- no black frame once the view is turned down; peak RSS bounded (reported).

usage: run_flight.py --viewer PATH --rocktreed PATH [--scale 0.5] [--budget-mb MB] [--workdir DIR]
--scale shortens every wait (1.0 is the ~90 s flight of `make soak`).
"""
import argparse
import math
import os
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

MAX_BUFFERED = 20000       # far above any view's selection; catches a leak of records
MAX_PEAK_RSS_MB = 3072     # the view's data is released as it goes
NOT_BLACK = 0.97           # a frame with less black than this shows something
SANITIZER_MARKS = ("AddressSanitizer", "runtime error:", "ThreadSanitizer", "LeakSanitizer")
TURN_AROUND = int(math.pi / 0.001)  # mouse units for 180 degrees of yaw


class access_log_t:
    """Reads rocktreed's access log in slices, one per flight phase."""

    def __init__(self, path):
        self.path = path
        self.offset = 0
        self.seen = set()

    def slice(self):
        paths, self.offset = harness.servedPaths(self.path, self.offset)
        nodes = [p[1:] for p in paths if p[0] == "N"]
        bulks = [p[1:] for p in paths if p[0] == "B"]
        again = [p for p in nodes if p in self.seen]
        self.seen.update(nodes)
        return nodes, bulks, again


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--workdir", default=None)
    ap.add_argument("--scale", type=float, default=1.0)
    ap.add_argument("--budget-mb", type=int, default=None)
    args = ap.parse_args()
    workdir = args.workdir or tempfile.mkdtemp(prefix="flight-")
    k = max(0.2, args.scale)

    failures = []

    def expect(ok, text):
        print(("  ok    " if ok else "  FAIL  ") + text, flush=True)
        if not ok:
            failures.append(text)
        return ok

    s = harness.session_t(workdir)
    frames = []  # (time, phase, black fraction) of the periodic screenshots
    phase = ["start"]
    watching = threading.Event()
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(args.rocktreed, port)
        log = access_log_t(s.rocktreed_log)
        # Without the disk cache: the flight checks that released nodes are
        # requested from the service again when the view returns.
        s.startViewer(args.viewer, "127.0.0.1:%d" % port, args=["--cache-mb", "0"] + (
            ["--memory-mb", str(args.budget_mb)] if args.budget_mb is not None else []))
        if not expect(s.waitForLine(r"^pos: ", 90), "the root bulk arrives and frames run"):
            return finish(s, failures)

        s.mouse(0, 1600)
        t_down = s.elapsed()
        log.slice()

        def watch():
            # A frame every few seconds, from 5 s after the turn-down on.
            time.sleep(5)
            while watching.is_set() and s.viewerAlive():
                try:
                    shot = s.screenshot("frame-" + phase[0], keep=False)
                    frames.append((s.elapsed(), phase[0], shot.black_fraction))
                except Exception as e:  # a failed grab is not a black frame
                    s.log("screenshot failed: %s" % e)
                time.sleep(max(1.0, 3 * k))
        watching.set()
        threading.Thread(target=watch, daemon=True).start()

        def settle(name, seconds):
            phase[0] = name
            time.sleep(seconds)
            nodes, bulks, again = log.slice()
            st = s.stats(s.elapsed() - seconds)
            deepest = max((len(p) for p in nodes), default=0)
            s.log("%s: %d node and %d bulk requests, deepest level %d, %d repeated; stats %s" % (
                name, len(nodes), len(bulks), deepest, len(again), st[-1][1] if st else "none"))
            return nodes, again, deepest, st

        # 10 km, looking down at 45 degrees.
        high_nodes, _, high_deep, high_st = settle("high", 12 * k)
        shot = s.screenshot("high")
        expect(shot.black_fraction < 0.5, "10 km: the ground fills the view (%s)" % shot.summary())
        alt0 = s.altitude()

        # Down to about 500 m above the sphere with Q (the ground itself is
        # about 100 m high here): most of the way at once, then a correction
        # from the next position line.
        phase[0] = "descend"
        s.hold(["q"], harness.holdTime(alt0 if alt0 else 10000, 1500))
        alt = s.freshPosition()
        if alt is not None and alt > 700:
            s.hold(["q"], harness.holdTime(alt, 600))
        low_nodes, _, low_deep, low_st = settle("low", 12 * k)
        alt = s.altitude()
        expect(alt is not None and 200 < alt < 1500, "Q brings the camera down to about 500 m (at %s m)" % (
            "%.0f" % alt if alt is not None else "?"))
        expect(low_deep > high_deep, "detail arrives: deepest level requested %d at 500 m > %d at 10 km" % (
            low_deep, high_deep))
        pot_high = max((x["pot_n"] for _, x in high_st), default=0)
        pot_low = max((x["pot_n"] for _, x in low_st), default=0)
        expect(pot_high > 0 and pot_low > 0, "nodes are selected at both heights (pot_n %d at 10 km, %d at 500 m)" % (
            pot_high, pot_low))
        shot = s.screenshot("low")
        expect(shot.black_fraction < 0.5, "500 m: the ground fills the view (%s)" % shot.summary())

        # Level out, just above the horizon so that the flight does not
        # sink into the ground, and fly forwards fast while turning.
        s.pitchTo(0.5)
        phase[0] = "fly"
        t_fly = s.elapsed()
        for dx in (200, -400, 200):
            s.hold(["shift", "w"], max(0.6, 1.2 * k))
            s.mouse(dx, 0, pause=0.05)
        fly_nodes, _, _, fly_st = settle("fly", 4 * k)
        moved = s.positions(t_fly)
        expect(len(fly_nodes) > 0, "flying asks for new nodes (%d requests)" % len(fly_nodes))

        alt = s.freshPosition()
        expect(alt is not None and alt > 0, "the flight stays above the ground (at %s m)" % (
            "%.0f" % alt if alt is not None else "?"))

        # Turn around and back: what was released on the way comes back.
        s.pitchTo(-25)  # look down, so the ground fills most of the view
        _, _, _, view_st = settle("before-turn", 6 * k)
        s.mouse(TURN_AROUND, 0, pause=0.05)
        settle("turned", 8 * k)
        s.mouse(-TURN_AROUND, 0, pause=0.05)
        _, again, _, _ = settle("returned", 8 * k)
        if args.budget_mb is not None:
            expect(len(again) > 0, "released nodes are requested again when the view returns (%d paths)" % len(again))
            # The statistics line shows one frame's releases every 2 s: over
            # the flight and the turns some of those frames released nodes.
            obs = [x["obs_n"] for t, x in s.stats(t_fly)]
            expect(sum(obs) > 0, "the %d MiB budget releases nodes: obs n %s" % (args.budget_mb, obs))
        else:
            view = max((x["pot_n"] for _, x in view_st), default=0)
            expect(len(again) <= max(10, view // 20),
                   "turning around and back asks again for at most 5 %% of the view (%d paths, view %d nodes)" % (
                       len(again), view))

        # Climb with E and Shift to 100 km, look down, turn around.
        phase[0] = "climb"
        # The speed grows with the altitude, so a late key release costs
        # more the higher it happens: Shift only for the first stretch.
        alt = s.freshPosition() or 1000
        s.hold(["shift", "e"], harness.holdTime(alt, 20000, 5))
        alt = s.freshPosition()
        if alt is not None and alt < 80000:
            s.hold(["e"], harness.holdTime(alt, 100000))
        s.pitchTo(-50)
        settle("100km", 10 * k)
        alt = s.altitude()
        expect(alt is not None and 50000 < alt < 200000, "E brings the camera up to about 100 km (at %s m)" % (
            "%.0f" % alt if alt is not None else "?"))
        shot = s.screenshot("100km")
        expect(shot.black_fraction < NOT_BLACK, "100 km: the planet is drawn (%s)" % shot.summary())
        s.mouse(TURN_AROUND, 0, pause=0.05)
        settle("100km-turned", 8 * k)
        shot = s.screenshot("100km-turned")
        expect(shot.black_fraction < NOT_BLACK, "100 km turned around: the planet is drawn (%s)" % shot.summary())
        watching.clear()

        stats = s.stats(t_down)
        peak_buf = max((x["buffered"] for _, x in stats), default=0)
        expect(len(stats) > 5, "the statistics line is printed every 2 s (%d lines)" % len(stats))
        expect(0 < peak_buf < MAX_BUFFERED, "buffered stays bounded (peak %d)" % peak_buf)
        expect(all(x["tot_n"] >= x["buffered"] >= 0 and x["obs_n"] >= 0 for _, x in stats),
               "statistics are consistent: 0 <= buffered <= tot_n, obs n >= 0")
        net = s.netStats(t_down)
        expect(len(net) >= len(stats) - 1 and all(x["in_flight"] <= 24 for _, x in net),
               "a net: line with every statistics line, at most 24 retrievals in flight (peak %d)" % max(
                   (x["in_flight"] for _, x in net), default=-1))
        black = [(round(t), p) for t, p, b in frames if b >= NOT_BLACK]
        expect(len(frames) > 3 and not black, "no black frame after the first 5 s (%d frames, black: %s)" % (
            len(frames), black or "none"))
        settled = [x for _, x in s.out.snapshot() if x.startswith("settled:")]
        s.log("settled lines: %s" % (", ".join(settled[:8]) or "none"))
        s.log("positions: %d, requests: %d distinct node paths" % (len(moved), len(log.seen)))
        return finish(s, failures)
    finally:
        watching.clear()
        s.close()


def finish(s, failures):
    alive = s.viewerAlive()
    rss_mb = s.peak_rss_kb / 1024
    rc = s.quit(timeout=60) if s.viewer else None
    if not alive:
        failures.append("the viewer ended during the flight (status %s)" % rc)
        print("  FAIL  the viewer ended during the flight (status %s)" % rc)
    elif rc != 0:
        failures.append("Escape ends the viewer with status 0 (got %s)" % rc)
        print("  FAIL  Escape ends the viewer with status 0 (got %s)" % rc)
    errs = [x for _, x in s.err.snapshot()] if s.err else []
    bad = [x for x in errs if any(m in x for m in SANITIZER_MARKS)]
    if bad:
        failures.append("sanitizer report: " + bad[0])
        print("  FAIL  sanitizer report: " + bad[0])
    ok = 0 < rss_mb < MAX_PEAK_RSS_MB
    print(("  ok    " if ok else "  FAIL  ") + "peak RSS of the viewer %.0f MB (bound %d MB)" % (rss_mb, MAX_PEAK_RSS_MB))
    if not ok:
        failures.append("peak RSS")
    s.log("artefacts in %s" % s.workdir)
    if failures:
        print("flight: %d check(s) failed; stderr tail:" % len(failures))
        for x in errs[-15:]:
            print("    " + x)
        return 1
    print("flight: all checks passed, peak RSS %.0f MB" % rss_mb)
    return 0


if __name__ == "__main__":
    sys.exit(main())
