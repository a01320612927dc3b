#!/usr/bin/env python3
"""A TCP relay that gives loopback connections a real round trip, where the kernel has no netem.

Every chunk that arrives, in either direction, is passed on a fixed delay after it arrived, in
order, without throttling: a round trip through it costs twice the delay, and bandwidth stays
the loopback's. Runs until killed.

Usage: delay_relay.py LISTEN_PORT TARGET_PORT ONE_WAY_MS
"""
import asyncio
import sys


async def carry(reader, writer, delay):
    """Passes what `reader` gives to `writer`, each chunk `delay` seconds after it came."""
    loop = asyncio.get_running_loop()
    chunks = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await chunks.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                break
            writer.write(data)
        try:
            writer.close()
        except OSError:
            pass

    delivering = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(256 * 1024)
            chunks.put_nowait((loop.time() + delay, data))
            if not data:
                break
    except (ConnectionError, OSError):
        chunks.put_nowait((loop.time() + delay, b""))
    await delivering


async def main(listen_port, target_port, delay):
    async def relay(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(carry(client_reader, server_writer, delay), carry(server_reader, client_writer, delay))

    server = await asyncio.start_server(relay, "127.0.0.1", listen_port, backlog=512)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000))
