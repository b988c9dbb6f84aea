"""Shared pieces of the end-to-end runs: a private X server, rocktreed, the
viewer, input through xdotool, screenshots read back as pixel statistics.

Everything binds 127.0.0.1, every wait is bounded, and every process started
here is stopped by close(), so a failing run leaves nothing behind.
"""
import math
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import threading
import time

PLANET_RADIUS = 6371010.0

POS_RE = re.compile(r"^pos: (\S+) (\S+) (\S+), dir: (\S+) (\S+) (\S+)")
STATS_RE = re.compile(
    r"^buffered: (-?\d+), tot_n: (-?\d+), tot_b: (-?\d+), pot_n: (\d+), "
    r"pot_b: (\d+), obs n: (-?\d+), obs b: (-?\d+)")
SETTLED_RE = re.compile(r"^settled: (\d+) nodes after (\d+) ms")
NET_RE = re.compile(
    r"^net: in_flight (\d+), queued (\d+), cancelled (\d+), cache_bytes (\d+), evicted (\d+), "
    r"reused_connections (\d+)(?:, tls_handshakes (\d+) full (\d+) resumed)?"
    r"(?:, http2 (\d+) connections (\d+) streams)?$")
NET_FIELDS = ("in_flight", "queued", "cancelled", "cache_bytes", "evicted", "reused_connections",
              "tls_full", "tls_resumed", "http2_connections", "http2_streams")


REQUEST_RE = re.compile(r"GET /rt/earth/(NodeData|BulkMetadata)/pb=!1m2!1s([0-7]*)!")


def servedPaths(log_path, start=0):
    """rocktreed's access log from byte offset `start` to its last complete
    line: the requested records ("N" or "B" and the path, in order) and the
    offset after them."""
    with open(log_path, "rb") as f:
        f.seek(start)
        data = f.read()
    cut = data.rfind(b"\n") + 1
    paths = []
    for line in data[:cut].decode("utf-8", "replace").splitlines():
        m = REQUEST_RE.search(line)
        if m:
            paths.append(m.group(1)[0] + m.group(2))
    return paths, start + cut


def freePort():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def waitFor(predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def httpGet(port, path, timeout=5.0):
    """One HTTP/1.0 GET; returns (status, body) or (None, b'') on failure."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1:%d\r\n\r\n" % (path, port)).encode())
            data = b""
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
        head, _, body = data.partition(b"\r\n\r\n")
        status = int(head.split(b" ", 2)[1])
        return status, body
    except (OSError, ValueError, IndexError):
        return None, b""


class relay_t:
    """The service's address for the viewer: relays each connection to
    rocktreed while forwarding, and counts every connection it accepts.
    The viewer keeps one address for both runs (its disk cache is keyed by
    it), and the relay can count on it after rocktreed has gone."""

    def __init__(self, upstream_port):
        self.upstream = upstream_port
        self.forwarding = True
        self.count = 0
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.sock.listen(64)
        self.sock.settimeout(0.2)
        self.running = True
        self.thread = threading.Thread(target=self.loop, daemon=True)
        self.thread.start()

    def loop(self):
        while self.running:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                continue
            self.count += 1
            if self.forwarding:
                threading.Thread(target=self.relay, args=(conn,), daemon=True).start()
            else:
                conn.close()

    def relay(self, conn):
        try:
            up = socket.create_connection(("127.0.0.1", self.upstream), timeout=30)
        except OSError:
            conn.close()
            return

        def pump(src, dst):
            try:
                while True:
                    data = src.recv(65536)
                    if not data:
                        break
                    dst.sendall(data)
            except OSError:
                pass
            try:
                dst.shutdown(socket.SHUT_WR)
            except OSError:
                pass

        back = threading.Thread(target=pump, args=(up, conn), daemon=True)
        back.start()
        pump(conn, up)
        back.join(timeout=60)
        conn.close()
        up.close()

    def close(self):
        self.running = False
        self.thread.join(timeout=5)
        self.sock.close()


class line_log_t:
    """Collects the lines of a stream with their arrival time, on a thread."""

    def __init__(self, stream, path, t0):
        self.lines = []  # (seconds since t0, text)
        self.lock = threading.Lock()
        self.t0 = t0
        self.file = open(path, "w", encoding="utf-8", errors="replace")
        self.thread = threading.Thread(target=self.pump, args=(stream,), daemon=True)
        self.thread.start()

    def pump(self, stream):
        for raw in iter(stream.readline, b""):
            text = raw.decode("utf-8", "replace").rstrip("\n")
            t = time.monotonic() - self.t0
            with self.lock:
                self.lines.append((t, text))
            self.file.write("%8.3f %s\n" % (t, text))
            self.file.flush()

    def snapshot(self, since=0.0):
        with self.lock:
            return [(t, s) for t, s in self.lines if t >= since]

    def close(self):
        self.thread.join(timeout=5)
        self.file.close()


class screenshot_t:
    """Pixel statistics of one frame of the X root window (XWD, 24/32 bpp)."""

    def __init__(self, xwd):
        header = struct.unpack(">25I", xwd[:100])
        header_size, width, height = header[0], header[4], header[5]
        byte_order, bpp, bytes_per_line = header[7], header[11], header[12]
        ncolors = header[19]
        offset = header_size + 12 * ncolors
        self.width, self.height = width, height
        step = max(1, min(width, height) // 180)
        self.samples = []
        if bpp not in (24, 32):
            raise ValueError("unexpected XWD depth %d" % bpp)
        px = bpp // 8
        for y in range(0, height, step):
            row = offset + y * bytes_per_line
            for x in range(0, width, step):
                p = row + x * px
                b0, b1, b2 = xwd[p], xwd[p + 1], xwd[p + 2]
                # LSB first: blue, green, red in memory.
                self.samples.append((b2, b1, b0) if byte_order == 0 else (b0, b1, b2))
        n = len(self.samples)
        self.black_fraction = sum(1 for r, g, b in self.samples if r + g + b < 24) / n
        mean = [sum(c[i] for c in self.samples) / n for i in range(3)]
        self.mean = mean
        self.stddev = (sum(sum((c[i] - mean[i]) ** 2 for i in range(3)) for c in self.samples) / (3 * n)) ** 0.5
        self.distinct = len({(r >> 3, g >> 3, b >> 3) for r, g, b in self.samples})

    def summary(self):
        return "black %.1f%%, mean rgb %.0f/%.0f/%.0f, stddev %.1f, %d colours" % (
            100 * self.black_fraction, *self.mean, self.stddev, self.distinct)


class session_t:
    """One X server, optionally rocktreed, and the viewer, all in workdir."""

    def __init__(self, workdir):
        self.workdir = workdir
        os.makedirs(workdir, exist_ok=True)
        self.t0 = time.monotonic()
        self.procs = []
        self.display = None
        self.viewer = None
        self.rocktreed = None
        self.rocktreed_log = None
        self.out = None
        self.err = None
        self.shots = 0
        self.peak_rss_kb = 0

    def elapsed(self):
        return time.monotonic() - self.t0

    def log(self, text):
        print("[%6.1f s] %s" % (self.elapsed(), text), flush=True)

    # -- processes ---------------------------------------------------------

    def startXvfb(self):
        r, w = os.pipe()
        p = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", "2560x1440x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=open(os.path.join(self.workdir, "xvfb.log"), "w"))
        os.close(w)
        self.procs.append(p)
        number = b""
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and not number.endswith(b"\n"):
            chunk = os.read(r, 16)
            if not chunk:
                break
            number += chunk
        os.close(r)
        if not number.strip():
            raise RuntimeError("Xvfb did not start")
        self.display = ":" + number.decode().strip()
        self.log("Xvfb on display %s" % self.display)

    def startRocktreed(self, binary, port, extra=()):
        self.rocktreed_log = os.path.join(self.workdir, "rocktreed.log")
        binary = os.path.abspath(binary)
        p = subprocess.Popen([binary, "--port", str(port), "--bind", "127.0.0.1", *extra],
                             stdout=open(self.rocktreed_log, "w"), stderr=subprocess.STDOUT,
                             cwd=self.workdir)
        self.procs.append(p)
        self.rocktreed = p
        ok = waitFor(lambda: p.poll() is not None or httpGet(port, "/rt/earth/PlanetoidMetadata")[0] == 200, 60, 0.2)
        if not ok or p.poll() is not None:
            raise RuntimeError("rocktreed did not come up on port %d" % port)
        self.log("rocktreed on port %d" % port)

    def startViewer(self, binary, service_host, extra_env=None, args=(), keep_cache=False):
        """The viewer in workdir; its disk cache (workdir/cache) starts empty
        unless keep_cache, so that every run fetches what it shows."""
        if not keep_cache:
            shutil.rmtree(os.path.join(self.workdir, "cache"), ignore_errors=True)
        env = dict(os.environ)
        env["DISPLAY"] = self.display
        env["OSTRAVEL_SERVICE_HOST"] = service_host
        env.pop("WAYLAND_DISPLAY", None)
        env.setdefault("LIBGL_ALWAYS_SOFTWARE", "1")
        env.setdefault("SDL_VIDEODRIVER", "x11")
        if extra_env:
            env.update(extra_env)
        p = subprocess.Popen([os.path.abspath(binary), *args], cwd=self.workdir, env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.procs.append(p)
        self.viewer = p
        self.out = line_log_t(p.stdout, os.path.join(self.workdir, "viewer.out"), self.t0)
        self.err = line_log_t(p.stderr, os.path.join(self.workdir, "viewer.err"), self.t0)
        threading.Thread(target=self.watchRss, daemon=True).start()
        self.log("viewer started (pid %d) against %s" % (p.pid, service_host))

    def watchRss(self):
        # VmHWM is the peak; read it until the process is gone.
        while self.viewer.poll() is None:
            try:
                with open("/proc/%d/status" % self.viewer.pid) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            self.peak_rss_kb = max(self.peak_rss_kb, int(line.split()[1]))
            except OSError:
                break
            time.sleep(0.5)

    def viewerAlive(self):
        return self.viewer is not None and self.viewer.poll() is None

    def waitForLine(self, regex, timeout, since=0.0):
        pattern = re.compile(regex)

        def found():
            return any(pattern.search(s) for _, s in self.out.snapshot(since))
        return waitFor(lambda: found() or not self.viewerAlive(), timeout) and found()

    def quit(self, timeout=60):
        """Escape, then the exit status (None when it had to be killed)."""
        if self.viewerAlive():
            self.xdo("key", "Escape")
        return self.waitForExit(timeout, " after Escape")

    def waitForExit(self, timeout, after=""):
        """The viewer's exit status (None when it had to be killed)."""
        try:
            rc = self.viewer.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.log("viewer did not exit %d s%s: killed" % (timeout, after))
            self.viewer.kill()
            self.viewer.wait()
            rc = None
        self.out.close()
        self.err.close()
        return rc

    def firstSettled(self, since=0.0):
        """(seconds since t0, nodes) of the first "settled:" line, or (None, None)."""
        for t, text in self.out.snapshot(since):
            m = SETTLED_RE.match(text)
            if m:
                return t, int(m.group(1))
        return None, None

    def close(self):
        for p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.procs = []

    # -- input and pictures ------------------------------------------------

    def xdo(self, *args):
        subprocess.run(["xdotool", *args], env={**os.environ, "DISPLAY": self.display},
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=20)

    def mouse(self, dx, dy, step=200, pause=0.08):
        """Relative motion in steps of at most `step` pixels."""
        while dx or dy:
            sx = max(-step, min(step, dx))
            sy = max(-step, min(step, dy))
            self.xdo("mousemove_relative", "--", str(sx), str(sy))
            dx -= sx
            dy -= sy
            time.sleep(pause)

    def hold(self, keys, seconds):
        self.xdo("keydown", *keys)
        time.sleep(seconds)
        self.xdo("keyup", *keys)

    def screenshot(self, name, keep=True):
        xwd = subprocess.run(["xwd", "-root", "-silent"], env={**os.environ, "DISPLAY": self.display},
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=60).stdout
        shot = screenshot_t(xwd)
        if not keep:
            return shot
        self.shots += 1
        path = os.path.join(self.workdir, "%02d-%s.png" % (self.shots, name))
        try:
            subprocess.run(["convert", "xwd:-", "-resize", "50%", path], input=xwd, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        except (OSError, subprocess.TimeoutExpired):
            pass
        self.log("screenshot %s: %s" % (name, shot.summary()))
        return shot

    # -- what the viewer printed ---------------------------------------------

    def positions(self, since=0.0):
        result = []
        for t, s in self.out.snapshot(since):
            m = POS_RE.match(s)
            if m:
                v = [float(x) for x in m.groups()]
                alt = (v[0] ** 2 + v[1] ** 2 + v[2] ** 2) ** 0.5 - PLANET_RADIUS
                result.append((t, v[:3], v[3:], alt))
        return result

    def stats(self, since=0.0):
        result = []
        for t, s in self.out.snapshot(since):
            m = STATS_RE.match(s)
            if m:
                g = [int(x) for x in m.groups()]
                result.append((t, dict(zip(("buffered", "tot_n", "tot_b", "pot_n", "pot_b", "obs_n", "obs_b"), g))))
        return result

    def netStats(self, since=0.0):
        """The "net:" lines: (time, dict of their six figures)."""
        result = []
        for t, s in self.out.snapshot(since):
            m = NET_RE.match(s)
            if m:
                result.append((t, dict(zip(NET_FIELDS, (int(x or 0) for x in m.groups())))))
        return result

    def altitude(self):
        pos = self.positions()
        return pos[-1][3] if pos else None

    def elevation(self):
        """Degrees of the view above the local horizon, from the last pos: line."""
        pos = self.positions()
        if not pos:
            return None
        _, p, d, _ = pos[-1]
        r = sum(x * x for x in p) ** 0.5
        n = sum(x * x for x in d) ** 0.5
        if not r or not n:
            return None
        return math.degrees(math.asin(max(-1.0, min(1.0, sum(a * b for a, b in zip(p, d)) / (r * n)))))

    def freshPosition(self, timeout=10):
        """Waits for the next pos: line; returns its altitude or None."""
        since = self.elapsed()
        if self.waitForLine(r"^pos: ", timeout, since):
            return self.altitude()
        return None

    def pitchTo(self, degrees):
        """Turns the view to an elevation, from the last pos: line."""
        self.freshPosition()
        now = self.elevation()
        if now is not None:
            self.mouse(0, -int(round(math.radians(degrees - now) / 0.001)))


def speedMetresPerMs(altitude, boost=1):
    """The camera's speed rule: metres per millisecond at an altitude."""
    amp = min(max((altitude - 500.0) / 10000.0, 0.0) + 1.0, 1e30) ** 1.337
    amp = min(amp, 2600.0) / 6.0
    return 100.0 / 17.0 * boost * amp


def holdTime(start_alt, end_alt, boost=1):
    """Seconds a vertical key must be held to go from one altitude to another."""
    alt, t, dt = start_alt, 0.0, 1.0
    sign = 1 if end_alt > start_alt else -1
    while (alt - end_alt) * sign < 0 and t < 600000:
        alt += sign * speedMetresPerMs(alt, boost) * dt
        t += dt
    return t / 1000.0
