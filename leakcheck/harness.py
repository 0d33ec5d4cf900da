"""What the leak check's operations share (run.py runs them): the
registry the operations enter themselves in, the small helpers their calls
use, and Env, the servers, sink, loggers and files of the run. The operations
live in one file per module: <module>.py.
"""

import json
import logging
import os
import tempfile
import urllib.request

from support.redis_servers import HOST, RedisCluster, RedisServer, closed_port
from support.reliability import QuickSink
from veltrano_python_configuration import journal_setup

# ---------------------------------------------------------------------------
# The operations. Each is a phase factory: given the shared environment it
# returns `(call, close)` (or, for an async operation, a coroutine giving
# them, run inside the phase's own event loop); `call(i)` makes the i-th call.

OPERATIONS = []


def operation(module, name, is_async=False):
    def register(factory):
        OPERATIONS.append((f"{module}  {name}", factory, is_async))
        return factory

    return register


def expect(error, function, *args, **kwargs):
    """Call, and insist on the error (the failing paths raise it by design)."""
    try:
        function(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{function!r} did not raise {error.__name__}")


def nothing():
    pass


async def nothing_async():
    pass


class StrSub(str):
    pass


class DictSub(dict):
    pass


class BadBool:
    def __bool__(self):
        raise ValueError("no truth value")


class Drop(logging.Handler):
    def emit(self, record):
        pass


class Env:
    """What the phases share: servers, the sink, loggers, files."""

    def __init__(self):
        self.server = RedisServer().start()
        self.cluster = RedisCluster().start()
        self.sink_process, self.sink = QuickSink.spawn()
        self.refused_port = closed_port()
        self.refused_url = f"http://{HOST}:{closed_port()}/hook"
        self.dir = tempfile.mkdtemp(prefix="leakcheck-")
        self.devnull = open(os.devnull, "w")
        # Real CustomLoggers: `formatting` writes every record in full (traceback
        # included) to /dev/null; `logger`, which the clients and messengers
        # use, makes every record and drops it, to keep the run short.
        self.formatting = journal_setup.setup_logger("leakcheck-formatting")
        for handler in self.formatting.handlers:
            handler.setStream(self.devnull)
        self.logger = journal_setup.setup_logger("leakcheck")
        self.logger.handlers[:] = [Drop()]
        for logger in (self.formatting, self.logger):
            logger.propagate = False
        self.files = {}
        for name, text in [
            ("good", '{"a": 1, "b": "x", "c": [1], "d": null, "e": 1.5, "f": true}'),
            ("bad", "{not json"),
            ("list", "[1, 2]"),
        ]:
            path = os.path.join(self.dir, name + ".json")
            with open(path, "w") as f:
                f.write(text)
            self.files[name] = path
        from redis.cluster import RedisCluster as RealCluster

        self.real_cluster_class = RealCluster
        self.cluster_connection = RealCluster(host=HOST, port=self.cluster.nodes[0].port, decode_responses=True)

    def close(self):
        self.cluster_connection.close()
        self.sink_process.terminate()
        self.sink_process.wait()
        self.server.cleanup()
        self.cluster.cleanup()
        self.devnull.close()

    def sink_stats(self):
        with urllib.request.urlopen(self.sink + "/stats", data=b"") as response:
            return json.load(response)
