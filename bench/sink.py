"""A local HTTP sink for the benchmark: answers every POST with 200 and an empty body.

Run as `python sink.py`; it binds a free port on 127.0.0.1, prints
"READY <port>" on standard output and serves until it is terminated.
Each request is read in full (headers and Content-Length body) and the
connection is closed after the answer, as a one-shot webhook call expects.
GET /count answers with the number of POSTs received so far (so that a check
can tell that every message arrived, once).
"""

import asyncio
import sys

ANSWER = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: %d\r\nConnection: close\r\n\r\n%s"
posts = 0


async def handle(reader, writer):
    global posts
    try:
        head = await reader.readuntil(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n"):
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        if length:
            await reader.readexactly(length)
        if head.startswith(b"GET /count "):
            body = b"%d" % posts
        else:
            posts += 1
            body = b"{}"
        writer.write(ANSWER % (len(body), body))
        await writer.drain()
    except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, ConnectionError, ValueError):
        pass
    finally:
        writer.close()


async def main():
    server = await asyncio.start_server(handle, "127.0.0.1", 0, backlog=512)
    port = server.sockets[0].getsockname()[1]
    sys.stdout.write("READY %d\n" % port)
    sys.stdout.flush()
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
