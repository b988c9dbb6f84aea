#!/usr/bin/env bash
# Time to full detail at the start position against rocktreed, headless:
# median of 3 runs (see time_to_detail.py). BUILD_DIR picks the build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exec python3 bench/time_to_detail.py --viewer "$build/client/app/ostravel" \
  --rocktreed "$build/server/rocktreed" --runs "${TIME_TO_DETAIL_RUNS:-3}"
