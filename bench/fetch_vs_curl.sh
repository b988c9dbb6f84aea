#!/usr/bin/env bash
# bench/fetch_vs_curl.sh [BUILD_DIR]: fetch rate of the viewer's fetch layer
# against curl, both fetching the same 40 KiB file from an nginx instance of
# our own on a private loopback port: a server that is not ours, so that
# neither client is measured against a server tuned for it. (bench_fetch run
# on its own, as scripts/bench does, uses the built-in scripted server.)
# Prints the Google Benchmark table and the req/s ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-${BUILD_DIR:-build}}
exe=$build/bench/bench_fetch
[[ -x $exe ]] || { echo "fetch_vs_curl: $exe not built" >&2; exit 1; }

work=$(mktemp -d /tmp/ostravel-fetch-vs-curl-XXXXXX)
chmod 755 "$work"  # nginx workers run as an unprivileged user
nginx_pid=""
cleanup() {
  [[ -n $nginx_pid ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

if command -v nginx >/dev/null 2>&1; then
  port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
  mkdir -p "$work/root/rt/earth" "$work/logs"
  head -c 40960 /dev/zero | tr '\0' b >"$work/root/rt/earth/bench40k"
  cat >"$work/nginx.conf" <<CONF
worker_processes 1;
daemon off;
pid $work/nginx.pid;
error_log $work/logs/error.log;
events { worker_connections 1024; }
http {
  access_log off;
  server { listen 127.0.0.1:$port; root $work/root; }
}
CONF
  nginx -c "$work/nginx.conf" -p "$work" &
  nginx_pid=$!
  for _ in $(seq 50); do curl -s -o /dev/null "http://127.0.0.1:$port/rt/earth/bench40k" && break; sleep 0.1; done
  echo "== against nginx on 127.0.0.1:$port"
  BENCH_FETCH_HOST=127.0.0.1:$port "$exe" 2>&1
  BENCH_FETCH_PAIRS=${BENCH_FETCH_PAIRS:-9} BENCH_FETCH_HOST=127.0.0.1:$port "$exe" 2>&1
else
  echo "== nginx not installed: against the built-in scripted server"
  "$exe" 2>&1
  BENCH_FETCH_PAIRS=${BENCH_FETCH_PAIRS:-9} "$exe" 2>&1
fi
