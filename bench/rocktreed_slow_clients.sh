#!/usr/bin/env bash
# rocktreed under slow clients, side by side in one run:
#  1. well-formed clients' latency for a cached NodeData (4 kept-alive
#     connections from 127.0.0.1, median and p99 over 2,000 requests), with
#     no other connection open, then with 1,000 slow connections open from
#     127.0.0.2 (a third idle, a third dripping a request head a byte at a
#     time, a third never reading the answers they asked for);
#  2. cached answers per second with wrk (8 connections).
# With BASELINE_BUILD_DIR (a build of another commit) or BASELINE_ROCKTREED
# (a binary), the same figures for it, "baseline" in their name.
# Prints "figure: value unit" lines. BUILD_DIR (default build) holds rocktreed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
exes=("current=$build/server/rocktreed")
baseline=${BASELINE_ROCKTREED:-${BASELINE_BUILD_DIR:+$BASELINE_BUILD_DIR/server/rocktreed}}
[[ -n $baseline ]] && exes+=("baseline=$baseline")
duration=${WRK_DURATION:-5}
echo "machine: $(nproc) cores"
ulimit -n "$(ulimit -Hn)"

for entry in "${exes[@]}"; do
  name=${entry%%=*} exe=${entry#*=}
  log=$(mktemp /tmp/rocktreed-slow.XXXXXX)
  # A baseline that predates the connection options gets none.
  opts=(--max-connections-per-ip 2000 --max-connections 2048)
  "$exe" --help 2>&1 | grep -q max-connections-per-ip || opts=()
  "$exe" --port 0 --quiet --threads "$(nproc)" --cache-mb 256 "${opts[@]}" >"$log" 2>&1 &
  pid=$!
  for _ in $(seq 100); do grep -q listening "$log" && break; sleep 0.05; done
  port=$(grep -o '127.0.0.1:[0-9]*' "$log" | head -1 | cut -d: -f2)
  node="/rt/earth/NodeData/pb=!1m2!1s30021320!2u1001!2e1!4b0"
  curl -sf -o /dev/null "http://127.0.0.1:$port$node"
  python3 - "$port" "$node" "$name" <<'PY'
import socket, statistics, sys, threading, time
port, node, name = int(sys.argv[1]), sys.argv[2], sys.argv[3]
request = ("GET %s HTTP/1.1\r\nHost: x\r\n\r\n" % node).encode()

def read_answer(s):
    raw = b""
    while b"\r\n\r\n" not in raw:
        chunk = s.recv(65536)
        if not chunk: raise ConnectionError("closed")
        raw += chunk
    head, _, body = raw.partition(b"\r\n\r\n")
    length = int([l for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")][0].split(b":")[1])
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk: raise ConnectionError("closed")
        body += chunk

def latencies(total=2000, clients=4):
    out, failed = [], [0]
    def run(n):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            for _ in range(n):
                t = time.perf_counter()
                s.sendall(request); read_answer(s)
                out.append(time.perf_counter() - t)
        except OSError:
            failed[0] += 1
    ts = [threading.Thread(target=run, args=(total // clients,)) for _ in range(clients)]
    for t in ts: t.start()
    for t in ts: t.join()
    return out, failed[0]

def report(label, lat, failed):
    if not lat:
        print("%s %s: no answer (%d clients failed)" % (name, label, failed)); return None
    lat.sort()
    p99 = lat[int(len(lat) * 0.99) - 1]
    print("%s %s answered: %d of 2000" % (name, label, len(lat)))
    print("%s %s median latency: %.3f ms" % (name, label, statistics.median(lat) * 1e3))
    print("%s %s p99 latency: %.3f ms" % (name, label, p99 * 1e3))
    return p99

quiet = report("without slow connections", *latencies())
slow, stop = [], [False]
def hostile(k):
    s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 2048)
    s.bind(("127.0.0.2", 0)); s.settimeout(2); s.connect(("127.0.0.1", port)); s.setblocking(False)
    if k % 3 == 1: s.send(b"GET /rt/earth/Planeto")
    if k % 3 == 2: s.send(request * 64)
    return s
for k in range(1000):
    try: slow.append(hostile(k))
    except OSError: pass
print("%s slow connections opened: %d" % (name, len(slow)))
def drip():
    while not stop[0]:
        for k in range(1, len(slow), 3):
            try: slow[k].send(b"i")
            except OSError: pass
        time.sleep(0.5)
dripper = threading.Thread(target=drip); dripper.start()
loaded = report("with 1000 slow connections", *latencies())
stop[0] = True; dripper.join()
for s in slow: s.close()
if quiet and loaded:
    print("%s p99 with/without slow connections: %.2f x" % (name, loaded / quiet))
PY
  rate=$(wrk -t2 -c8 -d"${duration}s" "http://127.0.0.1:$port$node" | awk '/Requests\/sec/ {print $2}')
  echo "$name cached NodeData: $rate requests/s"
  kill "$pid"; wait "$pid" 2>/dev/null || true
  rm -f "$log"
done
