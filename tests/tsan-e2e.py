#!/usr/bin/env python3
"""A short flight of the viewer built with ThreadSanitizer, against rocktreed.

Twelve worker threads share the tree with the render thread through atomic
states and counters, without locks: this run checks that design on real
traffic. Mesa's own threads are not ours; tests/tsan.supp silences only
reports whose stacks are inside Mesa or LLVM. Any other report fails.

usage: tsan-e2e.py --viewer PATH (built with -DOSTRAVEL_SANITIZE=thread)
                   --rocktreed PATH [--seconds 15] [--workdir DIR]
"""
import argparse
import os
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "e2e", "flight"))
import harness  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--seconds", type=float, default=15)
    ap.add_argument("--workdir", default=None)
    args = ap.parse_args()
    workdir = args.workdir or tempfile.mkdtemp(prefix="tsan-e2e-")
    supp = os.path.join(HERE, "tsan.supp")
    tsan = "halt_on_error=0 exitcode=66 second_deadlock_stack=1 history_size=4"
    if os.path.exists(supp):
        tsan += " suppressions=" + supp

    s = harness.session_t(workdir)
    try:
        s.startXvfb()
        port = harness.freePort()
        s.startRocktreed(args.rocktreed, port, ["--quiet"])
        # A small memory budget: records are released while workers still
        # deliver others, and the scheduler cancels and gives up requests as
        # the view moves on the slow instrumented viewer.
        s.startViewer(args.viewer, "127.0.0.1:%d" % port,
                      {"TSAN_OPTIONS": tsan}, args=["--memory-mb", "32"])
        up = s.waitForLine(r"^pos: ", 120)
        if up:
            # Turn the view down, then move so that records are requested,
            # decoded and released while the workers run.
            s.mouse(0, 1600)
            t_end = time.monotonic() + args.seconds
            moves = [(["w"], 1.5), (["q"], 1.0), (["shift", "w"], 1.0), (["e"], 1.0)]
            i = 0
            while time.monotonic() < t_end and s.viewerAlive():
                keys, sec = moves[i % len(moves)]
                s.hold(keys, sec)
                s.mouse(300 if i % 2 else -300, 0, pause=0.05)
                time.sleep(1.0)
                i += 1
        alive = s.viewerAlive()
        rc = s.quit(timeout=120)
        errs = [x for _, x in s.err.snapshot()]
        reports = [i for i, x in enumerate(errs) if "WARNING: ThreadSanitizer" in x or "ERROR: ThreadSanitizer" in x]
        stats = s.stats()
        net = s.netStats()
        print("tsan-e2e: %d statistics lines, last %s; %s" % (
            len(stats), stats[-1][1] if stats else "none", net[-1][1] if net else "no net: line"))
        failures = []
        if not up:
            failures.append("the root bulk never arrived (no pos: line)")
        if not alive:
            failures.append("the viewer ended before Escape (status %s)" % rc)
        elif rc != 0:
            failures.append("exit status %s after Escape (66: ThreadSanitizer reports)" % rc)
        if reports:
            failures.append("%d ThreadSanitizer report(s)" % len(reports))
            for i in reports[:3]:
                print("\n".join("    " + x for x in errs[i:i + 30]))
        for f in failures:
            print("  FAIL  " + f)
        print("tsan-e2e: %s (artefacts in %s)" % ("clean" if not failures else "FAILED", workdir))
        return 1 if failures else 0
    finally:
        s.close()


if __name__ == "__main__":
    sys.exit(main())
