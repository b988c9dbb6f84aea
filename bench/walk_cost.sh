#!/usr/bin/env bash
# CPU per visited node of the frame's tree work (bench_selection's synthetic
# view: walk, scheduling and release), median of 3 runs. BUILD_DIR picks the
# build; BASELINE_BUILD_DIR, when set, runs that build's bench_selection too,
# interleaved (on main it measures walk and release only: it has no
# scheduler).
set -uo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
echo "load average at start: $(cut -d" " -f1 /proc/loadavg)"

cost() {  # cost BUILD_DIR: ns per visited node of one BM_WalkAndRelease run
  "$1/bench/bench_selection" --benchmark_filter='^BM_WalkAndRelease$' --benchmark_format=json 2>/dev/null |
    python3 -c 'import json,sys; print(round(json.load(sys.stdin)["benchmarks"][0]["ns_per_visited"]))'
}

median() { sort -n | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

before=() after=()
for k in 1 2 3; do
  [[ -n ${BASELINE_BUILD_DIR:-} ]] && before+=("$(cost "$BASELINE_BUILD_DIR")")
  after+=("$(cost "$build")")
done
echo "runs: now ${after[*]} ns${BASELINE_BUILD_DIR:+, main ${before[*]} ns}"
a=$(printf '%s\n' "${after[@]}" | median)
echo "CPU per visited node median: $a ns"
if ((${#before[@]})); then
  b=$(printf '%s\n' "${before[@]}" | median)
  echo "CPU per visited node median (main): $b ns"
  awk -v a="$a" -v b="$b" 'BEGIN { printf "walk, scheduling and release per visited node: main %d ns, now %d ns, ratio %.2f\n", b, a, a / b }'
fi
echo "load average at end: $(cut -d" " -f1 /proc/loadavg)"
