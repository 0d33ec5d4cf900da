"""Real Redis servers for the tests: a standalone server and a three-master cluster.

Every server runs from its own temporary directory on a free 127.0.0.1 port
(and, if asked, on a unix socket in that directory) and is stopped when its
fixture ends, also when a test fails; an atexit hook stops anything still
running should the fixture teardown never run, and a server is also
terminated when the test process dies without either. A server can be
stopped, killed and started again on the same port, for tests of outages,
or paused (SIGSTOP: its port stays open, nothing answers) for tests of a
node that stops answering. `silent_listener` is a port that never accepts.

The fixtures over these servers (`redis_server`, `own_redis_server`,
`redis_cluster`, `live`) are in tests/conftest.py. The second half holds
helpers for tests of the module's clients: a logger that records its lines,
and `Live`, a client of each kind connected to the real servers with a plain
redis reader beside it.
"""

import atexit
import contextlib
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import uuid

import redis

HOST = "127.0.0.1"
START_TIMEOUT = 10.0
CLUSTER_BUS_OFFSET = 10000  # a cluster node also listens on port + 10000

_running = set()


def die_with_parent():
    """In a child before exec: get SIGTERM when the parent dies, however it dies (Linux)."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def _port_is_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            s.bind((HOST, port))
        except OSError:
            return False
    return True


def free_port(cluster_bus=False):
    """A port nothing listens on now (and, for a cluster node, its bus port too)."""
    for _ in range(200):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind((HOST, 0))
            port = s.getsockname()[1]
        if not cluster_bus:
            return port
        if port + CLUSTER_BUS_OFFSET < 65536 and _port_is_free(port + CLUSTER_BUS_OFFSET):
            return port
    raise RuntimeError("no free port found")


def closed_port():
    """A port with no server behind it, for unreachable-server tests."""
    return free_port()


def _reply(port, *command, timeout=0.5):
    """One command to the server on `port`: its reply, or None when it cannot be reached."""
    try:
        with redis.Redis(
            host=HOST, port=port, socket_timeout=timeout, socket_connect_timeout=timeout, decode_responses=True
        ) as conn:
            return conn.execute_command(*command)
    except redis.RedisError:
        return None


class RedisServer:
    """One redis-server process on a fixed port, restartable in place; with
    `unix_socket` it also listens on a socket in its directory. `options`
    are more redis-server arguments."""

    def __init__(self, port=None, cluster=False, unix_socket=False, options=()):
        self.cluster = cluster
        self.port = port or free_port(cluster_bus=cluster)
        self.dir = tempfile.mkdtemp(prefix=f"redis-{self.port}-")
        self.socket = os.path.join(self.dir, "redis.sock") if unix_socket else None
        self.options = list(options)
        self.process = None

    @property
    def address(self):
        return f"{HOST}:{self.port}"

    @property
    def url(self):
        return f"redis://{HOST}:{self.port}/0"

    def start(self):
        args = [
            shutil.which("redis-server") or "redis-server",
            "--port",
            str(self.port),
            "--bind",
            HOST,
            "--dir",
            self.dir,
            "--save",
            "",
            "--appendonly",
            "no",
            "--protected-mode",
            "no",
            "--logfile",
            os.path.join(self.dir, "redis.log"),
            *self.options,
        ]
        if self.socket:
            args += ["--unixsocket", self.socket]
        if self.cluster:
            args += [
                "--cluster-enabled",
                "yes",
                "--cluster-config-file",
                "nodes.conf",
                "--cluster-node-timeout",
                "2000",
            ]
        self.process = subprocess.Popen(
            args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent
        )
        _running.add(self)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"redis-server on port {self.port} exited: {self.log_tail()}")
            if self.ping():
                return self
            time.sleep(0.02)
        self.stop()
        raise RuntimeError(f"redis-server on port {self.port} did not answer")

    def ping(self):
        return _reply(self.port, "PING") is True

    def client(self, **kwargs):
        """A plain redis-py connection to this server."""
        return redis.Redis(host=HOST, port=self.port, **kwargs)

    def log_tail(self):
        try:
            with open(os.path.join(self.dir, "redis.log")) as f:
                return f.read()[-2000:]
        except OSError:
            return ""

    @contextlib.contextmanager
    def paused(self):
        """SIGSTOP the process for the block (its port stays open, nothing
        answers), SIGCONT it at the end, also when the block fails."""
        self.process.send_signal(signal.SIGSTOP)
        try:
            yield self
        finally:
            self.process.send_signal(signal.SIGCONT)

    def stop(self, kill=False):
        """Stop the process (SIGKILL with kill=True) and wait until it has gone."""
        if self.process is None:
            return
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGCONT)  # a paused process could not take SIGTERM
            self.process.send_signal(signal.SIGKILL if kill else signal.SIGTERM)
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None
        _running.discard(self)

    def restart(self):
        self.stop()
        return self.start()

    def cleanup(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


class RedisCluster:
    """Three cluster-enabled masters joined into one cluster, no replicas;
    `options` go to every node's redis-server."""

    def __init__(self, size=3, options=()):
        self.options = options
        self.nodes = [RedisServer(cluster=True, options=options) for _ in range(size)]

    @property
    def address(self):
        """host:port of the first node (what a production client is given)."""
        return self.nodes[0].address

    def start(self):
        for attempt in range(3):
            try:
                for node in self.nodes:
                    node.start()
                break
            except RuntimeError:
                # A port taken between the check and the start: new ports, new try.
                for node in self.nodes:
                    node.cleanup()
                if attempt == 2:
                    raise
                self.nodes = [RedisServer(cluster=True, options=self.options) for _ in self.nodes]
        create_cluster(self, replicas=0)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if all("cluster_state:ok" in str(_reply(n.port, "CLUSTER", "INFO")) for n in self.nodes):
                return self
            time.sleep(0.05)
        self.cleanup()
        raise RuntimeError("cluster did not reach cluster_state:ok")

    def cleanup(self):
        for node in self.nodes:
            node.cleanup()


def create_cluster(cluster, replicas):
    """Join the started nodes of `cluster` into one, `replicas` replicas per
    master (redis-cli --cluster create); on failure stop them and raise."""
    create = subprocess.run(
        [
            shutil.which("redis-cli") or "redis-cli",
            "--cluster",
            "create",
            *[node.address for node in cluster.nodes],
            "--cluster-replicas",
            str(replicas),
            "--cluster-yes",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        text=True,
        timeout=30,
    )
    if create.returncode != 0:
        cluster.cleanup()
        raise RuntimeError(f"cluster create failed: {create.stdout}")


@contextlib.contextmanager
def silent_listener():
    """A 127.0.0.1 port whose listener never accepts: its backlog is full, so
    a new connection's handshake is never answered. Yields the port."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    fillers = []
    try:
        listener.bind((HOST, 0))
        listener.listen(0)
        port = listener.getsockname()[1]
        # Linux lets backlog + 1 connections wait; a few more make sure.
        for _ in range(3):
            filler = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            filler.setblocking(False)
            fillers.append(filler)
            filler.connect_ex((HOST, port))
        time.sleep(0.05)
        yield port
    finally:
        for filler in fillers:
            filler.close()
        listener.close()


@atexit.register
def _stop_leftovers():
    for server in list(_running):
        server.stop(kill=True)


# ---------------------------------------------------------------------------
# Clients of the module under test, against the servers above.


class RecordingLogger:
    """A logger that records its lines, and the exception handled at each error call."""

    def __init__(self):
        self.errors = []
        self.infos = []
        self.handled = []

    def error(self, message, *args, **kwargs):
        self.errors.append(message)
        self.handled.append(sys.exception())

    def info(self, message):
        self.infos.append(message)


class Live:
    """A client of the module connected to a real server, a plain reader, and its logger."""

    def __init__(self, kind, client, reader, logger):
        self.kind, self.client, self.reader, self.logger = kind, client, reader, logger


def unique(prefix="k"):
    return f"{prefix}-{uuid.uuid4().hex[:12]}"
