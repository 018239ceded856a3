#!/usr/bin/env python3
"""One capped CDN host for the mirror benchmark: a TCP proxy on 127.0.0.1 in front of the local CDN
that sends at most RATE bytes a second to the client over all its connections together (one shared
token bucket), as a host behind a full uplink does. Requests go to the CDN unchanged.

  capproxy.py LISTEN_PORT CDN_PORT RATE COUNT_FILE [--die-after BYTES] [--listen ADDR]

With --listen it listens on ADDR instead (the CDN host's address in a network namespace), still
forwarding to the CDN on 127.0.0.1.

It writes the bytes it sent to clients into COUNT_FILE when it ends (SIGTERM), and every 100 ms
meanwhile. With --die-after it goes down by itself once it has sent that many bytes: the listening
socket closes and every connection is reset, as when a host dies in the middle of a transfer.
"""

import asyncio
import os
import signal
import socket
import struct
import sys
import time

CHUNK = 65536
BURST = 4 * CHUNK


class Bucket:
    """Tokens are bytes. The burst of four chunks (17 ms at 15 MB/s) carries a sleep that ends late
    over to the next chunk instead of losing it; the cap holds over any tenth of a second."""

    def __init__(self, rate):
        self.rate = float(rate)
        self.tokens = float(BURST)
        self.last = time.monotonic()
        self.lock = asyncio.Lock()

    async def take(self, n):
        # One waiter at a time: the connections share the rate instead of racing for it.
        async with self.lock:
            while True:
                now = time.monotonic()
                self.tokens = min(float(BURST), self.tokens + (now - self.last) * self.rate)
                self.last = now
                if self.tokens >= n:
                    self.tokens -= n
                    return
                await asyncio.sleep((n - self.tokens) / self.rate)


class Proxy:
    def __init__(self, cdn_port, rate, count_file, die_after):
        self.cdn_port = cdn_port
        self.bucket = Bucket(rate)
        self.count_file = count_file
        self.die_after = die_after
        self.sent = 0
        self.writers = set()
        self.server = None
        self.done = asyncio.Event()

    def save(self):
        tmp = self.count_file + ".tmp"
        with open(tmp, "w") as f:
            f.write("%d\n" % self.sent)
        os.replace(tmp, self.count_file)

    def die(self):
        if self.done.is_set():
            return
        self.server.close()
        for w in list(self.writers):
            sock = w.get_extra_info("socket")
            if sock is not None:
                # Linger 0: the close resets the connection instead of ending it cleanly.
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            w.transport.abort()
        self.save()
        self.done.set()

    async def pump(self, reader, writer, capped):
        # Requests go up as they come; the bodies coming down share the host's bucket.
        try:
            while not (capped and self.done.is_set()):
                data = await reader.read(CHUNK)
                if not data:
                    break
                if capped:
                    await self.bucket.take(len(data))
                    if self.done.is_set():
                        break
                writer.write(data)
                await writer.drain()
                if capped:
                    self.sent += len(data)
                    if self.die_after and self.sent >= self.die_after:
                        self.die()
        except (ConnectionError, asyncio.CancelledError):
            pass
        finally:
            if not writer.is_closing():
                writer.close()

    async def serve(self, client_reader, client_writer):
        self.writers.add(client_writer)
        try:
            cdn_reader, cdn_writer = await asyncio.open_connection("127.0.0.1", self.cdn_port)
        except OSError:
            client_writer.close()
            self.writers.discard(client_writer)
            return
        up = asyncio.ensure_future(self.pump(client_reader, cdn_writer, False))
        await self.pump(cdn_reader, client_writer, True)
        up.cancel()
        cdn_writer.close()
        self.writers.discard(client_writer)

    async def report(self):
        while not self.done.is_set():
            self.save()
            await asyncio.sleep(0.1)


async def main():
    args = sys.argv[1:]
    die_after = 0
    if "--die-after" in args:
        i = args.index("--die-after")
        die_after = int(args[i + 1])
        del args[i : i + 2]
    listen = "127.0.0.1"
    if "--listen" in args:
        i = args.index("--listen")
        listen = args[i + 1]
        del args[i : i + 2]
    if len(args) != 4:
        sys.exit(__doc__)
    listen_port, cdn_port, rate, count_file = int(args[0]), int(args[1]), int(args[2]), args[3]
    proxy = Proxy(cdn_port, rate, count_file, die_after)
    proxy.server = await asyncio.start_server(proxy.serve, listen, listen_port, reuse_address=True)
    loop = asyncio.get_running_loop()
    loop.add_signal_handler(signal.SIGTERM, proxy.die)
    loop.add_signal_handler(signal.SIGINT, proxy.die)
    reporter = asyncio.ensure_future(proxy.report())
    await proxy.done.wait()
    reporter.cancel()
    proxy.save()


if __name__ == "__main__":
    asyncio.run(main())
