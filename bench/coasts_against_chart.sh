#!/usr/bin/env bash
# The coastal planet judged against a coastline that is not GSHHG: the
# Digital Chart of the World's country polygons (gmt-dcw, dumped by GMT),
# over a dozen coastal regions, at levels 10 to 12, the planet without
# GSHHG's coasts and the finer image side by side (tools/coast_judge.cpp
# says how points are read). Prints the judge's table and "figure: value"
# lines. BUILD_DIR (default build) holds coast_judge; POINTS_PER_SIDE
# (default 60) sets each region's grid of points.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
if ! command -v gmt >/dev/null || [[ ! -s /usr/share/gmt-dcw/dcw-gmt.nc ]]; then
  echo "coasts_against_chart: needs Debian's gmt and gmt-dcw (scripts/bootstrap installs them)" >&2
  exit 1
fi
work=$(mktemp -d /tmp/coasts-against-chart.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Every country of every continent (Antarctica's ice front is no coast here).
(cd "$work" && gmt coast -E=AF,=AS,=EU,=NA,=OC,=SA -M >chart.txt)
"$build/server/coast_judge" "$work/chart.txt" "${POINTS_PER_SIDE:-60}" | tee "$work/table"
awk '/^all points pooled/ {print "within 3 km right, before: " $(NF-5); print "within 3 km right, served: " $(NF-4);
                           print "within 3 km right, GSHHG itself: " $(NF-3); print "all points right, before: " $(NF-2);
                           print "all points right, served: " $(NF-1); print "reader against GSHHG: " $NF}
     /^mean of the regions/ {print "regions mean within 3 km, before: " $(NF-2); print "regions mean within 3 km, served: " $(NF-1);
                             print "regions mean within 3 km, GSHHG itself: " $NF}' "$work/table"
