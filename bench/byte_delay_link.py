#!/usr/bin/env python3
"""A distant link for any TCP protocol: every chunk of bytes is delayed by
half the round trip in each direction, in order, so that a TLS handshake,
an HTTP/1.1 request and an HTTP/2 frame all cross the same link (unlike
link_proxy.py, which delays whole HTTP requests). The bandwidth is what the
machine gives. One process relays several ports, each to its own upstream.

usage: byte_delay_link.py --rtt-ms MS UPSTREAM_PORT...
Prints "byte_delay_link listening on PORT..." (one port per upstream, in
order) once it accepts.
"""
import argparse
import asyncio
import socket
import sys
import time


async def pump(reader, writer, delay_s):
    """Copies reader to writer, each chunk delay_s after it arrived."""
    queue = asyncio.Queue()

    async def receive():
        while True:
            chunk = await reader.read(65536)
            await queue.put((time.monotonic() + delay_s, chunk))
            if not chunk:
                return

    async def send():
        while True:
            due, chunk = await queue.get()
            wait = due - time.monotonic()
            if wait > 0:
                await asyncio.sleep(wait)
            if not chunk:
                try:
                    writer.write_eof()
                except OSError:
                    pass
                return
            writer.write(chunk)
            await writer.drain()

    try:
        await asyncio.gather(receive(), send())
    except (ConnectionError, OSError):
        writer.close()


def relay(upstream_port, delay_s):
    async def handle(client_reader, client_writer):
        client_writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", upstream_port)
        except OSError:
            client_writer.close()
            return
        up_writer.get_extra_info("socket").setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        await asyncio.gather(pump(client_reader, up_writer, delay_s), pump(up_reader, client_writer, delay_s),
                             return_exceptions=True)
        for w in (client_writer, up_writer):
            w.close()
    return handle


async def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rtt-ms", type=float, required=True)
    ap.add_argument("upstream", type=int, nargs="+")
    a = ap.parse_args()
    servers = [await asyncio.start_server(relay(port, a.rtt_ms / 2000.0), "127.0.0.1", 0) for port in a.upstream]
    ports = [s.sockets[0].getsockname()[1] for s in servers]
    print("byte_delay_link listening on " + " ".join(str(p) for p in ports), flush=True)
    await asyncio.gather(*(s.serve_forever() for s in servers))


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
