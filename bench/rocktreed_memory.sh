#!/usr/bin/env bash
# rocktreed's memory under many distinct deep requests: REQUESTS (default
# 100,000) random well-formed NodeData requests at levels 14 to 20 over
# random places (sea nodes below level 12 do not exist: 404; land ones are
# built: the costly kind), from 4 kept-alive connections, with
# --cache-mb 64. Prints the resident size above start-up every tenth of the
# run, then the peak: bounded means it stops growing once the cache is full.
# With BASELINE_BUILD_DIR (a build of another commit) or BASELINE_ROCKTREED
# (a binary), the same for it, "baseline" in its lines.
# Prints "figure: value unit" lines. BUILD_DIR (default build) holds rocktreed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
requests=${REQUESTS:-100000}
exes=("current=$build/server/rocktreed")
baseline=${BASELINE_ROCKTREED:-${BASELINE_BUILD_DIR:+$BASELINE_BUILD_DIR/server/rocktreed}}
[[ -n $baseline ]] && exes+=("baseline=$baseline")
echo "machine: $(nproc) cores, $requests requests, --cache-mb 64"

for entry in "${exes[@]}"; do
  name=${entry%%=*} exe=${entry#*=}
  log=$(mktemp /tmp/rocktreed-memory.XXXXXX)
  "$exe" --port 0 --quiet --threads "$(nproc)" --cache-mb 64 >"$log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do grep -q listening "$log" && break; sleep 0.05; done
  port=$(grep -o '127.0.0.1:[0-9]*' "$log" | head -1 | cut -d: -f2)
  python3 - "$port" "$pid" "$name" "$requests" <<'PY'
import http.client, random, sys, threading
port, pid, name, total = int(sys.argv[1]), sys.argv[2], sys.argv[3], int(sys.argv[4])
def rss_mb(field="VmRSS"):
    for line in open("/proc/%s/status" % pid):
        if line.startswith(field + ":"): return int(line.split()[1]) / 1024
def path(rng):
    # The octree's digits over a random point, as the viewer names them.
    lat, lon, level = rng.uniform(-80, 80), rng.uniform(-180, 180), rng.randint(14, 20)
    north, quarter = lat >= 0, min(int((lon + 180) // 90), 3)
    first = [["02", "03", "12", "13"], ["20", "21", "30", "31"]][north][quarter]
    n, s = (90.0, 0.0) if north else (0.0, -90.0)
    w = -180.0 + 90 * quarter; e = w + 90
    digits = first
    while len(digits) < level:
        ml, mo = (n + s) / 2, (w + e) / 2
        digits += str((2 if lat >= ml else 0) + (1 if lon >= mo else 0))
        if lat >= ml: s = ml
        else: n = ml
        if lon >= mo: w = mo
        else: e = mo
    return "/rt/earth/NodeData/pb=!1m2!1s%s!2u1001!2e1!4b0" % digits
def cache_mb():
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    c.request("GET", "/metrics")
    for line in c.getresponse().read().decode().splitlines():
        if line.startswith("rocktreed_cache_bytes "): return int(line.split()[1]) / 2**20
    return -1
start = rss_mb()
print("%s rss at start-up: %.0f MB" % (name, start))
done, statuses, lock = [0], {}, threading.Lock()
def run(seed, n):
    rng = random.Random(seed)
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    for _ in range(n):
        c.request("GET", path(rng)); r = c.getresponse(); r.read()
        with lock:
            statuses[r.status] = statuses.get(r.status, 0) + 1
            done[0] += 1
            if done[0] % (total // 10) == 0:
                print("%s rss above start-up after %d requests: %.0f MB (cache %.0f MB)" % (
                    name, done[0], rss_mb() - start, cache_mb()), flush=True)
threads = [threading.Thread(target=run, args=(k, total // 4)) for k in range(4)]
for t in threads: t.start()
for t in threads: t.join()
print("%s answers: %s" % (name, ", ".join("%d x %d" % (v, k) for k, v in sorted(statuses.items()))))
print("%s peak rss above start-up: %.0f MB" % (name, rss_mb("VmHWM") - start))
PY
  kill "$pid"; wait "$pid" 2>/dev/null || true
  rm -f "$log"
done
