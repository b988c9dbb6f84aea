#!/usr/bin/env python3
"""An HTTP proxy that makes a loopback service look like a distant or a slow
one, for the time-to-detail benchmark.

--rtt-ms R: every request costs one round trip of R ms (half on the way out,
half on the way back), and every new connection one more (its handshake), as
over a wide-area link. Connections are kept alive when client and service
keep them alive, so a client that reuses its connections pays the handshake
once.
--slow-ms S: the service answers at most --at-once (2) requests at a time,
each S ms later than it would.

The proxy forwards each request as it came (HTTP/1.0 or HTTP/1.1) over one
upstream connection per client connection, and frames answers by their
Content-Length (or reads to the close when there is none).

usage: link_proxy.py --upstream PORT [--port 0] [--rtt-ms 50] [--slow-ms 0] [--at-once 2]
Prints "link_proxy listening on PORT" once it accepts connections.
"""
import argparse
import asyncio
import sys


class link_t:
    def __init__(self, a):
        self.upstream_port = a.upstream
        self.half_rtt = a.rtt_ms / 2000.0
        self.slow = a.slow_ms / 1000.0
        self.service_slots = asyncio.Semaphore(a.at_once) if a.slow_ms > 0 else None
        self.connections = 0
        self.requests = 0

    async def handle(self, reader, writer):
        self.connections += 1
        up_reader = up_writer = None
        try:
            # The handshake of a new connection: one round trip before the
            # first request can leave.
            await asyncio.sleep(2 * self.half_rtt)
            while True:
                try:
                    head = await reader.readuntil(b"\r\n\r\n")
                except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError):
                    return
                body = b""
                length = headerValue(head, b"content-length")
                if length is not None and length.isdigit() and int(length) > 0:
                    body = await reader.readexactly(int(length))
                self.requests += 1
                await asyncio.sleep(self.half_rtt)
                if up_writer is None:
                    up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.upstream_port)
                if self.service_slots:
                    async with self.service_slots:
                        await asyncio.sleep(self.slow)
                        answer, keep = await self.forward(up_reader, up_writer, head + body)
                else:
                    answer, keep = await self.forward(up_reader, up_writer, head + body)
                await asyncio.sleep(self.half_rtt)
                writer.write(answer)
                await writer.drain()
                if not keep or not requestKeepsAlive(head):
                    return
        except (ConnectionError, asyncio.IncompleteReadError):
            return
        finally:
            for w in (writer, up_writer):
                if w is not None:
                    w.close()

    @staticmethod
    async def forward(up_reader, up_writer, request):
        up_writer.write(request)
        await up_writer.drain()
        head = await up_reader.readuntil(b"\r\n\r\n")
        length = headerValue(head, b"content-length")
        version = head.split(b" ", 1)[0]
        connection = (headerValue(head, b"connection") or b"").lower()
        if length is not None and length.isdigit():
            body = await up_reader.readexactly(int(length))
            keep = connection != b"close" and (version == b"HTTP/1.1" or connection == b"keep-alive")
        else:
            body = await up_reader.read()
            keep = False
        return head + body, keep


def requestKeepsAlive(head):
    """HTTP/1.1 keeps the connection unless asked not to; HTTP/1.0 only when asked."""
    version = head.split(b"\r\n", 1)[0].rsplit(b" ", 1)[-1]
    connection = (headerValue(head, b"connection") or b"").lower()
    return connection != b"close" and (version == b"HTTP/1.1" or connection == b"keep-alive")


def headerValue(head, name):
    for line in head.split(b"\r\n")[1:]:
        key, sep, value = line.partition(b":")
        if sep and key.strip().lower() == name:
            return value.strip()
    return None


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--upstream", type=int, required=True)
    ap.add_argument("--port", type=int, default=0)
    ap.add_argument("--rtt-ms", type=float, default=0)
    ap.add_argument("--slow-ms", type=float, default=0)
    ap.add_argument("--at-once", type=int, default=2)
    a = ap.parse_args()
    link = link_t(a)
    server = await asyncio.start_server(link.handle, "127.0.0.1", a.port, limit=1 << 20, backlog=256)
    print("link_proxy listening on %d" % server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
