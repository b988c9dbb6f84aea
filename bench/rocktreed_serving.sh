#!/usr/bin/env bash
# rocktreed as a running service:
#  1. cached responses: requests/s with wrk (8 connections) against one
#     cached NodeData, and against nginx serving the same answer as an
#     export would (deploy/nginx/export-only.conf, the file at its request
#     path), in the same run (both on loopback, same core count);
#  2. memory: peak RSS after serving 10,000 distinct nodes with
#     --cache-mb 64, against the RSS right after start-up;
#  3. start-up time (process start to the listening line).
# Prints "figure: value unit" lines. BUILD_DIR (default build) holds rocktreed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exe=$build/server/rocktreed
duration=${WRK_DURATION:-5}
work=$(mktemp -d /tmp/rocktreed-bench.XXXXXX)
chmod 755 "$work"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Starts rocktreed with the given options; sets rt_pid and rt_port.
start_rocktreed() {
  local log=$work/rocktreed.$RANDOM.log
  local t0=$(date +%s%N)
  "$exe" --port 0 --quiet "$@" >"$log" 2>&1 &
  rt_pid=$!
  pids+=("$rt_pid")
  for _ in $(seq 100); do grep -q listening "$log" && break; sleep 0.05; done
  rt_start_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  rt_port=$(grep -o '127.0.0.1:[0-9]*' "$log" | head -1 | cut -d: -f2)
}

rss_kb() { awk "/^$2:/ {print \$2}" "/proc/$1/status"; }

wrk_rate() {  # URL -> requests/s
  wrk -t2 -c8 -d"${duration}s" "$1" | awk '/Requests\/sec/ {print $2}'
}

cores=$(nproc)
echo "machine: $cores cores"

# --- 1. cached responses ---------------------------------------------------------
start_rocktreed --threads "$cores" --cache-mb 256
echo "rocktreed start-up: $rt_start_ms ms"
node="/rt/earth/NodeData/pb=!1m2!1s30021320!2u1001!2e1!4b0"
mkdir -p "$work/export/rt/earth/NodeData" "$work/nginx"
file="$work/export$node"
curl -sf -o "$file" "http://127.0.0.1:$rt_port$node"
echo "node response size: $(stat -c %s "$file") bytes"
chmod -R a+rX "$work/export"
rocktreed_rate=$(wrk_rate "http://127.0.0.1:$rt_port$node")
kill "$rt_pid"; wait "$rt_pid" 2>/dev/null || true

nginx_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
# The shipped configuration with its site lines set; its logging off, as
# rocktreed's is (--quiet).
sed -e "s|listen 127.0.0.1:8080;|listen 127.0.0.1:$nginx_port;|" -e "s|root /srv/ostravel/export;|root $work/export;|" \
    -e "s|access_log access.log rocktree;|access_log off;|" deploy/nginx/export-only.conf >"$work/nginx/nginx.conf"
nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g "daemon off;" &
pids+=($!)
for _ in $(seq 50); do curl -sf -o /dev/null "http://127.0.0.1:$nginx_port$node" && break; sleep 0.1; done
cmp -s <(curl -sf "http://127.0.0.1:$nginx_port$node") "$file"
nginx_rate=$(wrk_rate "http://127.0.0.1:$nginx_port$node")
echo "rocktreed cached NodeData: $rocktreed_rate requests/s"
echo "nginx serving the export: $nginx_rate requests/s"
echo "rocktreed/nginx ratio: $(python3 -c "print(round($rocktreed_rate/$nginx_rate, 3))") x"

# --- 2. memory after 10,000 distinct nodes ------------------------------------------
start_rocktreed --threads "$cores" --cache-mb 64
sleep 0.5
start_kb=$(rss_kb "$rt_pid" VmRSS)
python3 - "$rt_port" <<'PY'
import http.client, sys, threading
port = int(sys.argv[1])
def path(i):
    # Distinct level-10 nodes (no leaf above level 12, so all exist).
    d1 = i % 4
    d2 = (i // 4) % 2 + (0 if d1 >= 2 else 2)
    rest, k = "", i // 8
    for _ in range(8):
        rest += str(k % 4); k //= 4
    return "/rt/earth/NodeData/pb=!1m2!1s%d%d%s!2u1001!2e1!4b0" % (d1, d2, rest)
bad = []
def run(lo, hi):
    c = http.client.HTTPConnection("127.0.0.1", port)
    for i in range(lo, hi):
        c.request("GET", path(i * 7919 % 524288))
        r = c.getresponse(); r.read()
        if r.status != 200: bad.append(r.status)
threads = [threading.Thread(target=run, args=(k * 2500, (k + 1) * 2500)) for k in range(4)]
for t in threads: t.start()
for t in threads: t.join()
if bad: sys.exit("non-200 answers: %d" % len(bad))
PY
peak_kb=$(rss_kb "$rt_pid" VmHWM)
echo "rss at start-up: $(( start_kb / 1024 )) MB"
echo "peak rss after 10000 nodes: $(( peak_kb / 1024 )) MB"
echo "peak rss above start-up (cache 64 MB): $(( (peak_kb - start_kb) / 1024 )) MB"
