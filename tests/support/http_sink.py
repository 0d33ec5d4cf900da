"""A real local webhook sink for the messenger tests.

`WebhookSink` is an HTTP server on 127.0.0.1 (a free port) serving from a
background thread. It records the method, path, headers and body of every
request and answers with a configurable status; it can also be told to wait
before answering, to never answer, or to close the connection without an
answer. `refused_url()` is an address where nothing listens.
"""

import socket
import sys
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


@dataclass
class Received:
    method: str
    path: str
    headers: dict
    body: bytes
    started: float
    ended: float = field(default=0.0)


class WebhookSink:
    def __init__(self):
        self.status = 200
        self.delay = 0.0  # seconds to wait before answering
        self.mode = "answer"  # or "hang" (never answer) or "close" (drop the connection)
        self.received: list[Received] = []
        self.in_flight = 0
        self.max_in_flight = 0
        self._lock = threading.Condition()
        self._stop = threading.Event()
        sink = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                record = Received(self.command, self.path, dict(self.headers.items()), body, time.monotonic())
                with sink._lock:
                    sink.in_flight += 1
                    sink.max_in_flight = max(sink.max_in_flight, sink.in_flight)
                    sink.received.append(record)

                def finish():
                    # The request counts as ended before its answer goes out:
                    # once the client has the status line and headers, its
                    # next request may reach another handler thread before
                    # this one resumes.
                    with sink._lock:
                        if record.ended:
                            return
                        sink.in_flight -= 1
                        record.ended = time.monotonic()
                        sink._lock.notify_all()

                try:
                    self._answer(sink.mode, sink.delay, sink.status, finish)
                finally:
                    finish()

            def _answer(self, mode, delay, status, finish):
                if mode == "hang":
                    sink._stop.wait(30)
                    self.close_connection = True
                    return
                if delay:
                    time.sleep(delay)
                if mode == "close":
                    self.close_connection = True
                    return
                self.send_response(status)
                self.send_header("Content-Type", "text/plain")
                self.send_header("Content-Length", "2")
                finish()  # the headers go out now, and a client may act on them alone
                self.end_headers()
                self.wfile.write(b"ok")

            do_GET = do_PUT = do_POST

        class Server(ThreadingHTTPServer):
            def handle_error(self, request, client_address):
                # A client that gives up mid-request (a post cut short, a
                # loop abandoned) is part of what the tests do, not an error.
                if not isinstance(sys.exc_info()[1], ConnectionError):
                    super().handle_error(request, client_address)

        self._server = Server(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,), daemon=True)
        self._thread.start()

    def url(self, path="/hook"):
        return f"http://127.0.0.1:{self._server.server_address[1]}{path}"

    def wait_for(self, count, timeout=5.0):
        """Wait until `count` requests have been answered (or dropped); return them."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while sum(1 for r in self.received if r.ended) < count:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError(f"expected {count} requests, got {len(self.received)}")
                self._lock.wait(left)
            return list(self.received)

    def close(self):
        self._stop.set()
        self._server.shutdown()
        self._server.server_close()


def refused_url(path="/hook"):
    """A URL on 127.0.0.1 whose port nobody listens on: connections are refused."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}{path}"
