#!/usr/bin/env python3
"""End-to-end runs of the viewer's clock for machines (Xvfb, software GL).

--mode frame-ms: the viewer runs twice with --frame-ms 20 in a small window
  against rocktreed behind a gate that holds every connection until W is
  down, so that the camera's first frame already sees W held (the camera
  waits for the planet). Checks: the first three "pos:" lines are the same
  in both runs, character for character, and they move forwards.

--mode record: a path of three frames over Mont Blanc recorded twice
  (--path, --record, with fades and the atmosphere) by two viewers against
  one rocktreed. Checks: both exit 0 with three PNGs, the two recordings
  are byte for byte the same, and the camera's move shows between the
  first and the last frame. Then the same path once more with --msaa 4
  (Mesa's software renderer offers 4 samples): the viewer says it got them,
  writes three frames read back from the multisampled window, and the
  edges smoothed make them differ from the first recording.

usage: picture_e2e.py --viewer PATH --rocktreed PATH --workdir DIR [--mode frame-ms|record]
"""
import argparse
import os
import shutil
import socket
import sys
import threading
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "flight"))
sys.path.insert(0, HERE)
import harness  # noqa: E402
from viewer_e2e import check_t  # noqa: E402

POS_LINES = 3


class gate_t(harness.relay_t):
    """A relay that holds the connections it accepts until opened."""

    def __init__(self, upstream_port):
        self.open = threading.Event()
        super().__init__(upstream_port)

    def loop(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except (OSError, socket.timeout):
                continue
            self.count += 1
            threading.Thread(target=lambda c=conn: (self.open.wait(), self.relay(c)), daemon=True).start()


def keyDrivenFlight(a, run):
    """The first POS_LINES position lines of a run with W held from its first frame."""
    s = harness.session_t(os.path.join(a.workdir, "run-%d" % run))
    gate = None
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(a.rocktreed, port, ["--quiet"])
        gate = gate_t(port)
        s.startViewer(a.viewer, "", None, ["--service", "http://127.0.0.1:%d/rt/earth/" % gate.port,
                                            "--windowed", "320x240", "--cache-mb", "0", "--frame-ms", "20"])
        found = harness.waitFor(lambda: gate.count > 0 or not s.viewerAlive(), 30)
        # The window is mapped before the planetoid is asked for.
        time.sleep(1.0)
        s.xdo("keydown", "w")
        time.sleep(0.5)
        gate.open.set()
        ok = found and harness.waitFor(
            lambda: len([t for _, t in s.out.snapshot() if t.startswith("pos: ")]) >= POS_LINES
            or not s.viewerAlive(), 120)
        s.xdo("keyup", "w")
        lines = [t for _, t in s.out.snapshot() if t.startswith("pos: ")][:POS_LINES]
        positions = [p for _, p, _, _ in s.positions()][:POS_LINES]
        rc = s.quit()
        return ok and rc == 0, lines, positions
    finally:
        if gate:
            gate.close()
        s.close()


def runFrameMs(a, c):
    first_ok, first, first_pos = keyDrivenFlight(a, 1)
    second_ok, second, _ = keyDrivenFlight(a, 2)
    c.expect(first_ok and second_ok, "both runs print %d position lines and end with status 0" % POS_LINES)
    c.expect(len(first) == POS_LINES and first == second,
             "--frame-ms: the position lines of the two runs are identical (%s / %s)" % (first, second))
    if len(first_pos) == POS_LINES:
        moved = sum((first_pos[-1][i] - first_pos[0][i]) ** 2 for i in range(3)) ** 0.5
        c.expect(moved > 100, "W held moves the camera (%.0f m between the first and last line)" % moved)


PATH_FILE = """# seconds latitude longitude altitude heading pitch
0 45.8326 6.8652 6000 180 -30
1 45.8226 6.8652 6000 185 -30
"""


def runRecord(a, c):
    s = harness.session_t(a.workdir)
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(a.rocktreed, port, ["--quiet"])
        path_file = os.path.join(a.workdir, "path.txt")
        with open(path_file, "w") as f:
            f.write(PATH_FILE)
        recordings = []
        for run in (1, 2):
            out = os.path.join(a.workdir, "frames-%d" % run)
            shutil.rmtree(out, ignore_errors=True)
            s.startViewer(a.viewer, "", None, ["--service", "http://127.0.0.1:%d/rt/earth/" % port, "--windowed",
                                                "200x150", "--cache-mb", "0", "--path", path_file, "--record", out,
                                                "--frame-ms", "500", "--fades", "on", "--atmosphere", "on"])
            rc = s.waitForExit(240)
            c.expect(rc == 0, "recording %d ends with status 0 (got %s)" % (run, rc))
            names = sorted(os.listdir(out)) if os.path.isdir(out) else []
            frames = []
            for n in names:
                with open(os.path.join(out, n), "rb") as f:
                    frames.append(f.read())
            recordings.append((names, frames))
        (names1, frames1), (names2, frames2) = recordings
        c.expect(names1 == ["frame-%05d.png" % k for k in range(3)], "three frames (%s)" % names1)
        c.expect(names1 == names2 and frames1 == frames2, "the two recordings are byte for byte the same")
        c.expect(len(frames1) == 3 and frames1[0] != frames1[2], "the first and the last frame differ")
        out = os.path.join(a.workdir, "frames-msaa")
        shutil.rmtree(out, ignore_errors=True)
        since = s.elapsed()
        s.startViewer(a.viewer, "", None, ["--service", "http://127.0.0.1:%d/rt/earth/" % port, "--windowed",
                                            "200x150", "--cache-mb", "0", "--path", path_file, "--record", out,
                                            "--frame-ms", "500", "--fades", "on", "--atmosphere", "on",
                                            "--msaa", "4"])
        rc = s.waitForExit(240)
        c.expect(rc == 0, "the recording with --msaa 4 ends with status 0 (got %s)" % rc)
        c.expect(s.waitForLine(r"msaa: 4 samples a pixel", 1, since), "the window got 4 samples a pixel")
        names = sorted(os.listdir(out)) if os.path.isdir(out) else []
        c.expect(names == names1, "three frames with --msaa 4 (%s)" % names)
        if names == names1:
            with open(os.path.join(out, names[2]), "rb") as f:
                c.expect(f.read() != frames1[2], "multisampling changes the picture")
    finally:
        s.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--workdir", required=True)
    ap.add_argument("--mode", choices=("frame-ms", "record"), default="frame-ms")
    a = ap.parse_args()
    a.viewer = os.path.abspath(a.viewer)
    a.rocktreed = os.path.abspath(a.rocktreed)
    os.makedirs(a.workdir, exist_ok=True)
    c = check_t()
    if a.mode == "record":
        runRecord(a, c)
    else:
        runFrameMs(a, c)
    return c.exitStatus(a.workdir)


if __name__ == "__main__":
    sys.exit(main())
