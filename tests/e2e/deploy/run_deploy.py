#!/usr/bin/env python3
"""The shipped nginx configurations (deploy/nginx/) with rocktreed export and
rocktreed replicas, each on free loopback ports; the configurations are the
shipped files with their "site:" lines set for the run.

--mode static (export-only.conf): a small export written twice (the second
  run keeps every file), listed by a shell, then every file fetched through
  nginx equals rocktreed's live answer (status, type, Cache-Control); a node
  outside the export is 404; an HTTP/1.0 client is served too.
--mode fallback (export-then-rocktreed.conf): the busy region of the start
  view exported, rocktreed behind nginx for the rest. The viewer settles on
  as many nodes through nginx as against rocktreed directly, and most
  answers came from the files.
--mode replicas (cache-before-replicas.conf): two rocktreed replicas behind
  nginx's proxy_cache. A first viewer run fills the cache (both replicas
  answer; it lets the view settle at every step of its turn to the ground),
  a second is served from it: at least 95 % of its answers HIT.
--mode tls (tls-export-then-rocktreed.conf): a CA and certificates made for
  the run (tests/make_test_certs.sh). With --ca-file the viewer settles on
  the start view over HTTPS, its requests as streams of HTTP/2 with a
  handshake or two, its --header value nowhere in its output, and through
  tinyproxy (https_proxy) by CONNECT tunnels; without --ca-file, and
  with an expired certificate, one for another host and a self-signed one,
  it refuses the service with one line naming the host and the reason and
  exits 1; against a peer that answers TLS with plain HTTP it exits 1 too.

usage: run_deploy.py --mode MODE --rocktreed PATH [--viewer PATH] --workdir DIR
"""
import argparse
import http.client
import os
import re
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no __pycache__ in the source tree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
sys.path.insert(0, os.path.join(HERE, "..", "flight"))
sys.path.insert(0, os.path.join(HERE, ".."))
import harness  # noqa: E402
from viewer_e2e import check_t  # noqa: E402

CONFIGS = os.path.join(ROOT, "deploy", "nginx")
TURN_DOWN = 1600  # as viewer_e2e.py: from the sky to the ground
SETTLE_LIMIT_S = 90
IMMUTABLE = "public, max-age=31536000, immutable"


def renderConfig(name, prefix, port, root=None, upstreams=(), tls=None):
    """The shipped configuration with its site lines set; every site line
    must be found, so a change of the shipped file cannot go untested."""
    with open(os.path.join(CONFIGS, name)) as f:
        text = f.read()

    def replace(pattern, value, count):
        nonlocal text
        text, n = re.subn(pattern, value, text)
        if n != count:
            raise RuntimeError("%s: %d lines match %r, expected %d" % (name, n, pattern, count))

    replace(r"listen 127\.0\.0\.1:\d+", "listen 127.0.0.1:%d" % port, 1)
    if tls is not None:
        replace(r"ssl_certificate /etc/ssl/ostravel/fullchain\.pem;", "ssl_certificate %s;" % tls[0], 1)
        replace(r"ssl_certificate_key /etc/ssl/ostravel/key\.pem;", "ssl_certificate_key %s;" % tls[1], 1)
    if root is not None:
        replace(r"root /srv/ostravel/export;", "root %s;" % root, 1)
    if upstreams:
        servers = re.findall(r"^\s*server 127\.0\.0\.1:\d+;.*$", text, re.M)
        if len(servers) != len(upstreams):
            raise RuntimeError("%s: %d upstream lines for %d servers" % (name, len(servers), len(upstreams)))
        for line, up in zip(servers, upstreams):
            text = text.replace(line, "    server 127.0.0.1:%d;" % up, 1)
    os.makedirs(prefix, exist_ok=True)
    path = os.path.join(prefix, name)
    with open(path, "w") as f:
        f.write(text)
    return path


def startNginx(s, prefix, conf, port):
    # Started as root, nginx's workers would run as nobody, who may not be
    # able to reach a checkout under a private home: the test's workers run
    # as the test's user.
    globals_ = "daemon off;" + (" user root;" if os.geteuid() == 0 else "")
    p = subprocess.Popen([shutil.which("nginx") or "/usr/sbin/nginx", "-p", prefix, "-c", conf, "-g", globals_],
                         stdout=subprocess.DEVNULL, stderr=open(os.path.join(prefix, "stderr.log"), "w"))
    s.procs.append(p)
    if not harness.waitFor(lambda: p.poll() is not None or harness.httpGet(port, "/")[0] is not None, 20):
        raise RuntimeError("nginx did not come up")
    if p.poll() is not None:
        raise RuntimeError("nginx exited: %s" % open(os.path.join(prefix, "stderr.log")).read())
    s.log("nginx on port %d (%s)" % (port, os.path.basename(conf)))


def startRocktreed(s, rocktreed, port, name, extra=()):
    log = os.path.join(s.workdir, name + ".log")
    p = subprocess.Popen([rocktreed, "--port", str(port), "--threads", "2", *extra],
                         stdout=open(log, "w"), stderr=subprocess.STDOUT, cwd=s.workdir)
    s.procs.append(p)
    if not harness.waitFor(lambda: p.poll() is not None or
                           harness.httpGet(port, "/rt/earth/PlanetoidMetadata")[0] == 200, 60, 0.2):
        raise RuntimeError("rocktreed %s did not come up" % name)
    return log


def export(rocktreed, out, *args):
    """Runs rocktreed export; returns its standard error (progress, summary)."""
    r = subprocess.run([rocktreed, "export", "--out", out, "--threads", "2", *args], stderr=subprocess.PIPE,
                       stdout=subprocess.DEVNULL, text=True, timeout=300)
    print(r.stderr.strip().splitlines()[-1] if r.stderr.strip() else "(export printed nothing)", flush=True)
    if r.returncode != 0:
        raise RuntimeError("rocktreed export failed (%d): %s" % (r.returncode, r.stderr[-2000:]))
    return r.stderr


def summaryCounts(stderr):
    m = re.search(r"done: (\d+) files \((\d+) written, (\d+) already there, (\d+) failed\)", stderr)
    return tuple(int(x) for x in m.groups()) if m else None


def get(conn, path, headers=None):
    conn.request("GET", path, headers=headers or {})
    r = conn.getresponse()
    return r.status, dict((k.lower(), v) for k, v in r.getheaders()), r.read()


TURN_STEP = 200  # the harness's mouse steps


def viewerRun(a, workdir, port, settle_each_step=False):
    """One viewer at the start view, turned to the ground: the settled count.
    The view settles before the turn too, so that runs against a cold and a
    warm service start from the same tree. With settle_each_step the view
    also settles after every step of the turn: it then asks for everything
    any run could ask for on its way down (a fast service lets the walk go
    deeper in the frames of the turn than a cold one)."""
    s = harness.session_t(workdir)
    try:
        s.startXvfb()
        s.startViewer(a.viewer, "127.0.0.1:%d" % port, {"LIBGL_ALWAYS_SOFTWARE": "1"})
        if not s.waitForLine(r"^settled: ", SETTLE_LIMIT_S):
            return None
        if settle_each_step:
            for _ in range(TURN_DOWN // TURN_STEP - 1):
                moved = s.elapsed()
                s.mouse(0, TURN_STEP)
                s.waitForLine(r"^settled: ", 20, since=moved)
            s.mouse(0, TURN_DOWN - (TURN_DOWN // TURN_STEP - 1) * TURN_STEP)
        else:
            s.mouse(0, TURN_DOWN, step=TURN_STEP)
        turned = s.elapsed()
        if not s.waitForLine(r"^settled: ", SETTLE_LIMIT_S, since=turned):
            return None
        for _, text in s.out.snapshot(turned):
            m = harness.SETTLED_RE.match(text)
            if m:
                s.log(text)
                return int(m.group(1))
        return None
    finally:
        if s.viewer is not None and s.viewerAlive():
            s.quit()
        s.close()


def logLines(path):
    with open(path) as f:
        return [l for l in f.read().splitlines() if "/rt/earth/" in l]


def runStatic(a, c, s):
    out = os.path.join(a.workdir, "export")
    region = ("--base-level", "2", "--region", "48.0,1.0,50.0,4.0", "--max-level", "12")
    first = summaryCounts(export(a.rocktreed, out, *region))
    c.expect(first is not None and first[1] == first[0] > 1000 and first[3] == 0,
             "the export writes every file of its plan (%s)" % (first,))
    again = summaryCounts(export(a.rocktreed, out, *region))
    c.expect(again is not None and again[2] == first[0] and again[1] == 0,
             "a second run keeps every file (%s)" % (again,))
    # A shell lists and reads names with "!" and "=".
    listed = subprocess.run(["bash", "-c", "cd \"$1\" && ls NodeData BulkMetadata | grep -c '^pb=!1m2!1s' && "
                             "cat 'NodeData/pb=!1m2!1s3!2u1001!2e1!4b0' | wc -c", "-", out + "/rt/earth"],
                            stdout=subprocess.PIPE, text=True).stdout.split()
    c.expect(len(listed) == 2 and int(listed[0]) == first[0] - 1 and int(listed[1]) > 0,
             "a shell lists %s of %d files and reads one" % (listed[:1], first[0] - 1))

    live_port, nginx_port = harness.freePort(), harness.freePort()
    startRocktreed(s, a.rocktreed, live_port, "rocktreed")
    prefix = os.path.join(a.workdir, "nginx")
    startNginx(s, prefix, renderConfig("export-only.conf", prefix, nginx_port, root=out), nginx_port)
    via_nginx = http.client.HTTPConnection("127.0.0.1", nginx_port, timeout=30)
    live = http.client.HTTPConnection("127.0.0.1", live_port, timeout=60)
    base = os.path.join(out, "rt", "earth")
    bad = []
    files = 0
    for d, _, names in os.walk(base):
        for n in names:
            path = "/rt/earth/" + os.path.relpath(os.path.join(d, n), base)
            with open(os.path.join(d, n), "rb") as f:
                data = f.read()
            status, headers, body = get(via_nginx, path)
            live_status, live_headers, live_body = get(live, path)
            files += 1
            if (status, body, headers.get("content-type"), headers.get("cache-control")) != \
                    (200, data, "application/octet-stream", IMMUTABLE) or (live_status, live_body) != (200, data):
                bad.append(path)
    c.expect(files == first[0] and not bad,
             "every file through nginx is rocktreed's live answer (%d files, %d differ: %s)" % (files, len(bad), bad[:3]))
    # Outside the export: a node rocktreed has, nginx does not.
    outside = "/rt/earth/NodeData/pb=!1m2!1s21212121!2u1001!2e1!4b0"
    status, headers, _ = get(via_nginx, outside)
    c.expect(status == 404 and headers.get("content-type", "").startswith("text/plain") and
             headers.get("cache-control") == "no-store",
             "a node outside the export is a plain-text, uncacheable 404 (%s)" % status)
    c.expect(get(live, outside)[0] == 200, "rocktreed has that node")
    status, body = harness.httpGet(nginx_port, "/rt/earth/PlanetoidMetadata")
    c.expect(status == 200 and body == open(os.path.join(base, "PlanetoidMetadata"), "rb").read(),
             "an HTTP/1.0 client gets the planetoid")


# The start view's busy region, three exports into one directory (the
# coarse levels over the whole view, the finer ones where the view is near):
# the answers of about 2,300 nodes, CRN only as the viewer asks.
FALLBACK_EXPORTS = [
    ("--base-level", "4", "--region", "47.2,2.2,50.2,5.4", "--max-level", "12"),
    ("--base-level", "0", "--region", "48.42,2.36,48.96,2.82", "--max-level", "13"),
    ("--base-level", "0", "--region", "48.49,2.37,48.83,2.71", "--max-level", "14"),
    ("--base-level", "0", "--region", "48.57,2.38,48.74,2.50", "--max-level", "15"),
]


def runFallback(a, c, s):
    out = os.path.join(a.workdir, "export")
    for args in FALLBACK_EXPORTS:
        export(a.rocktreed, out, "--texture-formats", "crn", *args)
    port = harness.freePort()
    startRocktreed(s, a.rocktreed, port, "rocktreed", ("--texture-formats", "crn"))
    direct = viewerRun(a, os.path.join(a.workdir, "direct"), port)
    c.expect(direct is not None, "the viewer settles against rocktreed (%s nodes)" % direct)

    nginx_port = harness.freePort()
    prefix = os.path.join(a.workdir, "nginx")
    startNginx(s, prefix, renderConfig("export-then-rocktreed.conf", prefix, nginx_port, root=out,
                                       upstreams=[port]), nginx_port)
    through = viewerRun(a, os.path.join(a.workdir, "through-nginx"), nginx_port)
    c.expect(through is not None and through == direct,
             "through nginx it settles on the same nodes (%s against %s)" % (through, direct))
    lines = logLines(os.path.join(prefix, "access.log"))
    # 499: requests still in flight when the viewer quit.
    failed = [l for l in lines if not re.search(r'" (200|499) ', l)]
    c.expect(not failed, "every answer through nginx succeeded %s" % failed[:3])
    answered = [l for l in lines if '" 200 ' in l]
    from_files = sum(1 for l in answered if l.endswith("upstream=-"))
    c.expect(answered and from_files * 2 > len(answered),
             "most answers came from the files (%d of %d)" % (from_files, len(answered)))


def runReplicas(a, c, s):
    ports = [harness.freePort(), harness.freePort()]
    logs = [startRocktreed(s, a.rocktreed, p, "replica%d" % k) for k, p in enumerate(ports)]
    nginx_port = harness.freePort()
    prefix = os.path.join(a.workdir, "nginx")
    startNginx(s, prefix, renderConfig("cache-before-replicas.conf", prefix, nginx_port, upstreams=ports),
               nginx_port)
    access = os.path.join(prefix, "access.log")
    first = viewerRun(a, os.path.join(a.workdir, "first"), nginx_port, settle_each_step=True)
    c.expect(first is not None, "a first viewer settles through the cache (%s nodes)" % first)
    served = [sum(1 for l in open(p) if l.startswith("GET /rt/earth/")) for p in logs]
    c.expect(all(n > 0 for n in served), "both replicas answered (%s requests)" % served)
    before = len(logLines(access))
    second = viewerRun(a, os.path.join(a.workdir, "second"), nginx_port)
    c.expect(second == first, "a second viewer settles on the same nodes (%s against %s)" % (second, first))
    lines = [l for l in logLines(access)[before:] if '" 200 ' in l]
    hits = sum(1 for l in lines if l.endswith("cache=HIT"))
    with open(os.path.join(a.workdir, "second-run-misses.log"), "w") as f:
        f.write("".join(l + "\n" for l in lines if not l.endswith("cache=HIT")))
    c.expect(lines and hits >= 0.95 * len(lines), "the second run came from nginx's cache (%d of %d HIT)" %
             (hits, len(lines)))
    status, headers, _ = get(http.client.HTTPConnection("127.0.0.1", nginx_port, timeout=30),
                             "/rt/earth/NodeData/pb=!1m2!1s3003!2u1001!2e7!4b0")
    c.expect(status == 400 and headers.get("cache-control") == "no-store", "errors pass through, not kept")


def viewerRefuses(a, workdir, args):
    """A viewer run that must end by itself: (exit status, its standard
    output and error)."""
    s = harness.session_t(workdir)
    try:
        s.startXvfb()
        s.startViewer(a.viewer, "127.0.0.1:1", {"LIBGL_ALWAYS_SOFTWARE": "1"}, args=args)
        rc = s.waitForExit(60)
        return rc, "".join(t + "\n" for _, t in s.out.snapshot() + s.err.snapshot())
    finally:
        s.close()


def runTls(a, c, s):
    certs = os.path.join(a.workdir, "certs")
    subprocess.run(["bash", os.path.join(ROOT, "tests", "make_test_certs.sh"), certs], check=True)
    out = os.path.join(a.workdir, "export")
    export(a.rocktreed, out, "--texture-formats", "crn", *FALLBACK_EXPORTS[0])
    port = harness.freePort()
    startRocktreed(s, a.rocktreed, port, "rocktreed", ("--texture-formats", "crn"))
    ports = {}
    for cert in ("good", "expired", "wronghost", "selfsigned"):
        ports[cert] = harness.freePort()
        prefix = os.path.join(a.workdir, "nginx-" + cert)
        conf = renderConfig("tls-export-then-rocktreed.conf", prefix, ports[cert], root=out, upstreams=[port],
                            tls=(os.path.join(certs, cert + ".pem"), os.path.join(certs, "leaf.key")))
        startNginx(s, prefix, conf, ports[cert])
    ca = ("--ca-file", os.path.join(certs, "ca.pem"))

    def service(cert):
        return ("--service", "https://localhost:%d/rt/earth/" % ports[cert])

    v = harness.session_t(os.path.join(a.workdir, "verified"))
    try:
        v.startXvfb()
        v.startViewer(a.viewer, "127.0.0.1:1", {"LIBGL_ALWAYS_SOFTWARE": "1"},
                      args=(*service("good"), *ca, "--header", "X-Api-Key: s3cret-e2e"))
        settled = v.waitForLine(r"^settled: ", SETTLE_LIMIT_S)
        _, nodes = v.firstSettled()
        c.expect(settled and nodes, "over HTTPS with --ca-file the viewer settles (%s nodes)" % nodes)
        # The counts come with the "net:" lines, every 2 s. nginx offers
        # HTTP/2 here: the view's requests share one connection as streams,
        # so there are only a few handshakes (a GOAWAY after nginx's 1,000
        # requests brings one more; resumption across connections is
        # tested on HTTP/1.1 in test_tls).
        harness.waitFor(lambda: any(n["http2_streams"] for _, n in v.netStats()), 10)
        net = v.netStats()
        last = net[-1][1] if net else {}
        v.log("TLS handshakes: %s full, %s resumed; HTTP/2: %s connections, %s streams" %
              (last.get("tls_full"), last.get("tls_resumed"), last.get("http2_connections"),
               last.get("http2_streams")))
        c.expect(last.get("http2_connections", 0) >= 1 and last.get("http2_streams", 0) >= nodes,
                 "the view came over HTTP/2 (%s connections, %s streams)" %
                 (last.get("http2_connections"), last.get("http2_streams")))
        c.expect(1 <= last.get("tls_full", 0) + last.get("tls_resumed", 0) <= 2 * last.get("http2_connections", 0),
                 "a handshake or two per HTTP/2 connection (%s full, %s resumed)" %
                 (last.get("tls_full"), last.get("tls_resumed")))
        v.quit()
        said = "".join(t for _, t in v.out.snapshot() + v.err.snapshot())
        c.expect("s3cret-e2e" not in said, "the --header value is in none of the viewer's output")
    finally:
        v.close()
    # Through a real proxy (tinyproxy) from https_proxy, as curl reads it:
    # the service is reached by CONNECT tunnels, its certificate still checked.
    proxy_port = harness.freePort()
    proxy_dir = os.path.join(a.workdir, "tinyproxy")
    os.makedirs(proxy_dir, exist_ok=True)
    conf = os.path.join(proxy_dir, "tinyproxy.conf")
    with open(conf, "w") as f:
        f.write("Port %d\nListen 127.0.0.1\nTimeout 30\nMaxClients 50\nLogLevel Connect\n" % proxy_port)
    proxy_log = os.path.join(proxy_dir, "tinyproxy.out")
    s.procs.append(subprocess.Popen(["tinyproxy", "-d", "-c", conf], stdout=open(proxy_log, "w"),
                                    stderr=subprocess.STDOUT))
    harness.waitFor(lambda: "listening on" in open(proxy_log).read().lower() or
                    harness.httpGet(proxy_port, "/")[0] is not None, 10)
    v = harness.session_t(os.path.join(a.workdir, "proxied"))
    try:
        v.startXvfb()
        v.startViewer(a.viewer, "127.0.0.1:1", {"LIBGL_ALWAYS_SOFTWARE": "1", "no_proxy": "", "NO_PROXY": "",
                                                "https_proxy": "http://127.0.0.1:%d" % proxy_port},
                      args=(*service("good"), *ca))
        proxied = v.waitForLine(r"^settled: ", SETTLE_LIMIT_S)
        v.quit()
    finally:
        v.close()
    tunnels = open(proxy_log).read().count("CONNECT localhost:%d " % ports["good"])
    c.expect(proxied and tunnels >= 1, "through tinyproxy (https_proxy) the viewer settles, its connections "
             "CONNECT tunnels (%d)" % tunnels)

    lines = logLines(os.path.join(a.workdir, "nginx-good", "access.log"))
    c.expect(lines and all(" tls=TLSv1." in l for l in lines), "every request came over TLS (%d)" % len(lines))

    refusals = [("without --ca-file", service("good"), "unable to get local issuer certificate"),
                ("expired", service("expired") + ca, "certificate has expired"),
                ("for another host", service("wronghost") + ca, "hostname mismatch"),
                ("self-signed", service("selfsigned") + ca, "self-signed certificate")]
    for what, args, reason in refusals:
        rc, said = viewerRefuses(a, os.path.join(a.workdir, "refused-" + what.replace(" ", "-")), args)
        line = "certificate of localhost rejected: " + reason
        c.expect(rc == 1 and said.count(line) == 1 and "no planetoid" in said,
                 "a certificate %s: the service is refused with one line (exit %s, %r)" % (what, rc, said[-300:]))
    rc, said = viewerRefuses(a, os.path.join(a.workdir, "plain-peer"),
                             ("--service", "https://127.0.0.1:%d/rt/earth/" % port))
    c.expect(rc == 1 and "no planetoid" in said, "a peer that answers TLS with plain HTTP: exit 1 (%s)" % rc)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mode", choices=("static", "fallback", "replicas", "tls"), required=True)
    ap.add_argument("--rocktreed", required=True)
    ap.add_argument("--viewer")
    ap.add_argument("--workdir", required=True)
    a = ap.parse_args()
    a.rocktreed = os.path.abspath(a.rocktreed)
    if a.viewer:
        a.viewer = os.path.abspath(a.viewer)
    shutil.rmtree(a.workdir, ignore_errors=True)
    os.makedirs(a.workdir)
    c = check_t()
    s = harness.session_t(a.workdir)
    try:
        {"static": runStatic, "fallback": runFallback, "replicas": runReplicas, "tls": runTls}[a.mode](a, c, s)
    finally:
        s.close()
    return c.exitStatus(a.workdir)


if __name__ == "__main__":
    sys.exit(main())
