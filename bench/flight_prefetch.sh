#!/usr/bin/env bash
# Time to full detail after a flight's arrival at Mont Blanc (from Paris, the
# destination walked while flying) against a jump there, warm rocktreed:
# medians of 3 runs (see flight_prefetch.py). BUILD_DIR picks the build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exec python3 bench/flight_prefetch.py --viewer "$build/client/app/ostravel" \
  --rocktreed "$build/server/rocktreed" --workdir "$build/bench-flight-prefetch" --runs "${FLIGHT_PREFETCH_RUNS:-3}"
