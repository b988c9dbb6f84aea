#!/usr/bin/env bash
# Time to full detail at 50 ms round trip over plain HTTP/1.1, HTTP/1.1 over
# TLS and HTTP/2 over TLS, side by side through one byte-delaying link (see
# protocols_at_distance.py); medians of 3 runs and their ratios to plain.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
echo "load average at start: $(cut -d" " -f1 /proc/loadavg)"
python3 bench/protocols_at_distance.py --viewer "$build/client/app/ostravel" --rocktreed "$build/server/rocktreed" \
  --runs "${PROTOCOLS_RUNS:-3}" --rtt-ms 50
echo "load average at end: $(cut -d" " -f1 /proc/loadavg)"
