"""A rocktree service that misbehaves on purpose.

It answers on 127.0.0.1 by forwarding every request to a real rocktreed and
then, according to the current mode, spoils the answer: cut, replaced,
edited inside the message, delayed, held open, refused. Modes are switched
at run time by the test (set_mode), so one viewer run meets all of them.

Every answer that was spoiled records its request path as a victim of the
current mode, and every good 200 answer is recorded with its time, so the
test can tell whether the viewer came back for what it lost.
"""
import base64
import os
import random
import re
import socket
import threading
import time

import pbwire

PATH_RE = re.compile(r"^/rt/earth/(PlanetoidMetadata|BulkMetadata|NodeData)(?:/pb=!1m2!1s([0-7]*)!)?")

MODES = ("good", "truncated", "random", "badbox", "duppaths", "hugestrip", "badtexture",
         "notfound", "hang", "drip", "garbage", "dies", "silent")

HOLD_MAX_S = 45          # a held connection is released after this, at the latest
MAX_CONNECTIONS = 64     # more than the viewer's eight downloads, fewer than a flood
GARBAGE_BYTES = 10 * 1024 * 1024


class hostile_service_t:
    def __init__(self, upstream_port, seed=7):
        self.upstream_port = upstream_port
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.mode = "good"
        self.mode_since = time.monotonic()
        self.mode_count = 0         # spoiled answers in the current mode
        self.prefix = None          # the subtree that "notfound" refuses
        self.cache = {}             # upstream answers by path
        self.victims = {}           # mode -> {path: time of last spoiled answer}
        self.served = {}            # path -> times of good 200 answers
        self.requests = 0
        self.stopping = threading.Event()
        self.held = []              # connections held open on purpose
        self.given_up = []          # seconds until the viewer closed a held one
        self.active = set()
        self.listener = None
        self.port = None
        self.accept_thread = None
        self.slots = threading.Semaphore(MAX_CONNECTIONS)

    # -- control -------------------------------------------------------------

    def start(self, port=0):
        self.listen(port)
        self.accept_thread = threading.Thread(target=self.acceptLoop, daemon=True)
        self.accept_thread.start()
        return self.port

    def listen(self, port):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.listen(64)
        s.settimeout(0.2)
        self.port = s.getsockname()[1]
        self.listener = s

    def setMode(self, mode):
        assert mode in MODES, mode
        with self.lock:
            self.mode = mode
            self.mode_since = time.monotonic()
            self.mode_count = 0
            self.prefix = None
        if mode == "dies":
            self.die()
        elif self.listener is None:
            self.listen(self.port)

    def die(self):
        """Stop listening and cut every open connection with a reset."""
        with self.lock:
            listener, self.listener = self.listener, None
            open_now = list(self.active)
        if listener:
            listener.close()
        for c in open_now:
            reset(c)

    def stop(self):
        self.stopping.set()
        self.die()
        for c in list(self.held):
            reset(c)
        if self.accept_thread:
            self.accept_thread.join(timeout=5)

    def victimsOf(self, mode):
        with self.lock:
            return dict(self.victims.get(mode, {}))

    def servedAfter(self, path, t):
        with self.lock:
            return any(x > t for x in self.served.get(path, ()))

    def servedPaths(self):
        # A snapshot: the serving threads add paths while the test reads them.
        with self.lock:
            return list(self.served)

    # -- serving -------------------------------------------------------------

    def acceptLoop(self):
        while not self.stopping.is_set():
            listener = self.listener
            if listener is None:
                time.sleep(0.05)
                continue
            try:
                conn, _ = listener.accept()
            except (socket.timeout, OSError):
                continue
            if not self.slots.acquire(timeout=5):
                reset(conn)
                continue
            threading.Thread(target=self.handle, args=(conn,), daemon=True).start()

    def handle(self, conn):
        with self.lock:
            self.active.add(conn)
        try:
            self.answer(conn)
        except OSError:
            pass
        finally:
            with self.lock:
                self.active.discard(conn)
            if conn not in self.held:
                try:
                    conn.close()
                except OSError:
                    pass
            self.slots.release()

    def answer(self, conn):
        conn.settimeout(10)
        head = b""
        while b"\r\n\r\n" not in head and len(head) < 8192:
            chunk = conn.recv(4096)
            if not chunk:
                return
            head += chunk
        line = head.split(b"\r\n", 1)[0].decode("latin-1")
        parts = line.split(" ")
        target = parts[1] if len(parts) >= 2 else "/"
        m = PATH_RE.match(target)
        kind = m.group(1) if m else None
        path = (m.group(2) or "") if m else ""
        status, body = self.upstream(target)

        with self.lock:
            self.requests += 1
            mode = self.mode
            if mode == "notfound" and self.prefix is None and kind == "NodeData" and len(path) >= 3:
                # Four levels up: a subtree wide enough that some of what it
                # refuses is still in view once the service behaves again
                # (two levels up, the refused nodes could all belong to a
                # view the viewer had passed by then, and nobody asks again).
                self.prefix = path[:max(2, len(path) - 4)]
            prefix = self.prefix
            count = self.mode_count

        # The planetoid is fetched once, at start-up, where a failure is
        # fatal by design: it is never spoiled.
        spoiled = None
        if status == 200 and kind in ("BulkMetadata", "NodeData"):
            spoiled = self.spoil(mode, kind, path, body, prefix, count)
        if spoiled is None:
            self.send(conn, status, body)
            if status == 200 and kind:
                with self.lock:
                    self.served.setdefault(kind[0] + path, []).append(time.monotonic())
            return
        with self.lock:
            self.mode_count += 1
            self.victims.setdefault(mode, {})[kind[0] + path] = time.monotonic()
        spoiled(conn)

    def upstream(self, target):
        with self.lock:
            hit = self.cache.get(target)
        if hit:
            return hit
        for _ in range(3):
            try:
                with socket.create_connection(("127.0.0.1", self.upstream_port), timeout=20) as u:
                    u.sendall(("GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % target).encode())
                    data = b""
                    while True:
                        chunk = u.recv(65536)
                        if not chunk:
                            break
                        data += chunk
                head, _, body = data.partition(b"\r\n\r\n")
                result = (int(head.split(b" ", 2)[1]), body)
                with self.lock:
                    if len(self.cache) < 20000:
                        self.cache[target] = result
                return result
            except (OSError, ValueError, IndexError):
                time.sleep(0.2)
        return 502, b""

    @staticmethod
    def send(conn, status, body, reason=None):
        reason = reason or {200: "OK", 404: "Not Found"}.get(status, "Error")
        conn.sendall(b"HTTP/1.0 %d %s\r\nContent-Type: application/octet-stream\r\n"
                     b"Content-Length: %d\r\n\r\n" % (status, reason.encode(), len(body)) + body)

    # -- the ways to spoil an answer -----------------------------------------
    # Each returns None (answer normally) or a function that writes the
    # spoiled answer to the connection.

    def spoil(self, mode, kind, path, body, prefix, count):
        rng = self.rng
        send = self.send
        if mode == "truncated":
            cut = body[:rng.randint(1, max(1, len(body) - 1))]
            return lambda c: send(c, 200, cut)
        if mode == "random":
            noise = os.urandom(len(body))
            return lambda c: send(c, 200, noise)
        if mode == "badbox" and kind == "BulkMetadata":
            return lambda c: send(c, 200, badBoxes(body, rng))
        if mode == "duppaths" and kind == "BulkMetadata":
            return lambda c: send(c, 200, duplicatePaths(body))
        if mode == "hugestrip" and kind == "NodeData":
            return lambda c: send(c, 200, hugeStrips(body, count))
        if mode == "badtexture" and kind == "NodeData":
            return lambda c: send(c, 200, badTextures(body, count))
        if mode == "notfound" and prefix is not None and path.startswith(prefix):
            return lambda c: send(c, 404, b"no such subtree")
        if mode == "hang" and count < 3:
            return lambda c: self.hold(c, body)
        if mode == "drip":
            return lambda c: drip(c, body, self.stopping)
        if mode == "garbage" and count < 3:
            raw = count == 1  # one answer without any HTTP head at all
            return lambda c: garbage(c, raw, self.stopping)
        if mode == "dies":
            return lambda c: reset(c)
        if mode == "silent":
            return lambda c: self.silence(c)
        return None

    def silence(self, conn):
        """The request read, then nothing at all until the viewer closes."""
        conn.settimeout(0.5)
        while not self.stopping.is_set():
            try:
                if conn.recv(1024) == b"":
                    break
            except socket.timeout:
                continue
            except OSError:
                break
        reset(conn)

    def hold(self, conn, body):
        """Half an answer, then silence on an open connection."""
        head = b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body)
        conn.sendall(head + body[:len(body) // 2])
        self.held.append(conn)
        start = time.monotonic()
        conn.settimeout(0.5)
        while not self.stopping.is_set() and time.monotonic() - start < HOLD_MAX_S:
            try:
                if conn.recv(1024) == b"":
                    break  # the viewer gave up and closed its end
            except socket.timeout:
                continue
            except OSError:
                break
        with self.lock:
            self.given_up.append(time.monotonic() - start)
        reset(conn)


def reset(conn):
    """Close with RST instead of FIN, as a crashing peer would."""
    try:
        conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        conn.close()
    except OSError:
        pass


def drip(conn, body, stopping):
    """The whole answer, one byte at a time at first, then in small pieces."""
    data = b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body
    pos = 0
    while pos < len(data) and not stopping.is_set():
        n = 1 if pos < 400 else 512
        conn.sendall(data[pos:pos + n])
        pos += n
        time.sleep(0.003 if n == 1 else 0.01)


def garbage(conn, raw, stopping):
    head = b"" if raw else b"HTTP/1.0 200 OK\r\n\r\n"
    conn.sendall(head)
    block = os.urandom(1 << 16)
    sent = 0
    while sent < GARBAGE_BYTES and not stopping.is_set():
        conn.sendall(block)
        sent += len(block)


def badBoxes(body, rng):
    """Every node's packed box one byte short, one long, or empty."""
    msg = pbwire.parse(body)

    def edit(node, i):
        for f in pbwire.get(node, 3):
            f[2] = [f[2][:14], f[2] + b"\x00", b"", f[2] * 20][i % 4]
    pbwire.editNested(msg, 1, edit)
    return pbwire.serialize(msg)


def duplicatePaths(body):
    """Every node entry twice, child bulks included."""
    msg = pbwire.parse(body)
    out = []
    for f in msg:
        out.append(f)
        if f[0] == 1:
            out.append(list(f))
    return pbwire.serialize(out)


HUGE_STRIPS = (
    pbwire.varint(0x7FFFFFFF),            # the largest positive strip length
    pbwire.varint(0xFFFFFFFF)[:5],        # a negative one in 32 bits
    b"\xff\xff\xff\xff\xff\xff\xff\x7f",  # wider than 32 bits
    pbwire.varint(1 << 24),               # plausible but far beyond the bytes
)


def hugeStrips(body, count):
    """Strip lengths far beyond the data, and octant runs beyond the strip."""
    msg = pbwire.parse(body)
    variant = count % (len(HUGE_STRIPS) + 1)

    def edit(mesh, _):
        if variant < len(HUGE_STRIPS):
            for f in pbwire.get(mesh, 3):
                f[2] = HUGE_STRIPS[variant] + f[2][1:]
        else:
            # Eight runs of enormous length: the octant decoder walks the
            # strip by these counts.
            runs = pbwire.varint(8) + pbwire.varint(0x7FFFFFF0) * 8
            pbwire.setField(mesh, 8, pbwire.LEN, runs)
    pbwire.editNested(msg, 2, edit)
    return pbwire.serialize(msg)


# Two real JPEGs the service never sends: 255 x 255 (rows of 765 bytes, not a
# multiple of four: legal, and must be uploaded as such) and a grayscale one
# (one component: rejected by the viewer even with the right size).
ODD_JPEG = base64.b64decode(
    "/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDABALDA4MChAODQ4SERATGCgaGBYWGDEjJR0oOjM9PDkz"
    "ODdASFxOQERXRTc4UG1RV19iZ2hnPk1xeXBkeFxlZ2P/2wBDARESEhgVGC8aGi9jQjhCY2NjY2Nj"
    "Y2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2NjY2P/wAARCAD/AP8DASIA"
    "AhEBAxEB/8QAFgABAQEAAAAAAAAAAAAAAAAAAAEF/8QAFBABAAAAAAAAAAAAAAAAAAAAAP/EABcB"
    "AQEBAQAAAAAAAAAAAAAAAAADBQb/xAAVEQEBAAAAAAAAAAAAAAAAAAAAEf/aAAwDAQACEQMRAD8A"
    "xRBmx3VUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFQBWJ0AIUAIUAIU"
    "AIUAIUAIUAIUAIUAIUAIUAIUAIUAIUAIUAIVBBWJVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRA"
    "hVECFUQIVRAhVECFUQIVAFYnQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhUEFYlVE"
    "CFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhUAVidACFACFACFACFACFACF"
    "ACFACFACFACFACFACFACFACFACFQQVidUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECF"
    "UQIVRAhVECFQBWJUAIUAIUAIUAIUAIUAIUAIUAIUAIUAIUAIUAIUAIUAIUAIVBBaJ1RAhVECFUQI"
    "VRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVAFYlQAhQAhQAhQAhQAhQAhQAhQAhQAh"
    "QAhQAhQAhQAhQAhQAhUEFYnVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVR"
    "AhUAVidACFACFACFACFACFACFACFACFACFACFACFACFACFACFACFQQViVUQIVRAhVECFUQIVRAhV"
    "ECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFQBWJ0AIUAIUAIUAIUAIUAIUAIUAIUAIUAIUAIUAI"
    "UAIUAIUAIVBBWJVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVRAhVECFUQIVAFYnQA"
    "hQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhQAhX/9k=")
GRAY_JPEG = base64.b64decode(
    "/9j/4AAQSkZJRgABAQAAAQABAAD/2wBDABALDA4MChAODQ4SERATGCgaGBYWGDEjJR0oOjM9PDkz"
    "ODdASFxOQERXRTc4UG1RV19iZ2hnPk1xeXBkeFxlZ2P/wAALCAEAAQABAREA/8QAFgABAQEAAAAA"
    "AAAAAAAAAAAAAAMG/8QAFRABAQAAAAAAAAAAAAAAAAAAABL/2gAIAQEAAD8A31FFFFFFFFFFFFFF"
    "FFFFFFFFFFFFFFFFFJ0UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUnRRRRRRRRRRRRRRRRRRRRRRRRR"
    "RRRRRRSdFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFJ0UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUnRRR"
    "RRRRRRRRRRRRRRRRRRRRRRRRRRRRSdFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFJ0UUUUUUUUUUUUU"
    "UUUUUUUUUUUUUUUUUUnRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRSdFFFFFFFFFFFFFFFFFFFFFFFF"
    "FFFFFFFJ0UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUnRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRSdFF"
    "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFJ0UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUnRRRRRRRRRRRRR"
    "RRRRRRRRRRRRRRRRRRSdFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFJ0UUUUUUUUUUUUUUUUUUUUUUU"
    "UUUUUUUUnRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRSdFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFJ0U"
    "UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUnRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRSdFFFFFFFFFFFF"
    "FFFFFFFFFFFFFFFFFFFJ0UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUnRRRRRRRRRRRRRRRRRRRRRRR"
    "RRRRRRRRSdFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFJ0UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUUnR"
    "RRRRRRRRRRRRRRRRRRRRRRRRRRRRRRSdFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFJ0UUUUUUUUUUU"
    "UUUUUUUUUUUUUUUUUUUUnRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRRSdFFFFFFFFFFFFFFFFFFFFFF"
    "FFFFFFFFFJ0UUUUUUUUUUUUUUUUUUUUUUUUUUUUUUU//2Q==")

BAD_TEXTURES = (
    dict(width=512, height=512),
    dict(width=0, height=0),
    dict(width=0xFFFFFFFF, height=0xFFFFFFFF),
    dict(width=1, height=65536),
    dict(format=6),                      # CRN_DXT1 announced, JPEG inside
    dict(format=6, width=0xFFFFFFFC, height=0xFFFFFFFC),
    dict(format=3),                      # a format the viewer does not support
    dict(data_twice=True),
    dict(jpeg=ODD_JPEG, width=255, height=255),
    dict(jpeg=GRAY_JPEG, width=256, height=256),
)


def badTextures(body, count):
    msg = pbwire.parse(body)
    change = BAD_TEXTURES[count % len(BAD_TEXTURES)]

    def editTexture(tex, _):
        if "width" in change:
            pbwire.setField(tex, 3, pbwire.VARINT, change["width"])
            pbwire.setField(tex, 4, pbwire.VARINT, change["height"])
        if "format" in change:
            pbwire.setField(tex, 2, pbwire.VARINT, change["format"])
        if "jpeg" in change:
            pbwire.setField(tex, 1, pbwire.LEN, change["jpeg"])
            pbwire.setField(tex, 2, pbwire.VARINT, 1)
        if change.get("data_twice"):
            tex.extend([list(f) for f in pbwire.get(tex, 1)])

    pbwire.editNested(msg, 2, lambda mesh, _: pbwire.editNested(mesh, 6, editTexture))
    return pbwire.serialize(msg)
