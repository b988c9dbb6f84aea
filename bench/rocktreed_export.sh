#!/usr/bin/env bash
# rocktreed export on one thread, JPEG only: nodes per second per core
# (bulks included; CPU time of the process, start-up included, so that the
# figure does not depend on the machine's other load), and from it the time
# and disk of the whole Earth to level 10 on 2 cores (the samples' work
# without their start-ups, times 64, shared by the 2 cores, after one
# start-up).
# Samples: two level-4 nodes (22.5 degrees a side) exported to level 10, one
# over Europe (land) and one over the Pacific; the Earth to level 10 is 128
# such nodes. And a level-6 node over France to level 12, where every entry
# of the level-8 bulks is exported too (to level 10, each exported node
# brings 16 entries of levels 11 and 12 that its bulk must describe).
# Prints "figure: value unit" lines. BUILD_DIR (default build) holds rocktreed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exe=$build/server/rocktreed
work=$(mktemp -d /tmp/rocktreed-export-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
TIMEFORMAT="%U %S"

echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
# Start-up alone (the built-in rasters read whole): an export of the
# planetoid only; the median of 3.
for k in 1 2 3; do
  { time "$exe" export --out "$work/empty$k" --texture-formats jpg --threads 1 --base-level 0 --max-level 0 \
      2>/dev/null >/dev/null; } 2>"$work/empty$k.time"
  awk '{print $1 + $2}' "$work/empty$k.time"
done >"$work/startups"
startup=$(sort -g "$work/startups" | sed -n 2p)
echo "export start-up, CPU: $startup s"
# exportSample NAME REGION MAX_LEVEL [OPTION...]: sets nodes, cpu, user, bytes.
exportSample() {
  local name=$1 region=$2 level=$3
  shift 3
  { time "$exe" export --out "$work/$name" --texture-formats jpg --threads 1 --base-level 0 --region "$region" \
      --max-level "$level" "$@" 2>"$work/$name.log" >/dev/null; } 2>"$work/$name.time"
  set -- "$name" "$region" "$level"
  cpu=$(awk '{print $1 + $2}' "$work/$1.time")
  user=$(awk '{print $1}' "$work/$1.time")
  bytes=$(du -sb "$work/$1/rt" | cut -f1)
  nodes=$(ls "$work/$1/rt/earth/NodeData" | wc -l)
  local bulks=$(ls "$work/$1/rt/earth/BulkMetadata" | wc -l)
  echo "$1 to level $3: $nodes nodes, $bulks bulks, $cpu s CPU ($(awk '{print $2}' "$work/$1.time") s of it in the kernel)"
  echo "$1 export rate: $(python3 -c "print(round($nodes / $cpu))") nodes/s/core"
  rm -rf "$work/$1"
}
exportSample europe 45,0,67.5,22.5 10
eu_nodes=$nodes eu_cpu=$cpu eu_user=$user eu_bytes=$bytes
exportSample pacific -22.5,-157.5,0,-135 10
all_nodes=$((eu_nodes + nodes))
all_cpu=$(python3 -c "print($eu_cpu + $cpu)")
all_user=$(python3 -c "print($eu_user + $user)")
all_bytes=$((eu_bytes + bytes))
echo "export rate to level 10, JPEG only: $(python3 -c "print(round($all_nodes / $all_cpu))") nodes/s/core"
echo "export rate to level 10, JPEG only, without start-up: $(python3 -c "print(round($all_nodes / ($all_cpu - 2 * $startup)))") nodes/s/core"
echo "whole Earth to level 10, JPEG, 2 cores (estimate): $(python3 -c "print(round((($all_cpu - 2 * $startup) * 64 / 2 + $startup) / 60, 1))") min"
echo "whole Earth to level 10, JPEG, disk (estimate): $(python3 -c "print(round($all_bytes / 2 * 128 / 1e9, 1))") GB"
exportSample france 45,0,50.625,5.625 12
# The same two samples of the planet without GSHHG's coasts (the finer
# image kept), right after: the coasts' cost as a ratio of rates. The
# kernel's share (the files) is the same for both and varies with the disk,
# so the user CPU alone is the steadier figure.
exportSample europe-without-coasts 45,0,67.5,22.5 10 --gshhg off
off_nodes=$nodes off_cpu=$cpu off_user=$user
exportSample pacific-without-coasts -22.5,-157.5,0,-135 10 --gshhg off
off_nodes=$((off_nodes + nodes))
off_cpu=$(python3 -c "print($off_cpu + $cpu)")
off_user=$(python3 -c "print($off_user + $user)")
echo "export rate to level 10 with coasts / without, CPU (goal 0.8 or more) ratio: $(python3 -c "print(round(($all_nodes / $all_cpu) / ($off_nodes / $off_cpu), 2))") x"
echo "export rate to level 10 with coasts / without, user CPU (goal 0.8 or more) ratio: $(python3 -c "print(round(($all_nodes / $all_user) / ($off_nodes / $off_user), 2))") x"
