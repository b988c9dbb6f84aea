#!/usr/bin/env python3
"""Time to full detail over three protocols through one distant link, side
by side: Mont Blanc from 6 km at 640x360, every answer from the service (no
disk cache), rocktreed behind nginx, and between the viewer and nginx
byte_delay_link.py (every byte delayed by half the round trip each way):
  plain    http:// to nginx, HTTP/1.1
  tls      https:// to nginx without HTTP/2, HTTP/1.1 over TLS
  h2       https:// to nginx with http2, HTTP/2 over TLS
Each run takes the three in turn, so a drift of the machine's load falls on
all of them alike; the medians and their ratios to plain are the figures.
The time is the viewer's own "settled: N nodes after T ms" (from the first
frame that wanted data to the first with all of it); the handshakes are its
exit line's TLS counts (full / resumed), and for h2 its HTTP/2 connections.
rocktreed is warmed through plain first: the figures measure the link.

usage: protocols_at_distance.py --viewer PATH --rocktreed PATH [--runs 3] [--rtt-ms 50]
"""
import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
ROOT = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(ROOT), "tests", "e2e", "flight"))
import harness  # noqa: E402

# 6 km above the sphere, Mont Blanc's summit about 7 km to the south-east, looking towards it and down.
POSITION = "45.88,6.80,6000,125,-25"
SIZE = "640x360"
SETTLE_LIMIT_S = 120
PROTOCOLS = ("plain", "tls", "h2")


def startNginx(s, prefix, rocktreed_port):
    ports = {p: harness.freePort() for p in PROTOCOLS}
    certs = os.path.join(prefix, "certs")
    subprocess.run(["bash", os.path.join(os.path.dirname(ROOT), "tests", "make_test_certs.sh"), certs], check=True)
    tmp = os.path.join(prefix, "tmp")
    os.makedirs(tmp, exist_ok=True)
    tls = "ssl_certificate %s/good.pem; ssl_certificate_key %s/leaf.key;" % (certs, certs)
    site = "location / { proxy_pass http://rt; }"
    conf = os.path.join(prefix, "nginx.conf")
    with open(conf, "w") as f:
        f.write("worker_processes 1; error_log %s/error.log; pid %s/nginx.pid;\n" % (prefix, prefix)
                + "events { worker_connections 1024; }\nhttp { access_log off;\n"
                + "".join("%s_temp_path %s;\n" % (k, tmp) for k in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
                + "upstream rt { server 127.0.0.1:%d; keepalive 64; }\n" % rocktreed_port
                + "proxy_http_version 1.1; proxy_set_header Connection \"\";\n"
                + "server { listen 127.0.0.1:%d; %s }\n" % (ports["plain"], site)
                + "server { listen 127.0.0.1:%d ssl; %s %s }\n" % (ports["tls"], tls, site)
                + "server { listen 127.0.0.1:%d ssl http2; %s %s }\n}\n" % (ports["h2"], tls, site))
    globals_ = "daemon off;" + (" user root;" if os.geteuid() == 0 else "")
    p = subprocess.Popen([shutil.which("nginx") or "/usr/sbin/nginx", "-p", prefix, "-c", conf, "-g", globals_],
                         stdout=subprocess.DEVNULL, stderr=open(os.path.join(prefix, "stderr.log"), "w"))
    s.procs.append(p)
    if not harness.waitFor(lambda: p.poll() is not None or harness.httpGet(ports["plain"], "/")[0] is not None, 20):
        raise RuntimeError("nginx did not come up")
    if p.poll() is not None:
        raise RuntimeError("nginx exited: %s" % open(os.path.join(prefix, "stderr.log")).read())
    return ports, os.path.join(certs, "ca.pem")


def startLink(s, rtt_ms, ports):
    p = subprocess.Popen([sys.executable, os.path.join(ROOT, "byte_delay_link.py"), "--rtt-ms", str(rtt_ms)]
                         + [str(ports[k]) for k in PROTOCOLS], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    s.procs.append(p)
    m = re.match(r"byte_delay_link listening on ([\d ]+)", p.stdout.readline().decode())
    if not m:
        raise RuntimeError("byte_delay_link did not start")
    return dict(zip(PROTOCOLS, (int(x) for x in m.group(1).split())))


def viewOnce(s, viewer, protocol, port, ca):
    scheme, host = ("http", "127.0.0.1") if protocol == "plain" else ("https", "localhost")
    args = ["--service", "%s://%s:%d/rt/earth/" % (scheme, host, port), "--cache-mb", "0",
            "--windowed", SIZE, "--position", POSITION]
    if protocol != "plain":
        args += ["--ca-file", ca]
    since = s.elapsed()
    s.startViewer(viewer, "", None, args)
    if not s.waitForLine(r"^settled: ", SETTLE_LIMIT_S, since=since):
        s.quit()
        return None
    r, settled = None, since
    for t, text in s.out.snapshot(since):
        m = harness.SETTLED_RE.match(text)
        if m:
            r = {"nodes": int(m.group(1)), "time": int(m.group(2)) / 1000.0}
            settled = t
            break
    s.waitForLine(r"^net: ", 5, since=settled)  # the counts after the view (a line every 2 s)
    s.quit()
    net = s.netStats(settled)
    last = net[-1][1] if net else {}
    r["full"], r["resumed"] = last.get("tls_full", 0), last.get("tls_resumed", 0)
    r["h2"] = last.get("http2_connections", 0)
    return r


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--viewer", required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--rtt-ms", type=float, default=50)
    ap.add_argument("--workdir", default=None)
    a = ap.parse_args()
    base = a.workdir or tempfile.mkdtemp(prefix="protocols-")
    s = harness.session_t(base)
    results = {p: [] for p in PROTOCOLS}
    try:
        s.startXvfb()
        rocktreed_port = harness.freePort()
        # nginx's connections all come from one address: up to one per stream.
        s.startRocktreed(a.rocktreed, rocktreed_port, ["--max-connections-per-ip", "512"])
        ports, ca = startNginx(s, os.path.join(base, "nginx"), rocktreed_port)
        link = startLink(s, a.rtt_ms, ports)
        viewOnce(s, a.viewer, "plain", ports["plain"], ca)  # rocktreed builds the view's answers once
        for k in range(a.runs):
            for p in PROTOCOLS:
                r = viewOnce(s, a.viewer, p, link[p], ca)
                results[p].append(r)
                if r is None:
                    print("run %d, %s: not settled within %d s" % (k + 1, p, SETTLE_LIMIT_S), flush=True)
                else:
                    print("run %d, %s: %.2f s to %d nodes, tls handshakes %d full %d resumed, %d http2 connections"
                          % (k + 1, p, r["time"], r["nodes"], r["full"], r["resumed"], r["h2"]), flush=True)
    finally:
        s.close()
    medians = {}
    for p in PROTOCOLS:
        done = [r for r in results[p] if r]
        if len(done) * 2 <= len(results[p]):
            print("time to full detail (%s): no median, too many runs did not settle" % p)
            continue
        times = [r["time"] if r else float("inf") for r in results[p]]
        medians[p] = statistics.median(times)
        print("time to full detail median (%s, rtt %g ms): %.2f s" % (p, a.rtt_ms, medians[p]))
        print("final nodes median (%s): %d nodes" % (p, statistics.median(r["nodes"] for r in done)))
        if p != "plain":
            print("tls handshakes full median (%s): %d handshakes" % (p, statistics.median(r["full"] for r in done)))
            print("tls handshakes resumed median (%s): %d handshakes" % (p, statistics.median(r["resumed"] for r in done)))
    for p in ("tls", "h2"):
        if p in medians and "plain" in medians:
            print("%s/plain time to full detail ratio: %.2f x" % (p, medians[p] / medians["plain"]))
    return 0 if len(medians) == len(PROTOCOLS) else 1


if __name__ == "__main__":
    sys.exit(main())
