#!/usr/bin/env python
"""Leak check: every public operation of the four modules, called again and
again, must leave the process's memory flat.

    python tests/leakcheck.py [--iterations N] [--warmup N] [--only TEXT] [--report-only] [--trace]

Each operation is run in a phase of its own: whatever the phase needs (a
client, a logger, an event loop) is made, the operation is called N times,
cycling through its successful and its failing paths (refused arguments,
logged failures, coroutines created and abandoned, coroutines cancelled),
and everything is released again. One warm-up phase comes first; then the
figures are taken after a full collection, before and after the measured
phase:

  blocks   sys.getallocatedblocks(): Python objects still allocated;
  heap     bytes in use in the C heap (glibc mallinfo2): C++ allocations and
           the larger Python objects;
  RSS      the resident size of the process, over the whole run.

Bounds: an operation fails when its N calls leave more than 256 more blocks
or 1 MiB more heap, and do so again in a second measured phase (a real leak
grows in every phase; a cache filling once does not). A leak of one object
per call would leave N blocks. The RSS may grow by at most 16 MiB over the
whole run. The exit status is 1 when a bound is exceeded.

Real servers are used: a standalone redis-server and a three-master Redis
Cluster (started here on free loopback ports) and a webhook sink in a child
process, so that none of their memory is counted. Two things are shared
rather than made per call, for speed: the production client's cluster
connection (made once on the real cluster; every 1000th construction makes
a fresh one, which takes ~20 ms) and the webhook sink's HTTP server.
"""

import argparse
import asyncio
import contextlib
import ctypes
import gc
import io
import json
import logging
import os
import sys
import tempfile
import time
import tracemalloc
import urllib.request
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from support_redis import HOST, RedisCluster, RedisServer, closed_port  # noqa: E402
from support_reliability import QuickSink  # noqa: E402

from veltrano_python_configuration import broker_setup, cache_access, journal_setup, service_toolkit  # noqa: E402

BLOCKS_BOUND = 256
HEAP_BOUND = 1 << 20
RSS_BOUND = 16 << 20

# ---------------------------------------------------------------------------
# Measuring


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


try:
    _libc = ctypes.CDLL(None)
    _libc.mallinfo2.restype = Mallinfo2
except (OSError, AttributeError):
    _libc = None


def heap_in_use():
    if _libc is None:
        return 0
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle():
    for _ in range(3):
        gc.collect()
    return sys.getallocatedblocks(), heap_in_use()


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
        for name, text in [("good", '{"a": 1, "b": "x", "c": [1], "d": null, "e": 1.5, "f": true}'),
                           ("bad", "{not json"), ("list", "[1, 2]")]:
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


# --- broker_setup ----------------------------------------------------------------------------


class Config:
    pass


class ReadOnlyTopic:
    @property
    def _read_topic(self):
        return None


class FailingKey(str):
    """A key equal to "broker" by hash whose comparison raises."""

    def __hash__(self):
        return hash("broker")

    def __eq__(self, other):
        raise RuntimeError("no comparison")


@operation("broker_setup", "InvalidKafkaConfigurationError")
def op_kafka_error(env):
    def call(i):
        try:
            raise broker_setup.InvalidKafkaConfigurationError("bad", i)
        except broker_setup.InvalidKafkaConfigurationError as e:
            assert e.args == ("bad", i)

    return call, nothing


@operation("broker_setup", "KafkaConfigurationBuilder()")
def op_kafka_builder(env):
    def call(i):
        if i % 3 == 2:
            expect(TypeError, broker_setup.KafkaConfigurationBuilder)
        else:
            broker_setup.KafkaConfigurationBuilder(config=Config())

    return call, nothing


@operation("broker_setup", "KafkaConfigurationBuilder.build")
def op_kafka_build(env):
    builders = [broker_setup.KafkaConfigurationBuilder(Config()),
                broker_setup.KafkaConfigurationBuilder(ReadOnlyTopic())]
    data = {"broker": "b:9092", "push_topic": "p", "read_topic": "r", "dead_letter_topic_name": "d", "x": [1]}

    def call(i):
        v = i % 6
        if v == 0:
            builders[0].build(data)
        elif v == 1:
            builders[0].build(data={"broker": str(i)})
        elif v == 2:
            expect(TypeError, builders[0].build, None)
        elif v == 3:
            expect(TypeError, builders[0].build, DictSub(data))
        elif v == 4:
            expect(AttributeError, builders[1].build, data)
        else:
            expect(RuntimeError, builders[0].build, {FailingKey("k"): 1})

    return call, nothing


# --- journal_setup ---------------------------------------------------------------------------


@operation("journal_setup", "time_tz")
def op_time_tz(env):
    def call(i):
        v = i % 4
        if v == 0:
            journal_setup.time_tz()
        elif v == 1:
            journal_setup.time_tz(1.5)
        elif v == 2:
            journal_setup.time_tz(object(), 2.0)
        else:
            expect(TypeError, journal_setup.time_tz, when=1)

    return call, nothing


@operation("journal_setup", "get_log_level_from_string")
def op_level(env):
    words = ["debug", "Info", "WARNING", "error", "critical", "nonsense", "", " info"]

    def call(i):
        v = i % 10
        if v < 8:
            journal_setup.get_log_level_from_string(words[v])
        elif v == 8:
            expect(TypeError, journal_setup.get_log_level_from_string, 5)
        else:
            expect(TypeError, journal_setup.get_log_level_from_string, StrSub("info"))

    return call, nothing


def setup_op(function):
    def factory(env):
        name = "leakcheck-setup"

        def call(i):
            v = i % 4
            if v < 2:
                logger = function(name, 10 + 10 * v)
                logger.handlers.clear()  # each call adds a handler, by design
            elif v == 2:
                expect(TypeError, function, None, 10)
            else:
                expect(TypeError, function, name, True)

        return call, nothing

    return factory


operation("journal_setup", "setup_base_logger")(setup_op(journal_setup.setup_base_logger))
operation("journal_setup", "setup_sync_logger")(setup_op(journal_setup.setup_sync_logger))


@operation("journal_setup", "setup_logger (synchronous)")
def op_setup_logger(env):
    name = "leakcheck-setup"

    def call(i):
        v = i % 5
        if v == 0:
            journal_setup.setup_logger(name).handlers.clear()
        elif v == 1:
            journal_setup.setup_logger(name, False, "nonsense").handlers.clear()
        elif v == 2:
            journal_setup.setup_logger(service_name=name, async_mode="", log_level_str="info").handlers.clear()
        elif v == 3:
            expect(TypeError, journal_setup.setup_logger, name, False, 10)
        else:
            expect(ValueError, journal_setup.setup_logger, name, BadBool())

    return call, nothing


@operation("journal_setup", "AsyncLogger(), setup_async_logger, setup_logger (async)", is_async=True)
async def op_async_logger_new(env):
    name = "leakcheck-async-new"

    async def call(i):
        v = i % 4
        if v == 3:
            expect(TypeError, journal_setup.AsyncLogger, name, 10, True)
            return
        if v == 0:
            logger = journal_setup.AsyncLogger(name, 10, max_queue_size=5)
        elif v == 1:
            logger = journal_setup.setup_async_logger(name, 20)
        else:
            logger = journal_setup.setup_logger(name, True, "info")
        logger.logger.handlers.clear()
        for task in logger._consumer_tasks:  # its consumer: cancelled
            task.cancel()
        await asyncio.sleep(0)

    return call, nothing_async


@operation("journal_setup", "CustomLogger.error")
def op_custom_error(env):
    logger = env.formatting

    def call(i):
        v = i % 5
        if v == 0:
            try:
                raise KeyError(i)
            except KeyError:
                logger.error("failed")  # with the traceback of the KeyError
        elif v == 1:
            logger.error("plain")
        elif v == 2:
            logger.error("value %s of %s", i, "x", exc_info=False)
        elif v == 3:
            logger.error("with extra", extra={"k": i}, stack_info=False)
        else:
            expect(TypeError, logger.error, ValueError("not a str"))

    return call, nothing


async def async_logger(name, level, size=100):
    logger = journal_setup.AsyncLogger(name, level, size)
    for handler in logger.logger.handlers:
        handler.setStream(open(os.devnull, "w"))
    logger.logger.propagate = False
    return logger


def quiet_loop():
    """Failed records are reported through the loop's exception handler: counted, not printed."""
    asyncio.get_running_loop().set_exception_handler(lambda loop, context: None)


async def drop_logger(logger):
    for task in logger._consumer_tasks:
        task.cancel()
    await asyncio.sleep(0)
    for handler in logger.logger.handlers:
        handler.stream.close()
    logger.logger.handlers.clear()


@operation("journal_setup", "AsyncLogger.error/warning/info/debug", is_async=True)
async def op_async_log(env):
    quiet_loop()
    logger = await async_logger("leakcheck-async", logging.DEBUG)
    filtered = await async_logger("leakcheck-async-filtered", logging.ERROR)

    async def call(i):
        v = i % 8
        if v == 0:
            try:
                raise KeyError(i)
            except KeyError:
                logger.error("failed %s", i)  # the handled exception travels with the record
        elif v == 1:
            logger.warning("warn %s", i)
        elif v == 2:
            logger.info("info", exc_info=False)
        elif v == 3:
            logger.debug("debug %d", i)
        elif v == 4:
            logger.info("bad keyword", bogus=1)  # the consumer's write fails: reported, not fatal
        elif v == 5:
            filtered.info("dropped by the level")
            filtered.debug("dropped by the level")
        elif v == 6:
            expect(TypeError, logger.info, 5)
        else:
            expect(TypeError, logger.error, b"bytes")
        if i % 50 == 49:  # the records are written as the caller goes on
            await asyncio.sleep(0)
            await logger.log_queue.join()

    async def close():
        await logger.log_queue.join()
        await drop_logger(logger)
        await drop_logger(filtered)

    return call, close


@operation("journal_setup", "AsyncLogger logging outside a running loop")
def op_async_log_outside(env):
    made = asyncio.new_event_loop()
    logger = made.run_until_complete(async_logger("leakcheck-outside", logging.INFO))

    def call(i):
        v = i % 3
        if v == 0:
            expect(RuntimeError, logger.error, "no loop")
        elif v == 1:
            assert logger.debug("filtered: no loop needed") is None
        else:
            expect(TypeError, logger.warning, None)

    def close():
        made.run_until_complete(drop_logger(logger))
        made.close()

    return call, close


@operation("journal_setup", "AsyncLogger.print_queue_length", is_async=True)
async def op_print_length(env):
    logger = await async_logger("leakcheck-print", logging.DEBUG)
    out = io.StringIO()

    async def call(i):
        with contextlib.redirect_stdout(out):
            logger.print_queue_length()
        if i % 100 == 99:
            out.seek(0)
            out.truncate()

    async def close():
        await drop_logger(logger)

    return call, close


@operation("journal_setup", "AsyncLogger._log_message", is_async=True)
async def op_log_message(env):
    quiet_loop()
    logger = await async_logger("leakcheck-message", logging.DEBUG, size=1)
    for task in logger._consumer_tasks:  # no consumer: the test drains the queue itself
        task.cancel()
    await asyncio.sleep(0)
    queue = logger.log_queue

    async def call(i):
        v = i % 5
        if v == 0:
            logger._log_message("info", "abandoned").close()  # created, never started
        elif v == 1:
            await logger._log_message("error", "put %s", i, exc_info=False)
            queue.get_nowait()
        elif v == 2:
            await queue.put(("info", "filler", (), {}))  # full now
            assert await logger._log_message("debug", "dropped") is None
            waiting = asyncio.ensure_future(logger._log_message("error", "waits"))
            await asyncio.sleep(0)
            waiting.cancel()  # cancelled while it waits for room
            await asyncio.gather(waiting, return_exceptions=True)
            queue.get_nowait()
        elif v == 3:
            expect(TypeError, logger._log_message, 5, "x")
        else:
            coroutine = logger._log_message("warning", "thrown into before it started")
            expect(LookupError, coroutine.throw, LookupError("thrown"))

    async def close():
        await drop_logger(logger)

    return call, close


@operation("journal_setup", "AsyncLogger._process_log_queue, _ensure_queue_processing", is_async=True)
async def op_consumer(env):
    quiet_loop()
    logger = await async_logger("leakcheck-consumer", logging.DEBUG)

    async def call(i):
        v = i % 3
        if v == 0:
            logger._process_log_queue().close()
        elif v == 1:
            consumer = asyncio.ensure_future(logger._process_log_queue())
            await logger.log_queue.put(("info", "one", (), {}))
            await logger.log_queue.put(("nonsense", "skipped", (), {}))
            await logger.log_queue.put(("malformed",))  # reported; the consumer goes on
            await logger.log_queue.join()
            consumer.cancel()
            await asyncio.gather(consumer, return_exceptions=True)
        else:
            logger._ensure_queue_processing()
            logger._consumer_tasks[-1].cancel()
            await asyncio.sleep(0)
            logger.info("prunes the finished consumers")

    async def close():
        await logger.log_queue.join()
        await drop_logger(logger)

    return call, close


# --- cache_access ----------------------------------------------------------------------------


@operation("cache_access", "IRedisClient methods, BaseRedisClient()")
def op_interface(env):
    interface = cache_access.IRedisClient()

    def call(i):
        v = i % 7
        if v == 0:
            expect(NotImplementedError, interface.get, "k")
        elif v == 1:
            expect(NotImplementedError, interface.set, "k", "v", ex=5)
        elif v == 2:
            expect(NotImplementedError, interface.delete, key="k")
        elif v == 3:
            expect(NotImplementedError, interface.increment_category_counts, "op", [])
        elif v == 4:
            expect(TypeError, interface.set, "k", "v", True)
        elif v == 5:
            expect(NotImplementedError, cache_access.BaseRedisClient, "u", env.logger)
        else:
            expect(TypeError, cache_access.BaseRedisClient, None, env.logger)

    return call, nothing


class ClusterFactory:
    """Stands in for the module's RedisClusterClient: the refused port gets
    the real class (a real refused connection), every 1000th call builds a
    real new connection, the others share one real connection."""

    def __init__(self, env):
        self.env = env
        self.count = 0

    def __call__(self, **kwargs):
        assert set(kwargs) == {"host", "port", "decode_responses"}
        self.count += 1
        if kwargs["port"] == self.env.refused_port:
            return self.env.real_cluster_class(**kwargs)
        if self.count % 1000 == 0:
            fresh = self.env.real_cluster_class(host=HOST, port=self.env.cluster.nodes[0].port,
                                                decode_responses=kwargs["decode_responses"])
            fresh.close()
        return self.env.cluster_connection


@contextlib.contextmanager
def cluster_factory(env):
    real = cache_access.RedisClusterClient
    cache_access.RedisClusterClient = ClusterFactory(env)
    try:
        yield
    finally:
        cache_access.RedisClusterClient = real


def patched_cluster(factory):
    def wrapped(env):
        stack = contextlib.ExitStack()
        stack.enter_context(cluster_factory(env))
        call, close = factory(env)

        def close_all():
            close()
            stack.close()

        return call, close_all

    return wrapped


@operation("cache_access", "ProductionRedisClient()")
@patched_cluster
def op_production_new(env):
    Production = cache_access.ProductionRedisClient
    address = env.cluster.address

    def call(i):
        v = i % 5
        if v in (0, 1):
            Production(address if v == 0 else address.split(":")[0] + ":port", env.logger)
        elif v == 2:
            expect(Exception, Production, f"{HOST}:{env.refused_port}", env.logger)  # logged and raised
        elif v == 3:
            expect(ValueError, Production, "h:\u00b2", env.logger)  # a digit int() refuses: logged, raised
        else:
            expect(TypeError, Production, StrSub(address), env.logger)

    return call, nothing


@operation("cache_access", "ProductionRedisClient._parse_url")
@patched_cluster
def op_parse_url(env):
    client = cache_access.ProductionRedisClient(env.cluster.address, env.logger)
    urls = ["cache-1:700", "cache-1", "cache-1:", "cache-1:port", "cache-1:700:x", "", "redis://h:1",
            "h:\u0661\u0662", "h:" + "9" * 30]

    def call(i):
        v = i % (len(urls) + 2)
        if v < len(urls):
            client._parse_url(urls[v])
        elif v == len(urls):
            expect(ValueError, client._parse_url, "h:\u00b2")
        else:
            expect(TypeError, client._parse_url, None)

    return call, nothing


@operation("cache_access", "DevelopmentRedisClient()")
def op_development_new(env):
    Development = cache_access.DevelopmentRedisClient
    urls = [env.server.url, f"{HOST}:{env.server.port}"]

    def call(i):
        v = i % 5
        if v < 2:
            Development(urls[v], env.logger, decode_responses=bool(i % 2)).client.close()
        elif v == 2:
            expect(ValueError, Development, "redis://h:bad", env.logger)
        elif v == 3:
            expect(ValueError, Development, "redis://user:s3cret@h:bad/0?password=s3cret", env.logger)
        else:
            expect(TypeError, Development, b"redis://h", env.logger)

    return call, nothing


class Clients:
    """A development client, a production client, one that gets bytes and one
    whose server refuses connections, all with the logger of the run."""

    def __init__(self, env):
        self.stack = contextlib.ExitStack()
        self.stack.enter_context(cluster_factory(env))
        self.dev = cache_access.DevelopmentRedisClient(env.server.url, env.logger)
        self.prod = cache_access.ProductionRedisClient(env.cluster.address, env.logger)
        self.raw = cache_access.DevelopmentRedisClient(env.server.url, env.logger, False)
        self.refused = cache_access.DevelopmentRedisClient(f"{HOST}:{env.refused_port}", env.logger)
        self.stack.close()
        self.dev.set("leak-present", "value")

    def close(self):
        for client in (self.dev, self.raw, self.refused):
            client.client.close()


@operation("cache_access", "BaseRedisClient.get")
def op_get(env):
    c = Clients(env)

    def call(i):
        v = i % 6
        if v == 0:
            assert c.dev.get("leak-present") == "value"
        elif v == 1:
            assert c.prod.get("leak-missing") is None
        elif v == 2:
            assert c.raw.get("leak-present") is None  # bytes: logged
        elif v == 3:
            assert c.refused.get("k") is None  # logged
        elif v == 4:
            assert c.dev.get(key="leak-missing") is None
        else:
            expect(TypeError, c.dev.get, 5)

    return call, c.close


@operation("cache_access", "BaseRedisClient.set")
def op_set(env):
    c = Clients(env)

    def call(i):
        v = i % 6
        if v == 0:
            assert c.dev.set("leak-set", "v") is True
        elif v == 1:
            assert c.prod.set("leak-set", "v", 60) is True
        elif v == 2:
            assert c.dev.set("leak-set", "v", ex=-5) is False  # refused by the server: logged
        elif v == 3:
            assert c.refused.set("k", "v") is False
        elif v == 4:
            expect(TypeError, c.dev.set, "k", "v", True)
        else:
            expect(TypeError, c.dev.set, "k", None)

    return call, c.close


@operation("cache_access", "BaseRedisClient.delete")
def op_delete(env):
    c = Clients(env)

    def call(i):
        v = i % 4
        if v == 0:
            assert c.dev.delete("leak-absent") == 0
        elif v == 1:
            assert c.prod.delete("leak-absent") == 0
        elif v == 2:
            assert c.refused.delete("k") is False
        else:
            expect(TypeError, c.dev.delete, None)

    return call, c.close


@operation("cache_access", "BaseRedisClient.increment_category_counts")
def op_increment(env):
    c = Clients(env)
    batch = [{"id": 1, "subCategories": [{"id": 2, "subSubCategories": [{"id": 3}, {}]}]}, {"id": "x"},
             {"id": 5, "subCategories": ({"id": 5},)}]

    def call(i):
        v = i % 6
        if v == 0:
            c.dev.increment_category_counts("leak-op", batch)
        elif v == 1:
            c.prod.increment_category_counts("leak-op", batch)
        elif v == 2:
            c.dev.increment_category_counts("leak-op", [{"id": 1}, "not a dict"])  # logged
        elif v == 3:
            c.dev.increment_category_counts("leak-op", [{"id": 1, "subCategories": None}])  # logged
        elif v == 4:
            c.refused.increment_category_counts("leak-op", [])  # logged
        else:
            expect(TypeError, c.dev.increment_category_counts, "op", ({"id": 1},))

    return call, c.close


@operation("cache_access", "RedisClientFactory.create, initialize_redis")
@patched_cluster
def op_factory(env):
    create, initialize = cache_access.RedisClientFactory.create, cache_access.initialize_redis
    node, plain = env.cluster.address, f"{HOST}:{env.server.port}"

    def call(i):
        v = i % 9
        if v == 0:
            create(env.server.url, "dev", logger=env.logger).client.close()
        elif v == 1:
            create(node, "PRODUCTION", 3, env.logger)
        elif v == 2:
            create(plain, "staging", 1, env.logger).close()
        elif v == 3:
            initialize(node, "production", env.logger)
        elif v == 4:
            initialize(plain, "dev").close()
        elif v == 5:
            expect(ValueError, initialize, "cache-1", "production", env.logger)
        elif v == 6:
            expect(AttributeError, initialize, node, "Production")  # no logger
        elif v == 7:
            expect(TypeError, create, node, None)
        else:
            expect(TypeError, create, node, "production", True)

    return call, nothing


# --- service_toolkit -------------------------------------------------------------------------

Singleton = service_toolkit.SingletonMeta


@operation("service_toolkit", "SingletonMeta.__call__")
def op_singleton(env):
    class Plain(metaclass=Singleton):
        def __init__(self, value=None):
            self.value = value

    class Failing(metaclass=Singleton):
        def __init__(self):
            raise RuntimeError("no instance")

    def call(i):
        v = i % 4
        if v == 0:
            Singleton._instances.pop(Plain, None)
            first = Plain(i)
            assert Plain(value=-1) is first and first.value == i
        elif v == 1:
            expect(RuntimeError, Failing)
        elif v == 2:
            made = Singleton("Made", (), {})  # a new class each time
            assert made() is made()
            del Singleton._instances[made]
        else:
            assert Plain() is Plain()

    def close():
        Singleton._instances.pop(Plain, None)

    return call, close


@operation("service_toolkit", "add_extra_properties_to_schema")
def op_schema(env):
    add, files = service_toolkit.add_extra_properties_to_schema, env.files
    missing = os.path.join(env.dir, "missing.json")

    def call(i):
        v = i % 8
        if v == 0:
            add({"properties": {"a": {}}}, files["good"])
        elif v == 1:
            add(schema={"properties": {"extra": {}}}, appsettings_path=files["good"])
        elif v == 2:
            expect(FileNotFoundError, add, {"properties": {}}, missing)
        elif v == 3:
            expect(ValueError, add, {"properties": {}}, files["bad"])
        elif v == 4:
            expect(AttributeError, add, {"properties": {}}, files["list"])
        elif v == 5:
            expect(KeyError, add, {}, files["good"])
        elif v == 6:
            expect(TypeError, add, DictSub(), files["good"])
        else:
            expect(TypeError, add, {}, None)

    return call, nothing


def fresh(cls):
    Singleton._instances.pop(cls, None)


@operation("service_toolkit", "GoogleChat*Messenger(), setup_google_chat_messenger")
def op_messenger_new(env):
    Sync, Async = service_toolkit.GoogleChatSyncMessenger, service_toolkit.GoogleChatAsyncMessenger
    setup = service_toolkit.setup_google_chat_messenger

    def call(i):
        v = i % 6
        if v == 0:
            fresh(Sync)
            Sync("svc", env.sink + "/ok", "", "PRODUCTION", None, env.logger)
        elif v == 1:
            fresh(Async)
            Async("svc", env.sink + "/ok", env.sink + "/fail", "PRODUCTION", ["PRODUCTION"], env.logger, 10)
        elif v == 2:
            fresh(Sync)
            fresh(Async)
            assert setup("svc", "u", "e", "dev", True) is setup("x", "y", "z", "w", "yes")
            assert type(setup("svc", "u", "", "dev")) is Sync
        elif v == 3:
            fresh(Sync)
            expect(TypeError, Sync, "svc", "u", "e", "dev", ("PRODUCTION",))
        elif v == 4:
            fresh(Async)
            expect(TypeError, Async, "svc", "u", "e", "dev", max_queue_size=True)
        else:
            expect(TypeError, setup, "svc", "u", None, "dev")

    def close():
        fresh(Sync)
        fresh(Async)

    return call, close


@operation("service_toolkit", "GoogleChatSyncMessenger.send_message")
def op_sync_send(env):
    Sync = service_toolkit.GoogleChatSyncMessenger
    fresh(Sync)
    messenger = Sync("svc", env.sink + "/ok", env.sink + "/fail", "PRODUCTION", None, env.logger)

    def call(i):
        v = i % 8
        if v == 0:
            messenger.send_message("ok \u00e9", 1)
        elif v == 1:
            messenger.send_message("error", 0)  # the error webhook answers 500: logged
        elif v == 2:
            messenger.send_message("other", 7, env.sink + "/close")  # connection dropped: logged
        elif v == 3:
            messenger.send_message("refused", webhook_url=env.refused_url)  # logged
        elif v == 4:
            messenger.environ = "staging"
            messenger.send_message("gated")  # not an enabled environment: nothing happens
            messenger.environ = "PRODUCTION"
        elif v == 5:
            expect(TypeError, messenger.send_message, "x", None)
        elif v == 6:
            expect(TypeError, messenger.send_message, "x", 1, b"url")
        else:
            expect(TypeError, messenger.send_message, 5)

    def close():
        fresh(Sync)

    return call, close


def async_messenger(env, size=100):
    Async = service_toolkit.GoogleChatAsyncMessenger
    fresh(Async)
    return Async("svc", env.sink + "/ok", env.sink + "/fail", "PRODUCTION", None, env.logger, size)


async def stop_consumer(messenger):
    if messenger.queue_task is not None:
        messenger.queue_task.cancel()
        await asyncio.gather(messenger.queue_task, return_exceptions=True)
    fresh(type(messenger))


@operation("service_toolkit", "GoogleChatAsyncMessenger.send_message", is_async=True)
async def op_async_send(env):
    messenger = async_messenger(env, size=10)

    async def call(i):
        v = i % 6
        if v == 0:
            messenger.send_message("ok", 1)
        elif v == 1:
            messenger.send_message("error", 0)  # 500: logged by the consumer
        elif v == 2:
            messenger.send_message("no type")
        elif v == 3:
            messenger.send_message("other [close]", 4)  # dropped connection: logged
        elif v == 4:
            expect(TypeError, messenger.send_message, "x", webhook_url="u")
        else:
            expect(TypeError, messenger.send_message, "x", True)
        if i % 25 == 24:
            await asyncio.sleep(0)
            await messenger.log_queue.join()

    async def close():
        await asyncio.sleep(0)
        await messenger.log_queue.join()
        await stop_consumer(messenger)

    return call, close


@operation("service_toolkit", "GoogleChatAsyncMessenger.send_message outside a running loop")
def op_async_send_outside(env):
    messenger = async_messenger(env, size=2)
    own = asyncio.new_event_loop()  # the consumer's loop; never run here
    asyncio.set_event_loop(own)

    def call(i):
        if i % 3 == 2:
            messenger.log_queue.put_nowait(("filler", 1))
            messenger.log_queue.put_nowait(("filler", 1))
            expect(asyncio.QueueFull, messenger.send_message, "no room", 1)
        else:
            messenger.send_message("queued at once", i % 2)
            fallback = asyncio.get_event_loop()  # the new loop the put ran on: closed here
            asyncio.set_event_loop(own)
            fallback.close()
        while not messenger.log_queue.empty():
            messenger.log_queue.get_nowait()

    def close():
        own.run_until_complete(stop_consumer(messenger))
        own.close()
        asyncio.set_event_loop(None)

    return call, close


@operation("service_toolkit", "GoogleChatAsyncMessenger._enqueue_message, _ensure_queue_processing",
           is_async=True)
async def op_enqueue(env):
    messenger = async_messenger(env, size=1)
    queue = messenger.log_queue

    async def call(i):
        v = i % 5
        if v == 0:
            messenger._enqueue_message("abandoned", 1).close()
        elif v == 1:
            await messenger._enqueue_message("put", None)
            queue.get_nowait()
        elif v == 2:
            await messenger._enqueue_message("fills", 1)
            waiting = asyncio.ensure_future(messenger._enqueue_message("waits", 1))
            await asyncio.sleep(0)
            waiting.cancel()  # cancelled while waiting for room
            await asyncio.gather(waiting, return_exceptions=True)
            queue.get_nowait()
        elif v == 3:
            messenger._ensure_queue_processing()
            messenger.queue_task.cancel()
            await asyncio.gather(messenger.queue_task, return_exceptions=True)
            messenger._ensure_queue_processing()  # the cancelled one is replaced
            messenger.queue_task.cancel()
            await asyncio.gather(messenger.queue_task, return_exceptions=True)
        else:
            expect(TypeError, messenger._enqueue_message, None, 1)

    async def close():
        await stop_consumer(messenger)

    return call, close


@operation("service_toolkit", "GoogleChatAsyncMessenger._process_log_queue, _send_message_async", is_async=True)
async def op_async_post(env):
    messenger = async_messenger(env)

    async def call(i):
        v = i % 8
        if v == 0:
            await messenger._send_message_async("posted", 1)
        elif v == 1:
            await messenger._send_message_async("500", 0)  # logged
        elif v == 2:
            await messenger._send_message_async("dropped [close]", 1)  # logged
        elif v == 3:
            messenger._send_message_async("abandoned", 1).close()
        elif v == 4:
            messenger.environ = "staging"
            await messenger._send_message_async("gated", 1)
            messenger.environ = "PRODUCTION"
        elif v == 5:
            messenger._process_log_queue().close()
        elif v == 6:
            consumer = asyncio.ensure_future(messenger._process_log_queue())
            await messenger.log_queue.put(("via the consumer", 5))
            await messenger.log_queue.join()
            consumer.cancel()
            await asyncio.gather(consumer, return_exceptions=True)
        else:
            expect(TypeError, messenger._send_message_async, "x", 1.0)

    async def close():
        await stop_consumer(messenger)

    return call, close


# ---------------------------------------------------------------------------
# Running


def run_phase(env, factory, is_async, count):
    if not is_async:
        call, close = factory(env)
        try:
            for i in range(count):
                call(i)
        finally:
            close()
        return

    async def phase():
        call, close = await factory(env)
        try:
            for i in range(count):
                await call(i)
        finally:
            await close()

    asyncio.run(phase())


def measure(env, name, factory, is_async, iterations, warmup, trace):
    run_phase(env, factory, is_async, warmup)
    rounds = []
    for _ in range(2):
        if trace:
            tracemalloc.start(10)
        blocks, heap = settle()
        snapshot = tracemalloc.take_snapshot() if trace else None
        started = time.perf_counter()
        run_phase(env, factory, is_async, iterations)
        elapsed = time.perf_counter() - started
        blocks_after, heap_after = settle()
        grown = (blocks_after - blocks, heap_after - heap, elapsed)
        over = grown[0] > BLOCKS_BOUND or grown[1] > HEAP_BOUND
        if trace and over:
            print(f"  {name}: where the memory grew")
            for stat in tracemalloc.take_snapshot().compare_to(snapshot, "traceback")[:5]:
                print("   ", stat)
                for line in stat.traceback.format()[-6:]:
                    print("      ", line)
        if trace:
            tracemalloc.stop()
        rounds.append(grown)
        if not over:
            break
    return rounds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=100_000, help="calls per operation (default 100000)")
    parser.add_argument("--warmup", type=int, default=None, help="warm-up calls per operation")
    parser.add_argument("--only", default="", help="run the operations whose name holds this text")
    parser.add_argument("--report-only", action="store_true", help="print the figures, never fail")
    parser.add_argument("--trace", action="store_true", help="show where an operation over the bounds allocated")
    args = parser.parse_args()
    warmup = args.warmup if args.warmup is not None else min(2000, max(300, args.iterations // 20))
    chosen = [op for op in OPERATIONS if args.only in op[0]]
    warnings.simplefilter("ignore", ResourceWarning)

    env = Env()
    failed = []
    try:
        print(f"leak check: {len(chosen)} operations, {args.iterations} calls each after {warmup} warm-up calls")
        print(f"{'operation':<92} {'blocks':>8} {'heap KiB':>9} {'seconds':>8}")
        settle()
        rss_before = None
        total = time.perf_counter()
        for index, (name, factory, is_async) in enumerate(chosen):
            rounds = measure(env, name, factory, is_async, args.iterations, warmup, args.trace)
            if rss_before is None:  # after the first operation's warm-up: the libraries are loaded
                rss_before = rss()
            for n, (blocks, heap, elapsed) in enumerate(rounds):
                label = name if n == 0 else "  (second measured phase)"
                print(f"{label:<92} {blocks:>+8d} {heap / 1024:>+9.1f} {elapsed:>8.2f}", flush=True)
            blocks, heap, _ = rounds[-1]
            if blocks > BLOCKS_BOUND or heap > HEAP_BOUND:
                failed.append(name)
        rss_grown = rss() - rss_before
        stats = env.sink_stats()
    finally:
        env.close()
    print(f"RSS growth over the run: {rss_grown / 2**20:+.1f} MiB (bound {RSS_BOUND >> 20} MiB); "
          f"webhook requests served: {stats['outcomes']}; {time.perf_counter() - total:.0f} s in all")
    print(f"bounds per operation: {BLOCKS_BOUND} blocks, {HEAP_BOUND >> 10} KiB of heap, in two phases running")
    if rss_grown > RSS_BOUND:
        failed.append("RSS")
    if failed:
        print("OVER THE BOUNDS: " + ", ".join(failed))
        return 0 if args.report_only else 1
    print("OK: memory stays flat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
