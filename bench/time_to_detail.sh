#!/usr/bin/env bash
# Time to full detail at the start position against rocktreed, headless, in
# four settings (median of 3 runs each, see time_to_detail.py): loopback with
# a warm service (with the turn-around in place), loopback cold, a 50 ms round
# trip with a warm service, and a slow service (2 answers at once, each 10 ms
# later) cold; and a fifth when a rocktreed built with sanitizers is at hand
# (SANITIZED_ROCKTREED, default build-asan/server/rocktreed: about ten times
# slower per answer), cold. BUILD_DIR picks the build; BASELINE_BUILD_DIR,
# when set, runs the same settings against another build's viewer (e.g. of
# main) first and prints the ratios of the two medians; the sanitized service
# is the same binary for both.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
runs=${TIME_TO_DETAIL_RUNS:-3}
echo "load average at start: $(cut -d" " -f1 /proc/loadavg)"

scenarios=(
  "loopback, warm|--service warm --turn-around"
  "loopback, cold|--service cold"
  "rtt 50 ms, warm|--service warm --rtt-ms 50"
  "slow 10 ms x2, cold|--service cold --slow-ms 10"
)
sanitized=${SANITIZED_ROCKTREED:-build-asan/server/rocktreed}
# The last --rocktreed given is the one time_to_detail.py takes.
[[ -x $sanitized ]] && scenarios+=("sanitized service, cold|--service cold --rocktreed $sanitized")

median() {  # median() OUTPUT LABEL: the time median of one scenario's output
  sed -n "s/^time to full detail median ($2): \([0-9.]*\) s$/\1/p" <<<"$1"
}

for entry in "${scenarios[@]}"; do
  name=${entry%%|*}
  args=${entry#*|}
  before=""
  if [[ -n ${BASELINE_BUILD_DIR:-} ]]; then
    echo "== $name, main"
    # shellcheck disable=SC2086
    out=$(python3 bench/time_to_detail.py --viewer "$BASELINE_BUILD_DIR/client/app/ostravel" \
      --rocktreed "$BASELINE_BUILD_DIR/server/rocktreed" --runs "$runs" --label "$name, main" $args) || true
    echo "$out"
    before=$(median "$out" "$name, main")
  fi
  echo "== $name"
  # shellcheck disable=SC2086
  out=$(python3 bench/time_to_detail.py --viewer "$build/client/app/ostravel" \
    --rocktreed "$build/server/rocktreed" --runs "$runs" --label "$name" $args) || true
  echo "$out"
  after=$(median "$out" "$name")
  if [[ -n $before && -n $after ]]; then
    awk -v n="$name" -v b="$before" -v a="$after" \
      'BEGIN { printf "time to full detail, %s: main %.2f s, now %.2f s, ratio %.2f\n", n, b, a, a / b }'
  fi
done
echo "load average at end: $(cut -d" " -f1 /proc/loadavg)"
