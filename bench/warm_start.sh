#!/usr/bin/env bash
# Warm start from the disk cache against a cold start, headless: medians of
# 3 rounds (see warm_start.py). BUILD_DIR picks the build.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exec python3 bench/warm_start.py --viewer "$build/client/app/ostravel" \
  --rocktreed "$build/server/rocktreed" --runs "${WARM_START_RUNS:-3}"
