#!/usr/bin/env bash
# Peak RSS of the viewer during the 90 s flight of `make soak`
# (tests/e2e/flight/run_flight.py at scale 1.0, the viewer's own memory
# budget), median of FLIGHT_RUNS runs (default 3). BUILD_DIR picks the build;
# BASELINE_BUILD_DIR, when set, flies the same flight with another build (e.g.
# of main) first, interleaved run by run.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
runs=${FLIGHT_RUNS:-3}
work=$(mktemp -d /tmp/flight-memory-XXXXXX)
trap 'rm -rf "$work"' EXIT
echo "load average at start: $(cut -d" " -f1 /proc/loadavg)"

fly() {  # fly BUILD_DIR NAME: one flight; prints its peak RSS in MB or nothing
  python3 tests/e2e/flight/run_flight.py --viewer "$1/client/app/ostravel" --rocktreed "$1/server/rocktreed" \
    --scale 1.0 --workdir "$work/$2" 2>&1 | tee "$work/$2.log" |
    sed -n 's/.*peak RSS of the viewer \([0-9]*\) MB.*/\1/p'
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

before=() after=()
for k in $(seq "$runs"); do
  if [[ -n ${BASELINE_BUILD_DIR:-} ]]; then
    b=$(fly "$BASELINE_BUILD_DIR" "main-$k")
    echo "run $k, main: peak RSS ${b:-?} MB"
    [[ -n $b ]] && before+=("$b")
  fi
  a=$(fly "$build" "run-$k")
  echo "run $k: peak RSS ${a:-?} MB ($(grep -c FAIL "$work/run-$k.log") failed checks)"
  [[ -n $a ]] && after+=("$a")
done
if ((${#before[@]})); then
  echo "peak RSS of the 90 s flight median (main): $(printf '%s\n' "${before[@]}" | median) MB"
fi
if ((${#after[@]})); then
  echo "peak RSS of the 90 s flight median: $(printf '%s\n' "${after[@]}" | median) MB"
fi
echo "load average at end: $(cut -d" " -f1 /proc/loadavg)"
