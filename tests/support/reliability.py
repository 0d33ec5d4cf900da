"""Helpers for the reliability checks: a fast local webhook sink, a Redis
Cluster with replicas whose masters can be killed, and a logger that counts.

`QuickSink` is an HTTP sink on 127.0.0.1 served by an asyncio loop of its own,
either on a background thread (`QuickSink()`, for tests that inspect what it
received) or in a child process (`QuickSink.spawn()`, for the leak check,
whose memory figures must not include the sink's). What it answers depends on
the request: a path ending in /fail, or a body holding "[500]", gets status
500; /close or "[close]" gets the connection closed without an answer; /slow
or "[slow]" is answered after `slow_delay` seconds; anything else gets 200.

`ReplicatedCluster` is a Redis Cluster of three masters with one replica
each, on free loopback ports, with a short node timeout so that a replica
takes over a killed master within seconds.

Run as a module from tests/ (`python -m support.reliability sink`) it serves
a sink in the foreground and prints its port on the first line of standard
output.
"""

import asyncio
import json
import os
import signal
import subprocess
import sys
import threading
import time
from collections import Counter
from dataclasses import dataclass

import redis

from support.redis_servers import HOST, START_TIMEOUT, RedisServer, create_cluster, die_with_parent

TESTS_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FULL_LOAD = os.environ.get("VPC_FULL_LOAD") == "1"


def load_size(reduced, full):
    """The size of a load test: `full` when VPC_FULL_LOAD=1, else `reduced`."""
    return full if FULL_LOAD else reduced


# ---------------------------------------------------------------------------
# The webhook sink


REASONS = {200: "OK", 500: "Internal Server Error"}


@dataclass
class Request:
    path: str
    body: bytes
    outcome: str  # "200", "500" or "closed"
    started: float
    ended: float


class QuickSink:
    """An HTTP sink on 127.0.0.1 running on an asyncio loop in a daemon thread."""

    def __init__(self, keep=True, slow_delay=0.05):
        self.keep = keep  # keep every request (path, body, outcome, times) in `requests`
        self.slow_delay = slow_delay
        self.requests: list[Request] = []
        self.outcomes = Counter()
        self.in_flight = 0
        self.max_in_flight = 0
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        if not self._ready.wait(START_TIMEOUT):
            raise RuntimeError("the webhook sink did not start")

    # -- serving ---------------------------------------------------------

    def _serve(self):
        asyncio.set_event_loop(self._loop)
        self._server = self._loop.run_until_complete(asyncio.start_server(self._connection, HOST, 0))
        self.port = self._server.sockets[0].getsockname()[1]
        self._ready.set()
        self._loop.run_forever()

    def _behaviour(self, path, body):
        if path.endswith("/close") or b"[close]" in body:
            return "close", 0.0
        delay = self.slow_delay if path.endswith("/slow") or b"[slow]" in body else 0.0
        if path.endswith("/fail") or b"[500]" in body:
            return 500, delay
        return 200, delay

    async def _connection(self, reader, writer):
        try:
            while True:
                try:
                    head = await reader.readuntil(b"\r\n\r\n")
                except (asyncio.IncompleteReadError, ConnectionError):
                    return
                lines = head.decode("latin-1").split("\r\n")
                path = lines[0].split(" ")[1] if len(lines[0].split(" ")) > 1 else ""
                length = 0
                for line in lines[1:]:
                    name, _, value = line.partition(":")
                    if name.strip().lower() == "content-length":
                        length = int(value.strip())
                body = await reader.readexactly(length) if length else b""
                if path == "/stats":
                    self._answer(writer, 200, json.dumps(self.stats()).encode())
                    await writer.drain()
                    continue
                started = time.monotonic()
                self.in_flight += 1
                self.max_in_flight = max(self.max_in_flight, self.in_flight)
                action, delay = self._behaviour(path, body)
                try:
                    if delay:
                        await asyncio.sleep(delay)
                finally:
                    # Accounted before the answer goes out: once the client has
                    # it, its next request may arrive while we wait in drain().
                    self.in_flight -= 1
                    outcome = "closed" if action == "close" else str(action)
                    self.outcomes[outcome] += 1
                    if self.keep:
                        self.requests.append(Request(path, body, outcome, started, time.monotonic()))
                if action == "close":
                    return
                self._answer(writer, action, b"ok")
                await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        finally:
            writer.close()

    @staticmethod
    def _answer(writer, status, payload):
        writer.write(
            f"HTTP/1.1 {status} {REASONS.get(status, 'Status')}\r\nContent-Type: text/plain\r\n"
            f"Content-Length: {len(payload)}\r\n\r\n".encode()
            + payload
        )

    # -- use ---------------------------------------------------------------

    def url(self, path="/hook"):
        return f"http://{HOST}:{self.port}{path}"

    @property
    def handled(self):
        return sum(self.outcomes.values())

    def stats(self):
        return {"outcomes": dict(self.outcomes), "max_in_flight": self.max_in_flight}

    def wait_for(self, count, timeout=10.0):
        """Wait until `count` requests have been handled; the kept requests."""
        deadline = time.monotonic() + timeout
        while self.handled < count:
            if time.monotonic() > deadline:
                raise AssertionError(f"expected {count} requests, the sink handled {self.handled}")
            time.sleep(0.005)
        return list(self.requests)

    def close(self):
        async def stop():
            self._server.close()
            await self._server.wait_closed()

        try:
            asyncio.run_coroutine_threadsafe(stop(), self._loop).result(5)
        except Exception:  # the connections of a test that failed may still linger
            pass
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(5)

    @staticmethod
    def spawn():
        """A sink in a child process: (process, base URL). Its counters are at GET /stats."""
        # Run as a module of the support package, from the folder that holds it.
        process = subprocess.Popen(
            [sys.executable, "-m", "support.reliability", "sink"],
            stdout=subprocess.PIPE,
            text=True,
            cwd=TESTS_DIR,
            preexec_fn=die_with_parent,
        )
        port = int(process.stdout.readline())
        return process, f"http://{HOST}:{port}"


# ---------------------------------------------------------------------------
# A Redis Cluster with replicas


def query(node, *command, timeout=0.5):
    """One command to `node`: its reply, or None when the node cannot be reached."""
    try:
        with redis.Redis(
            host=HOST, port=node.port, socket_timeout=timeout, socket_connect_timeout=timeout, decode_responses=True
        ) as conn:
            return conn.execute_command(*command)
    except redis.RedisError:
        return None


def wait(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.05)


class ReplicatedCluster:
    """Three masters with one replica each. A replica takes over from a master
    that has been unreachable for `node_timeout_ms`; replicas are allowed to
    take over however long ago they last heard from their master."""

    def __init__(self, masters=3, node_timeout_ms=1000):
        self.size = 2 * masters
        self.node_timeout_ms = node_timeout_ms
        self.nodes = []

    @property
    def address(self):
        return self.nodes[0].address

    def start(self):
        for attempt in range(3):
            self.nodes = [RedisServer(cluster=True) for _ in range(self.size)]
            try:
                for node in self.nodes:
                    node.start()
                break
            except RuntimeError:  # a port taken meanwhile: new ports
                self.cleanup()
                if attempt == 2:
                    raise
        for node in self.nodes:
            for name, value in [
                ("cluster-node-timeout", self.node_timeout_ms),
                ("cluster-replica-validity-factor", 0),
                ("repl-diskless-sync-delay", 0),
            ]:
                query(node, "CONFIG", "SET", name, value)
        create_cluster(self, replicas=1)
        try:
            self.wait_ok(self.nodes)
            wait(
                lambda: all(
                    self.role(n) == "master" or self.replication(n).get("master_link_status") == "up"
                    for n in self.nodes
                ),
                START_TIMEOUT,
                "the replicas to sync",
            )
        except AssertionError:
            self.cleanup()
            raise
        return self

    def replication(self, node):
        return query(node, "INFO", "replication") or {}

    def role(self, node):
        return self.replication(node).get("role")

    def topology(self):
        """{port: (role, master port or None, [(first slot, last slot), ...])} as a live node sees it."""
        for node in self.nodes:
            text = query(node, "CLUSTER", "NODES")
            if text:
                break
        else:
            raise AssertionError("no cluster node answers")
        ids, rows = {}, []
        for line in text.strip().splitlines():
            fields = line.split()
            port = int(fields[1].split("@")[0].rsplit(":", 1)[1])
            ids[fields[0]] = port
            rows.append((port, fields[2], fields[3], fields[8:]))
        result = {}
        for port, flags, master, slots in rows:
            role = "master" if "master" in flags.split(",") else "replica"
            ranges = [tuple(int(x) for x in (s.split("-") * 2)[:2]) for s in slots if not s.startswith("[")]
            result[port] = (role, ids.get(master), ranges)
        return result

    def master_of(self, key):
        """The node that serves `key`'s slot now."""
        slot = next(r for r in (query(n, "CLUSTER", "KEYSLOT", key) for n in self.nodes) if r is not None)
        for port, (role, _, ranges) in self.topology().items():
            if role == "master" and any(lo <= slot <= hi for lo, hi in ranges):
                return next(n for n in self.nodes if n.port == port)
        raise AssertionError(f"no master serves the slot of {key!r}")

    def replica_of(self, master):
        return next(n for n in self.nodes if self.replication(n).get("master_port") == master.port)

    def wait_ok(self, nodes, timeout=START_TIMEOUT):
        wait(
            lambda: all("cluster_state:ok" in str(query(n, "CLUSTER", "INFO")) for n in nodes),
            timeout,
            "cluster_state:ok",
        )

    def pause(self, node):
        node.process.send_signal(signal.SIGSTOP)

    def resume(self, node):
        node.process.send_signal(signal.SIGCONT)

    def cleanup(self):
        for node in self.nodes:
            if node.process is not None and node.process.poll() is None:
                node.process.send_signal(signal.SIGCONT)  # a paused node could not take SIGTERM
            node.cleanup()


# ---------------------------------------------------------------------------
# A logger that counts


class CountingLogger:
    """A logger for the Redis clients and messengers that keeps counts, and
    the last few messages, so that a long run does not grow it."""

    def __init__(self, keep=20):
        self.keep = keep
        self.errors = Counter()  # message prefix (up to the first "'") -> count
        self.infos = 0
        self.last = []
        self._lock = threading.Lock()

    def error(self, message, *args, **kwargs):
        with self._lock:
            self.errors[str(message).split("'", 1)[0]] += 1
            self.last = (self.last + [str(message)])[-self.keep :]

    def info(self, message, *args, **kwargs):
        with self._lock:
            self.infos += 1

    @property
    def error_count(self):
        return sum(self.errors.values())


if __name__ == "__main__" and sys.argv[1:] == ["sink"]:
    sink = QuickSink(keep=False)
    print(sink.port, flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    try:
        signal.pause()
    except KeyboardInterrupt:
        pass
