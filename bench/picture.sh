#!/usr/bin/env bash
# The look's costs, headless under Mesa's software renderer: time to full
# detail at the start position with --fades off and on (time_to_detail.py,
# cold rocktreed, median of 3 each, same session), frame time at 1280x720
# with --atmosphere off and on (picture_frame_time.py), and a recording of
# bench/picture_path.txt (10 s at 30 frames a second, 640x360 so that the
# 301 frames fit a benchmark run under software GL, fades and atmosphere
# on): wall time per recorded frame, settling included.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
runs=${PICTURE_RUNS:-3}
viewer=$build/client/app/ostravel
rocktreed=$build/server/rocktreed
echo "load average at start: $(cut -d" " -f1 /proc/loadavg)"

median() {  # median() OUTPUT LABEL
  sed -n "s/^time to full detail median ($2): \([0-9.]*\) s$/\1/p" <<<"$1"
}
off=$(python3 bench/time_to_detail.py --viewer "$viewer" --rocktreed "$rocktreed" --runs "$runs" \
  --label "fades off" --viewer-args "--fades off") || true
echo "$off"
on=$(python3 bench/time_to_detail.py --viewer "$viewer" --rocktreed "$rocktreed" --runs "$runs" \
  --label "fades on" --viewer-args "--fades on") || true
echo "$on"
a=$(median "$off" "fades off")
b=$(median "$on" "fades on")
[[ -n $a && -n $b ]] && awk -v a="$a" -v b="$b" \
  'BEGIN { printf "time to full detail ratio, fades on / off: %.3f\n", b / a }'

python3 bench/picture_frame_time.py --viewer "$viewer" --rocktreed "$rocktreed" --runs "$runs" || true

work=$(mktemp -d /tmp/picture-record-XXXXXX)
python3 - "$viewer" "$rocktreed" "$work" <<'PY' || true
import os, sys, time
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join("tests", "e2e", "flight"))
import harness
viewer, rocktreed, work = sys.argv[1:]
s = harness.session_t(work)
try:
    s.startXvfb()
    port = harness.freePort()
    s.startRocktreed(rocktreed, port, ["--quiet"])
    start = s.elapsed()
    s.startViewer(viewer, "", None, ["--service", "http://127.0.0.1:%d/rt/earth/" % port, "--windowed", "640x360",
                                      "--cache-mb", "0", "--path", os.path.abspath("bench/picture_path.txt"),
                                      "--record", os.path.join(work, "frames"), "--fades", "on",
                                      "--atmosphere", "on"])
    rc = s.waitForExit(1800)
    wall = s.elapsed() - start
    frames = len(os.listdir(os.path.join(work, "frames")))
    print("recording, 10 s path at 30 fps, 640x360: status %s, %d frames in %.1f s" % (rc, frames, wall))
    if rc == 0 and frames:
        print("recording time per frame: %.0f ms" % (1000 * wall / frames))
finally:
    s.close()
PY
rm -rf "$work"
echo "load average at end: $(cut -d" " -f1 /proc/loadavg)"
