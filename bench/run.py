#!/usr/bin/env python3
"""Benchmarks of the compiled modules against plain-Python baselines.

    python bench/run.py [--quick] [--markdown] [--only TEXT] [--rounds N]

Every operation is measured side by side in one run, so the table shows
ratios of times taken on the same machine at the same moment:

  module    the compiled module (whatever `import veltrano_python_configuration`
            finds: the installed package, or a build tree put on PYTHONPATH);
  baseline  the plain-Python implementation of the same operation in
            bench/baseline/, which does the same work: exact-type argument
            checks, global lookups at call time, the same library calls;
  library   where the operation wraps a library call, that call made directly.

The sides of an operation are run in rotating order within each round, each
side for the same number of calls; the table reports the best round for
operations that stay in this process and the median round for those that wait
on a server. Before timing, the module and the baseline are run on the same
input and their results (or the library calls they make) are compared, so a
ratio is never reported for two sides that do different work.

Modules are imported lazily: an operation whose module or attribute does not
exist yet is reported as "not built", and the baseline is still measured.

The harness starts what it needs and stops it again, also on Ctrl-C, SIGTERM
or failure: a throwaway redis-server on a free 127.0.0.1 port, an HTTP sink
(bench/sink.py) on 127.0.0.1, temporary settings files, one asyncio loop.

Exit status: 0 when the table was printed, 1 when a baseline or library
measurement failed (a fault of the benchmark itself), 2 for bad options.
Faults of a module (an exception, a result that differs from the baseline)
are shown in the table and the notes below it, and do not change the status.
"""

import argparse
import asyncio
import contextlib
import copy
import gc
import importlib
import io
import json
import logging
import os
import re
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
import types
from dataclasses import dataclass, field
from typing import Callable, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

PACKAGE = "veltrano_python_configuration"
LOG_FORMAT = "\n%(levelname)s - %(asctime)s - %(message)s\n"
DATE_FORMAT = "%m/%d/%Y %H:%M:%S"

# Targets, by what dominates an operation's time.
OWN = "own"  # our own code: at least 1.5x faster than the baseline
OWN_LIB = "own+lib"  # own code around a library call: the part outside the library at least 1.5x faster
LIB = "lib"  # dominated by a library call: no slower than the baseline
WRAP = "wrap"  # a thin wrapper around a server round trip: at most 5% over the library
OWN_TARGET = 1.5
WRAP_TARGET = 0.05
NOISE = 0.03  # results this close to a target (3%) are reported as within noise

# How a side's rounds are summarised.
CPU = "best"  # the best round: interference only ever adds time
IO = "median"  # the median round: a server's latency varies both ways


class Missing(Exception):
    """The module side of an operation does not exist (yet)."""


class Unavailable(Exception):
    """A resource the operation needs could not be started."""


@dataclass
class Settings:
    rounds: int
    io_rounds: int
    batch_ns: int  # a timed batch of calls lasts about this long
    io_batch_ns: int
    budget_ns: int  # rounds are cut so that one operation takes about this long at most


QUICK = Settings(rounds=3, io_rounds=5, batch_ns=2_000_000, io_batch_ns=2_000_000, budget_ns=1_500_000_000)
FULL = Settings(rounds=15, io_rounds=31, batch_ns=10_000_000, io_batch_ns=5_000_000, budget_ns=20_000_000_000)

Runner = Callable[[int], int]  # run(n): make n calls, return the elapsed nanoseconds


@dataclass
class Op:
    name: str
    target: str
    limits: str
    kind: str = CPU
    unit: str = ""  # "node", "key": sized operations report a per-unit cost
    units: int = 0
    family: str = ""  # the sized operations that belong together (for the linearity note)
    module: Optional[Runner] = None
    baseline: Optional[Runner] = None
    library: Optional[Runner] = None
    missing: str = ""  # why there is no module side
    check: Optional[Callable[[], Optional[str]]] = None  # compares module and baseline; returns a problem
    note: Callable[["Op"], str] = lambda op: ""  # extra text made from the results
    # Results, in nanoseconds per call.
    times: dict = field(default_factory=dict)
    module_error: str = ""
    harness_errors: list = field(default_factory=list)
    problems: list = field(default_factory=list)


# ---------------------------------------------------------------------------
# Measuring


def timed(stmt: str, **names) -> Runner:
    """A runner for one statement, looped by timeit (garbage collection off while timing)."""
    return timeit.Timer(stmt, globals=names, timer=time.perf_counter_ns).timeit


def with_attribute(obj, name, value, run: Runner) -> Runner:
    """A runner that sets `obj.name` to `value` around each timed batch, then restores it."""

    def patched(n):
        old = getattr(obj, name)
        setattr(obj, name, value)
        try:
            return run(n)
        finally:
            setattr(obj, name, old)

    return patched


def calibrate(run: Runner, batch_ns: int, first_ns: int) -> int:
    """The number of calls that makes one timed batch last about `batch_ns`; one call took `first_ns`."""
    n, elapsed = 1, max(first_ns, 1)
    while elapsed < batch_ns // 4 and n < 1_000_000:
        n *= 10 if elapsed < batch_ns // 50 else 4
        elapsed = max(run(n), 1)
    return max(1, min(2_000_000, round(n * batch_ns / elapsed)))


def measure(op: Op, settings: Settings) -> None:
    sides = [(label, run) for label, run in (("module", op.module), ("baseline", op.baseline), ("library", op.library)) if run]
    # One call of each side as a warm-up, which also finds a side that fails.
    working, first = [], {}
    for label, run in sides:
        try:
            first[label] = run(1)
            working.append((label, run))
        except Exception as error:  # noqa: BLE001 - reported in the table
            record_failure(op, label, error)
    if not working:
        return
    if op.check and any(label == "module" for label, _ in working):
        try:
            problem = op.check()
        except Exception as error:  # noqa: BLE001
            problem = "check failed: %s: %s" % (type(error).__name__, error)
        if problem:
            op.problems.append(problem)
    io = op.kind == IO
    batch_ns = settings.io_batch_ns if io else settings.batch_ns
    label, run = working[0]
    n = calibrate(run, batch_ns, first[label])
    # Operations whose single call takes long get fewer rounds, within the time budget.
    slowest = max(first.values()) * n
    rounds = settings.io_rounds if io else settings.rounds
    rounds = max(1, min(rounds, settings.budget_ns // max(1, slowest * len(working))))
    samples = {label: [] for label, _ in working}
    for r in range(rounds):
        order = working[r % len(working):] + working[: r % len(working)]
        for label, run in order:
            if label not in samples:
                continue
            try:
                samples[label].append(run(n) / n)
            except Exception as error:  # noqa: BLE001
                record_failure(op, label, error)
                del samples[label]
    for label, values in samples.items():
        op.times[label] = statistics.median(values) if io else min(values)


def record_failure(op: Op, label: str, error: BaseException) -> None:
    text = "%s: %s" % (type(error).__name__, str(error).splitlines()[0] if str(error) else "")
    if label == "module":
        op.module_error = text
    else:
        op.harness_errors.append("%s side: %s" % (label, text))


# ---------------------------------------------------------------------------
# Processes and other resources


def die_with_parent() -> None:
    """In a child process: ask the kernel to end it when the harness dies."""
    try:
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:  # noqa: BLE001 - best effort; the harness stops its children itself
        pass


def stop_process(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Context:
    """What the operations share: lazily started servers, files, the event loop, the modules."""

    def __init__(self, stack: contextlib.ExitStack):
        self.stack = stack
        self._redis_port = None
        self._redis_error = None
        self._sink = None
        self._sink_error = None
        self._tmp = None
        self._loop = None
        self.modules = {}
        self.package_error = None
        try:
            self.package = importlib.import_module(PACKAGE)
        except ImportError as error:
            self.package = None
            self.package_error = "package not importable: %s" % error

    # -- modules

    def module(self, short: str):
        if self.package is None:
            raise Missing(self.package_error)
        if short not in self.modules:
            try:
                self.modules[short] = importlib.import_module("%s.%s" % (PACKAGE, short))
            except ImportError as error:
                self.modules[short] = Missing("%s not built (%s)" % (short, error))
        found = self.modules[short]
        if isinstance(found, Missing):
            raise found
        return found

    def attr(self, short: str, dotted: str):
        """Module attribute `dotted` (for example "BaseRedisClient.get") of module `short`."""
        obj = self.module(short)
        for part in dotted.split("."):
            if not hasattr(obj, part):
                raise Missing("not built: %s.%s" % (short, dotted))
            obj = getattr(obj, part)
        return obj

    @staticmethod
    def baseline(short: str):
        return importlib.import_module("baseline.%s" % short)

    # -- resources

    def tmpdir(self) -> str:
        if self._tmp is None:
            self._tmp = self.stack.enter_context(tempfile.TemporaryDirectory(prefix="vpc-bench-"))
        return self._tmp

    def redis_port(self) -> int:
        if self._redis_port is None and self._redis_error is None:
            try:
                self._redis_port = self._start_redis()
            except Unavailable as error:
                self._redis_error = str(error)
        if self._redis_error:
            raise Unavailable(self._redis_error)
        return self._redis_port

    def _start_redis(self) -> int:
        exe = shutil.which("redis-server")
        if not exe:
            raise Unavailable("redis-server not found")
        import redis

        port = free_port()
        data = os.path.join(self.tmpdir(), "redis")
        os.mkdir(data)
        proc = subprocess.Popen(
            [exe, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no",
             "--dir", data, "--loglevel", "warning", "--daemonize", "no"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent,
        )
        self.stack.callback(stop_process, proc)
        probe = redis.Redis(host="127.0.0.1", port=port, socket_timeout=1)
        deadline = time.monotonic() + 10
        while True:
            if proc.poll() is not None:
                raise Unavailable("redis-server exited with status %s" % proc.returncode)
            try:
                probe.ping()
                break
            except redis.exceptions.ConnectionError:
                if time.monotonic() > deadline:
                    raise Unavailable("redis-server did not answer on port %d" % port) from None
                time.sleep(0.02)
        probe.close()
        return port

    def sink_url(self) -> str:
        if self._sink is None and self._sink_error is None:
            try:
                self._sink = self._start_sink()
            except Unavailable as error:
                self._sink_error = str(error)
        if self._sink_error:
            raise Unavailable(self._sink_error)
        return self._sink

    def _start_sink(self) -> str:
        proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "sink.py")],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent, text=True,
        )
        self.stack.callback(stop_process, proc)
        self.stack.callback(proc.stdout.close)
        # The sink prints its port as soon as it listens.
        ready, _, _ = select.select([proc.stdout], [], [], 10)
        line = proc.stdout.readline() if ready else ""
        if not line.startswith("READY "):
            raise Unavailable("the HTTP sink did not start")
        return "http://127.0.0.1:%d" % int(line.split()[1])

    def loop(self) -> asyncio.AbstractEventLoop:
        if self._loop is None:
            self._loop = asyncio.new_event_loop()
            self.stack.callback(self._close_loop)
        return self._loop

    def _close_loop(self) -> None:
        loop = self._loop
        tasks = asyncio.all_tasks(loop)
        for task in tasks:
            task.cancel()
        loop.run_until_complete(asyncio.gather(*tasks, return_exceptions=True))
        loop.close()


# ---------------------------------------------------------------------------
# Helpers shared by the operations


class NullStream:
    """A text stream that drops what is written to it and counts the writes."""

    __slots__ = ("writes",)

    def __init__(self):
        self.writes = 0

    def write(self, text):
        self.writes += 1

    def flush(self):
        pass


class RecordingLogger:
    """The logger handed to clients and messengers: any `error` call means a failed operation."""

    def __init__(self):
        self.errors = []

    def error(self, msg, *args, **kwargs):
        self.errors.append(msg)

    def info(self, msg, *args, **kwargs):
        pass


def quiet(logger: logging.Logger, clock) -> NullStream:
    """Point the stream handlers of `logger` at a null stream and make `clock` their formatters' clock.

    Both the module and the baseline set the process-wide `logging.Formatter.converter`
    when imported; each formatter gets its own side's clock so that each side
    is measured with its own `time_tz`.
    """
    stream = NullStream()
    for handler in logger.handlers:
        if isinstance(handler, logging.StreamHandler):
            handler.setStream(stream)
            if handler.formatter is not None:
                handler.formatter.converter = clock
    return stream


def plain_logger(name: str, clock) -> logging.Logger:
    """A logging.Logger set up like setup_base_logger's, but of the library's own class."""
    logger = logging.Logger(name, logging.DEBUG)
    handler = logging.StreamHandler()
    handler.setLevel(logging.DEBUG)
    handler.setFormatter(logging.Formatter(LOG_FORMAT, datefmt=DATE_FORMAT))
    logger.addHandler(handler)
    quiet(logger, clock)
    return logger


def module_side(op: Op, make: Callable[[], Runner]) -> None:
    """Set the module runner of `op` from `make()`, or record why there is none."""
    try:
        op.module = make()
    except Missing as missing:
        op.missing = str(missing)
    except Exception as error:  # noqa: BLE001 - a module that fails to set up
        op.module_error = "set-up failed: %s: %s" % (type(error).__name__, error)


def try_module(ctx: Context, short: str, dotted: str):
    """The module attribute, or None when it is not built."""
    try:
        return ctx.attr(short, dotted)
    except Missing:
        return None


def clock_for_library(ctx: Context):
    """The clock of the library-direct logging runs: the module's time_tz when built, else the baseline's."""
    return try_module(ctx, "journal_setup", "time_tz") or ctx.baseline("journal_setup").time_tz


def category_batch(nodes: int) -> list:
    """A batch of category trees with `nodes` nodes in all (ten per category)."""
    batch = []
    for c in range(nodes // 10):
        subs = [
            {
                "id": "sub-%d-%d" % (c, s),
                "name": "subcategory",
                "subSubCategories": [{"id": c * 100 + s * 10 + t, "name": "leaf"} for t in range(2)],
            }
            for s in range(3)
        ]
        batch.append({"id": "cat-%d" % c, "name": "category", "subCategories": subs})
    return batch


def category_fields(batch: list) -> list:
    """The hash fields a walk of `batch` increments, in order."""
    fields = []
    for category in batch:
        fields.append(str(category.get("id")))
        for sub in category.get("subCategories", []):
            fields.append(str(sub.get("id")))
            for leaf in sub.get("subSubCategories", []):
                fields.append(str(leaf.get("id")))
    return fields


class NoopPipeline:
    """A pipeline whose commands cost a builtin call and do nothing: isolates the walk."""

    __slots__ = ()
    expire = slice  # expire(key, seconds) -> slice(key, seconds)
    hincrby = slice  # hincrby(key, field, 1) -> slice(key, field, 1)
    execute = tuple  # execute() -> ()


class NoopConnection:
    __slots__ = ()
    _pipeline = NoopPipeline()

    def pipeline(self):
        return self._pipeline


class RecordingPipeline:
    def __init__(self, commands):
        self.commands = commands

    def expire(self, *args):
        self.commands.append(("expire",) + args)

    def hincrby(self, *args):
        self.commands.append(("hincrby",) + args)

    def execute(self):
        self.commands.append(("execute",))


class RecordingConnection:
    def __init__(self):
        self.commands = []

    def pipeline(self):
        return RecordingPipeline(self.commands)


def client_on(base_class, connection, logger):
    """An instance of a subclass of `base_class` whose connect() returns `connection`."""
    cls = type("BenchClient", (base_class,), {"connect": lambda self: connection})
    return cls("bench", logger)


def library_increment(connection, key, fields):
    """The commands of one increment_category_counts call, sent with redis-py directly."""
    pipe = connection.pipeline()
    for name in fields:
        pipe.hincrby(key, name, 1)
    pipe.expire(key, 10800)
    pipe.execute()


def settings_file(directory: str, keys: int) -> tuple:
    """Write a settings file of `keys` keys; return its path and a schema declaring every other key."""
    samples = ["text", 42, 3.5, True, None, [1, 2], {"nested": 1}]
    settings = {"setting_%06d" % i: samples[i % len(samples)] for i in range(keys)}
    path = os.path.join(directory, "appsettings_%d.json" % keys)
    with open(path, "w") as out:
        json.dump(settings, out)
    declared = {name: {"type": "string"} for i, name in enumerate(settings) if i % 2 == 0}
    return path, {"type": "object", "properties": declared}


def card(service, environ, color, text) -> dict:
    return {
        "cards": [
            {
                "header": {"title": "*%s*" % service, "subtitle": "_%s_" % environ},
                "sections": [{"widgets": [{"textParagraph": {"text": "<font color='%s'>%s</font>" % (color, text)}}]}],
            }
        ]
    }


HEADERS = {"Content-Type": "application/json; charset=UTF-8"}


class InstantResponse:
    """The answer of the stubbed requests.post: a success whose raise_for_status does nothing."""

    __slots__ = ()
    raise_for_status = tuple  # a builtin: raise_for_status() -> ()


INSTANT_RESPONSE = InstantResponse()


def instant_post(**kwargs):
    return INSTANT_RESPONSE


# ---------------------------------------------------------------------------
# The operations, one builder per module


def journal_ops(ctx: Context) -> list:
    base = ctx.baseline("journal_setup")
    ops = []

    op = Op("get_log_level_from_string", OWN, "upper(), five reads of logging.*, the level table")
    op.baseline = timed("f(s)", f=base.get_log_level_from_string, s="info")
    module_side(op, lambda: timed("f(s)", f=ctx.attr("journal_setup", "get_log_level_from_string"), s="info"))

    def check_levels():
        f = ctx.attr("journal_setup", "get_log_level_from_string")
        for s in ("info", "Debug", "warn", "", "CRITICAL", " info"):
            if f(s) != base.get_log_level_from_string(s):
                return "get_log_level_from_string(%r): module %r, baseline %r" % (s, f(s), base.get_log_level_from_string(s))
        return None

    op.check = check_levels
    ops.append(op)

    import pytz
    from datetime import datetime

    op = Op("time_tz", LIB, "pytz.timezone() lookup, datetime.now(tz), timetuple(): pure-Python pytz")
    op.baseline = timed("f()", f=base.time_tz)
    op.library = timed("now(tz(z)).timetuple()", now=datetime.now, tz=pytz.timezone, z="Asia/Kolkata")
    module_side(op, lambda: timed("f()", f=ctx.attr("journal_setup", "time_tz")))

    def check_clock():
        got, want = ctx.attr("journal_setup", "time_tz")(), base.time_tz()
        if tuple(got)[:3] != tuple(want)[:3] or len(tuple(got)) != 9:
            return "time_tz: module %r, baseline %r" % (got, want)
        return None

    op.check = check_clock
    ops.append(op)

    # The synchronous logger into a null stream: the module's CustomLogger, the
    # baseline's, and logging.Logger's own method on a plain library logger.
    base_logger = base.setup_base_logger("bench.baseline.sync", logging.DEBUG)
    quiet(base_logger, base.time_tz)
    lib_logger = plain_logger("bench.library.sync", clock_for_library(ctx))

    made = []

    def module_logger():
        # Made once: every setup_base_logger call adds one more handler to the named logger.
        if not made:
            setup = ctx.attr("journal_setup", "setup_base_logger")
            ctx.attr("journal_setup", "CustomLogger")
            logger = setup("bench.module.sync", logging.DEBUG)
            quiet(logger, ctx.attr("journal_setup", "time_tz"))
            made.append(logger)
        return made[0]

    for method, library_stmt, limits in (
        ("error", "lg.error(m, exc_info=True)", "logging's record, format and emit, and formatting exc_info"),
        ("info", "lg.info(m)", "inherited from logging.Logger: only the clock (time_tz) is ours"),
    ):
        op = Op("CustomLogger.%s (null stream)" % method, LIB, limits)
        op.baseline = timed("lg.%s(m)" % method, lg=base_logger, m="bench message")
        op.library = timed(library_stmt, lg=lib_logger, m="bench message")
        module_side(op, lambda method=method: timed("lg.%s(m)" % method, lg=module_logger(), m="bench message"))
        op.check = lambda method=method: compare_records(module_logger(), base_logger, method)
        ops.append(op)

    ops.append(async_logger_op(ctx, base))
    return ops


def compare_records(module_logger, base_logger, method) -> Optional[str]:
    """Both loggers must write the same text for the same call (digits masked: the clock moves)."""
    written = []
    for logger in (module_logger, base_logger):
        buffer = io.StringIO()
        handlers = [h for h in logger.handlers if isinstance(h, logging.StreamHandler)]
        old = [h.setStream(buffer) for h in handlers]
        try:
            getattr(logger, method)("bench message")
        finally:
            for handler, stream in zip(handlers, old):
                handler.setStream(stream)
        written.append(re.sub(r"\d", "0", buffer.getvalue()))
    if written[0] != written[1]:
        return "%s: module wrote %r, baseline %r" % (method, written[0][:200], written[1][:200])
    return None


def async_logger_op(ctx: Context, base) -> Op:
    """AsyncLogger.info through the queue to the null stream, on one event loop."""
    loop = ctx.loop()
    message = "bench message"

    def runner(make_logger) -> Runner:
        async def build():
            return make_logger()

        logger, stream = loop.run_until_complete(build())

        async def batch(n):
            start = stream.writes
            t0 = time.perf_counter_ns()
            for _ in range(n):
                logger.info(message)
            deadline = time.monotonic() + 10 + n / 1000
            while stream.writes - start < n:
                if time.monotonic() > deadline:
                    raise TimeoutError("%d of %d records written" % (stream.writes - start, n))
                await asyncio.sleep(0)
            return time.perf_counter_ns() - t0

        def run(n):
            gc.disable()
            try:
                return loop.run_until_complete(batch(n))
            finally:
                gc.enable()

        return run

    counter = iter(range(1_000_000))

    def side_logger(async_logger_class, clock):
        # Unbounded queue (size 0): the benchmark measures the hand-over, not back-pressure.
        logger = async_logger_class("bench.async.%d" % next(counter), logging.INFO, 0)
        return logger, quiet(logger.logger, clock)

    def library_logger():
        # The same hand-over made with asyncio directly: the library's own Queue.put
        # coroutine through run_coroutine_threadsafe, a bare consumer, a library logger.
        queue = asyncio.Queue(0)
        sync_logger = plain_logger("bench.library.async", clock_for_library(ctx))
        stream = sync_logger.handlers[0].stream

        async def consume():
            while True:
                msg, args, kwargs = await queue.get()
                sync_logger.info(msg, *args, **kwargs)
                queue.task_done()

        loop.create_task(consume())
        running = asyncio.get_running_loop
        handover = asyncio.run_coroutine_threadsafe
        empty_args, empty_kwargs = (), {}

        class Direct:
            @staticmethod
            def info(msg):
                handover(queue.put((msg, empty_args, empty_kwargs)), running())

        return Direct, stream

    op = Op("AsyncLogger.info through the queue", LIB,
            "run_coroutine_threadsafe hand-over and loop wake-ups, then the logging of each record", kind=IO)
    op.baseline = runner(lambda: side_logger(base.AsyncLogger, base.time_tz))
    op.library = runner(library_logger)
    module_side(op, lambda: runner(lambda: side_logger(ctx.attr("journal_setup", "AsyncLogger"),
                                                        ctx.attr("journal_setup", "time_tz"))))
    op.note = lambda op: "; ".join(
        "%s %s records/s" % (label, thousands(1e9 / op.times[label])) for label in ("module", "baseline") if label in op.times
    )
    return op


def cache_ops(ctx: Context) -> list:
    base = ctx.baseline("cache_access")
    ops = []

    op = Op("ProductionRedisClient._parse_url", OWN, "str.split, isdigit, int(), the result tuple")
    base_client = base.ProductionRedisClient.__new__(base.ProductionRedisClient)
    op.baseline = timed("p._parse_url(u)", p=base_client, u="cache-1:7000")

    def module_parse():
        cls = ctx.attr("cache_access", "ProductionRedisClient")
        ctx.attr("cache_access", "ProductionRedisClient._parse_url")
        return timed("p._parse_url(u)", p=cls.__new__(cls), u="cache-1:7000")

    module_side(op, module_parse)

    def check_parse():
        cls = ctx.attr("cache_access", "ProductionRedisClient")
        inst = cls.__new__(cls)
        for url in ("cache-1:7000", "cache-1", "cache-1:", "cache-1:0070", "a:1:2", ""):
            got, want = inst._parse_url(url), base_client._parse_url(url)
            if got != want:
                return "_parse_url(%r): module %r, baseline %r" % (url, got, want)
        return None

    op.check = check_parse
    ops.append(op)

    # The walk alone: a pipeline whose commands do nothing.
    for nodes in (10, 1_000, 100_000):
        batch = category_batch(nodes)
        op = Op("increment_category_counts, no-op pipeline, %s nodes" % thousands(nodes), OWN,
                "one pipeline method call per node (lookup + call) and the walk's dict.get calls",
                unit="node", units=nodes, family="increment_category_counts, no-op pipeline")
        base_noop = client_on(base.BaseRedisClient, NoopConnection(), RecordingLogger())
        op.baseline = timed("c.increment_category_counts(o, b)", c=base_noop, o="bench-op", b=batch)

        def module_noop(batch=batch):
            cls = ctx.attr("cache_access", "BaseRedisClient")
            ctx.attr("cache_access", "BaseRedisClient.increment_category_counts")
            return timed("c.increment_category_counts(o, b)", c=client_on(cls, NoopConnection(), RecordingLogger()),
                         o="bench-op", b=batch)

        module_side(op, module_noop)
        if nodes == 1_000:
            op.check = lambda batch=batch: compare_walks(ctx, base, batch)
        ops.append(op)

    try:
        port = ctx.redis_port()
    except Unavailable as why:
        names = ["DevelopmentRedisClient.%s" % m for m in ("get", "set", "delete")]
        names += ["increment_category_counts, Redis, %s nodes" % thousands(n) for n in (10, 1_000, 100_000)]
        for name in names:
            op = Op(name, WRAP, "", kind=IO)
            op.missing = "skipped: %s" % why
            ops.append(op)
        return ops

    import redis

    url = "127.0.0.1:%d" % port
    library = redis.Redis.from_url("redis://" + url, decode_responses=True)
    library.set("bench:key", "v" * 32)
    base_logger = RecordingLogger()
    base_dev = base.DevelopmentRedisClient(url, base_logger)
    module_logger = RecordingLogger()
    module_dev = []

    def module_client():
        if not module_dev:
            module_dev.append(ctx.attr("cache_access", "DevelopmentRedisClient")(url, module_logger))
        return module_dev[0]

    for method, stmt, library_stmt in (
        ("get", "c.get(k)", "c.get(k)"),
        ("set", "c.set(k, v)", "c.set(k, v, ex=604800)"),
        ("delete", "c.delete(d)", "c.delete(d)"),
    ):
        op = Op("DevelopmentRedisClient.%s" % method, WRAP, "the round trip to redis-server and redis-py's command handling",
                kind=IO)
        names = dict(k="bench:key", v="v" * 32, d="bench:absent")
        op.baseline = timed(stmt, c=base_dev, **names)
        op.library = timed(library_stmt, c=library, **names)

        def module_run(method=method, stmt=stmt, names=names):
            ctx.attr("cache_access", "BaseRedisClient." + method)
            return timed(stmt, c=module_client(), **names)

        module_side(op, module_run)
        op.check = lambda: logged_errors(module_logger, base_logger) or compare_redis(module_client(), base_dev)
        ops.append(op)

    for nodes in (10, 1_000, 100_000):
        batch = category_batch(nodes)
        fields = category_fields(batch)
        op = Op("increment_category_counts, Redis, %s nodes" % thousands(nodes), WRAP,
                "redis-py queues and packs each command in Python; one round trip", kind=IO, unit="node", units=nodes,
                family="increment_category_counts, Redis")
        op.baseline = timed("c.increment_category_counts(o, b)", c=base_dev, o="bench-baseline", b=batch)
        op.library = timed("inc(c, k, f)", inc=library_increment, c=library,
                           k="Mod:RetagOperations:bench-library:category_counts", f=fields)

        def module_incr(batch=batch):
            ctx.attr("cache_access", "BaseRedisClient.increment_category_counts")
            return timed("c.increment_category_counts(o, b)", c=module_client(), o="bench-module", b=batch)

        module_side(op, module_incr)
        op.check = lambda: logged_errors(module_logger, base_logger)
        ops.append(op)
    return ops


def compare_walks(ctx: Context, base, batch) -> Optional[str]:
    """Run both walks on a recording pipeline; they must queue the same commands."""
    recorded = {}
    for label, cls in (("module", ctx.attr("cache_access", "BaseRedisClient")), ("baseline", base.BaseRedisClient)):
        connection, logger = RecordingConnection(), RecordingLogger()
        client_on(cls, connection, logger).increment_category_counts("bench-op", batch)
        if logger.errors:
            return "%s logged: %s" % (label, logger.errors[0])
        recorded[label] = connection.commands
    if recorded["module"] != recorded["baseline"]:
        return "increment_category_counts: module and baseline queue different commands"
    return None


def compare_redis(module_client, base_client) -> Optional[str]:
    for key in ("bench:key", "bench:absent"):
        got, want = module_client.get(key), base_client.get(key)
        if got != want:
            return "get(%r): module %r, baseline %r" % (key, got, want)
    return None


def logged_errors(*loggers) -> Optional[str]:
    for logger in loggers:
        if logger.errors:
            return "logged: %s" % logger.errors[0]
    return None


def toolkit_ops(ctx: Context) -> list:
    base = ctx.baseline("service_toolkit")
    ops = []

    op = Op("SingletonMeta call, existing instance", OWN, "type's call slot dispatching to __call__, two dict lookups")
    base_single = base.SingletonMeta("BenchSingleton", (), {})
    base_single()
    op.baseline = timed("S()", S=base_single)

    def module_single():
        meta = ctx.attr("service_toolkit", "SingletonMeta")
        cls = meta("BenchSingleton", (), {})
        first = cls()
        if cls() is not first:
            raise AssertionError("SingletonMeta returned two instances")
        return timed("S()", S=cls)

    module_side(op, module_single)
    ops.append(op)

    for keys in (10, 1_000, 100_000):
        path, schema = settings_file(ctx.tmpdir(), keys)
        op = Op("add_extra_properties_to_schema, %s keys" % thousands(keys), OWN_LIB,
                "json.load of the file; per key a dict lookup, a membership test, a new entry",
                unit="key", units=keys, family="add_extra_properties_to_schema")
        op.baseline = timed("f(s, p)", f=base.add_extra_properties_to_schema, s=copy.deepcopy(schema), p=path)
        op.library = timed("with open(p, 'r') as fh: load(fh)", load=json.load, p=path)

        def module_schema(path=path, schema=schema):
            f = ctx.attr("service_toolkit", "add_extra_properties_to_schema")
            return timed("f(s, p)", f=f, s=copy.deepcopy(schema), p=path)

        def check_schema(path=path, schema=schema):
            f = ctx.attr("service_toolkit", "add_extra_properties_to_schema")
            got = f(copy.deepcopy(schema), path)
            want = base.add_extra_properties_to_schema(copy.deepcopy(schema), path)
            if json.dumps(got) != json.dumps(want):
                return "add_extra_properties_to_schema: module and baseline results differ (%s keys)" % thousands(keys)
            return None

        module_side(op, module_schema)
        op.check = check_schema
        ops.append(op)

    ops.extend(messenger_ops(ctx, base))
    return ops


def messenger_ops(ctx: Context, base) -> list:
    text = "Nightly import finished: 1,204 rows"
    try:
        sink = ctx.sink_url()
        sink_error = None
    except Unavailable as why:
        sink, sink_error = "http://127.0.0.1:9", str(why)
    hooks = (sink + "/chat", sink + "/chat-errors")
    ops = []
    base_logger, module_logger = RecordingLogger(), RecordingLogger()
    base_messenger = base.GoogleChatSyncMessenger("bench-service", hooks[0], hooks[1], "production", None, base_logger)
    module_messenger = []

    def messenger():
        if not module_messenger:
            cls = ctx.attr("service_toolkit", "GoogleChatSyncMessenger")
            module_messenger.append((ctx.module("service_toolkit"),
                                     cls("bench-service", hooks[0], hooks[1], "production", None, module_logger)))
        return module_messenger[0]

    # The card build: requests replaced in each module by a stub whose post answers at once.
    stub = types.SimpleNamespace(post=instant_post)
    op = Op("GoogleChatSyncMessenger.send_message, card build", OWN_LIB,
            "json.dumps of the card; the nested dicts and the three formatted strings")
    op.baseline = with_attribute(base, "requests", stub, timed("m.send_message(t, 1)", m=base_messenger, t=text))
    op.library = timed("dumps(c)", dumps=json.dumps, c=card("bench-service", "production", "#008000", text))

    def module_card():
        module, instance = messenger()
        return with_attribute(module, "requests", stub, timed("m.send_message(t, 1)", m=instance, t=text))

    def check_card():
        module, instance = messenger()
        posts = {}
        for label, mod, obj in (("module", module, instance), ("baseline", base, base_messenger)):
            calls = []
            recorder = types.SimpleNamespace(post=lambda **kw: calls.append(kw) or INSTANT_RESPONSE)
            old = mod.requests
            mod.requests = recorder
            try:
                for message_type in (1, 0, 7):
                    obj.send_message(text + " <b>\u00e9</b>", message_type)
            finally:
                mod.requests = old
            posts[label] = calls
        problem = logged_errors(module_logger, base_logger)
        del module_logger.errors[:], base_logger.errors[:]
        if posts["module"] != posts["baseline"]:
            return "send_message: module and baseline post different requests"
        return problem

    module_side(op, module_card)
    op.check = check_card
    ops.append(op)

    op = Op("GoogleChatSyncMessenger.send_message, post to local sink", LIB,
            "requests.post: a new connection and HTTP exchange per message", kind=IO)
    if sink_error:
        op.missing = "skipped: %s" % sink_error
        ops.append(op)
        return ops
    import requests

    op.baseline = timed("m.send_message(t, 1)", m=base_messenger, t=text)
    op.library = timed("post(url=u, headers=h, data=dumps(c), timeout=10)", post=requests.post, u=hooks[0], h=HEADERS,
                       dumps=json.dumps, c=card("bench-service", "production", "#008000", text))
    module_side(op, lambda: timed("m.send_message(t, 1)", m=messenger()[1], t=text))
    op.check = lambda: logged_errors(module_logger, base_logger)
    ops.append(op)
    return ops


def broker_ops(ctx: Context) -> list:
    base = ctx.baseline("broker_setup")

    class KafkaConfig:
        pass

    data = {"broker": "127.0.0.1:9092", "push_topic": "push", "read_topic": "read",
            "dead_letter_topic_name": "dead-letters", "group_id": "bench"}
    op = Op("KafkaConfigurationBuilder.build", OWN, "four dict lookups and four attribute stores on a Python object")
    op.baseline = timed("b.build(d)", b=base.KafkaConfigurationBuilder(KafkaConfig()), d=data)
    module_side(op, lambda: timed("b.build(d)", b=ctx.attr("broker_setup", "KafkaConfigurationBuilder")(KafkaConfig()),
                                  d=data))

    def check_build():
        got, want = KafkaConfig(), KafkaConfig()
        ctx.attr("broker_setup", "KafkaConfigurationBuilder")(got).build(data)
        base.KafkaConfigurationBuilder(want).build(data)
        return None if vars(got) == vars(want) else "build: module %r, baseline %r" % (vars(got), vars(want))

    op.check = check_build
    return [op]


GROUPS = (("journal_setup", journal_ops), ("cache_access", cache_ops), ("service_toolkit", toolkit_ops),
          ("broker_setup", broker_ops))


# ---------------------------------------------------------------------------
# The table


def thousands(n) -> str:
    return "{:,.0f}".format(n)


def duration(ns: Optional[float]) -> str:
    if ns is None:
        return "-"
    for scale, unit in ((1e9, "s"), (1e6, "ms"), (1e3, "us")):
        if ns >= scale:
            value = ns / scale
            return ("%.3g %s" % (value, unit)) if value < 100 else ("%.0f %s" % (value, unit))
    return "%.3g ns" % ns if ns < 100 else "%.0f ns" % ns


def percent(x: float) -> str:
    return "%+.1f%%" % (100 * x) if abs(x) < 0.1 else "%+.0f%%" % (100 * x)


def verdict(op: Op) -> tuple:
    """(target text, outcome) for an operation with a module time."""
    mod, base, lib = (op.times.get(k) for k in ("module", "baseline", "library"))
    if mod is None or base is None:
        return "", ""

    def against(value, target, higher_is_better=True):
        if higher_is_better:
            if value >= target:
                return "met"
            return "within noise" if value >= target * (1 - NOISE) else "MISSED"
        if value <= target:
            return "met"
        return "within noise" if value <= target + NOISE else "MISSED"

    if op.target == OWN:
        return ">=%.1fx" % OWN_TARGET, against(base / mod, OWN_TARGET)
    if op.target == LIB:
        return ">=1.0x", against(base / mod, 1.0)
    if op.target == OWN_LIB:
        own = own_part_ratio(op)
        if own is None:
            return "own part >=%.1fx" % OWN_TARGET, "n/a (library time >= module time)"
        first = against(own, OWN_TARGET)
        second = against(base / mod, 1.0)
        worst = first if first != "met" else second
        return "own part >=%.1fx" % OWN_TARGET, worst
    if op.target == WRAP and lib:
        return "<=%d%% over library" % round(100 * WRAP_TARGET), against((mod - lib) / lib, WRAP_TARGET, False)
    return "", ""


def own_part_ratio(op: Op) -> Optional[float]:
    """baseline/module for the time outside the directly measured library call."""
    mod, base, lib = (op.times.get(k) for k in ("module", "baseline", "library"))
    if None in (mod, base, lib) or mod <= lib or base <= lib:
        return None
    return (base - lib) / (mod - lib)


COLUMNS = ("operation", "module", "baseline", "ratio base/mod", "library", "lib share", "mod over lib",
           "per unit mod / base", "target", "outcome", "limited by")


def row_cells(op: Op) -> list:
    mod, base, lib = (op.times.get(k) for k in ("module", "baseline", "library"))
    if op.module_error:
        module_text = "module error"
    elif op.missing:
        module_text = "not built" if op.missing.startswith("not built") or "not built" in op.missing else "skipped"
    else:
        module_text = duration(mod)
    ratio = "%.2fx" % (base / mod) if mod and base else "-"
    own = own_part_ratio(op)
    if own is not None and op.target == OWN_LIB:
        ratio += " (own %.1fx)" % own
    share = "%.0f%%" % (100 * lib / mod) if mod and lib else "-"
    over = percent((mod - lib) / lib) if mod and lib else "-"
    per_unit = "-"
    if op.unit and (mod or base):
        per_unit = "%s / %s per %s" % (duration(mod / op.units) if mod else "-", duration(base / op.units) if base else "-",
                                       op.unit)
    target, outcome = verdict(op)
    if op.problems:
        outcome = "RESULTS DIFFER"
    limits = op.limits
    extra = op.note(op) if op.times else ""
    if extra:
        limits = "%s (%s)" % (limits, extra)
    return [op.name, module_text, duration(base), ratio, duration(lib), share, over, per_unit, target, outcome, limits]


def print_table(ops: list, markdown: bool, out) -> None:
    rows = [row_cells(op) for op in ops]
    if markdown:
        out.write("| " + " | ".join(COLUMNS) + " |\n")
        out.write("|" + "|".join("---" for _ in COLUMNS) + "|\n")
        for row in rows:
            out.write("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |\n")
        return
    # The last column is free text: it is not padded.
    widths = [max(len(str(r[i])) for r in rows + [list(COLUMNS)]) for i in range(len(COLUMNS) - 1)]
    line = lambda cells: "  ".join(c.ljust(w) for c, w in zip(cells, widths)) + "  " + cells[-1]
    out.write(line(list(COLUMNS)).rstrip() + "\n")
    out.write("  ".join("-" * w for w in widths) + "  " + "-" * len(COLUMNS[-1]) + "\n")
    for row in rows:
        out.write(line(row).rstrip() + "\n")


def notes(ops: list, loop_ns: float, settings: Settings) -> list:
    lines = [
        "ratio = baseline time / module time (higher is faster); 'own' = the same ratio for the time outside the "
        "library call measured directly (module - library vs baseline - library).",
        "lib share = library-direct time / module time; mod over lib = how much longer the module takes than "
        "calling the library directly.",
        "targets: own code >=%.1fx the baseline; library-dominated no slower than the baseline (>=1.0x); a wrapper "
        "around a server round trip at most %d%% over the library; 'within noise' = within %d%% of the target."
        % (OWN_TARGET, round(100 * WRAP_TARGET), round(100 * NOISE)),
        "Times per call; best of %d rounds for in-process operations, median of %d rounds for those that wait on "
        "a server; sides interleaved in rotating order." % (settings.rounds, settings.io_rounds),
        "Each timed loop adds about %s per call to every side (an empty timeit loop); it is not subtracted, "
        "which understates the ratio of the fastest operations." % duration(loop_ns),
        "Logging rows write to a null stream; each side's formatter uses its own time_tz, the library side the "
        "module's (the baseline's when the module is not built). CustomLogger.error attaches exc_info outside any "
        "exception, so its record carries 'NoneType: None'.",
        "Redis rows run against a throwaway redis-server on 127.0.0.1; the library side is redis-py called "
        "directly with the same commands (for increments: the same fields, without the walk).",
    ]
    for op in ops:
        for problem in op.problems:
            lines.append("RESULTS DIFFER in %s: %s" % (op.name, problem))
        if op.module_error:
            lines.append("module error in %s: %s" % (op.name, op.module_error))
        if op.missing and not op.missing.startswith("not built"):
            lines.append("%s: %s" % (op.name, op.missing))
        for error in op.harness_errors:
            lines.append("BENCHMARK FAULT in %s: %s" % (op.name, error))
    lines.extend(linearity(ops))
    absent = {}
    for op in ops:
        if op.missing.startswith("not built: "):
            short, _, dotted = op.missing[len("not built: "):].partition(".")
            absent.setdefault(short, set()).add(dotted.split(".")[0])
        elif op.missing.startswith(("not built", "package")):
            absent.setdefault(op.missing, set())
    for short, names in sorted(absent.items()):
        lines.append("not built yet: %s%s" % (short, " (%s)" % ", ".join(sorted(names)) if names else ""))
    return lines


def linearity(ops: list) -> list:
    """Per-unit cost across the sizes of each sized family, to show the cost is linear."""
    families = {}
    for op in ops:
        if op.unit:
            families.setdefault(op.family, []).append(op)
    lines = []
    for family, members in families.items():
        unit = members[0].unit
        points = {}
        for label in ("module", "baseline", "library"):
            found = [(op.units, op.times[label] / op.units) for op in members if label in op.times]
            if len(found) >= 2:
                points[label] = found
        growth = {label: found[-1][1] / found[-2][1] for label, found in points.items()}
        for label, found in points.items():
            costs = ", ".join("%s @ %s" % (duration(c), thousands(u)) for u, c in found)
            flag = ""
            # A larger batch also outgrows the CPU caches, which shows in the baseline
            # too; only growth well beyond the baseline's is the module's own.
            if label == "module" and growth[label] >= 1.5 and growth[label] > 1.25 * growth.get("baseline", 1.0):
                flag = "  <- per-%s cost up %.1fx from the previous size" % (unit, growth[label])
            lines.append("per-%s cost, %s, %s: %s%s" % (unit, family, label, costs, flag))
    return lines


def describe_modules(ctx: Context) -> str:
    if ctx.package is None:
        return "modules: %s" % ctx.package_error
    where = os.path.dirname(ctx.package.__file__)
    text = "modules from %s" % where
    cache = os.path.join(os.path.dirname(where), "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    build_type = line.split("=", 1)[1].strip() or "(none)"
                    text += " (CMake build type %s)" % build_type
                    if build_type not in ("Release", "RelWithDebInfo"):
                        text += "  WARNING: not an optimised build; module times are not representative"
    return text


# ---------------------------------------------------------------------------


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Benchmark the compiled modules against plain-Python baselines.")
    parser.add_argument("--quick", action="store_true", help="few short rounds: a smoke run, well under a minute")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    parser.add_argument("--only", metavar="TEXT", help="only the operations whose name contains TEXT")
    parser.add_argument("--rounds", type=int, metavar="N", help="rounds per operation (default 15, or 3 with --quick)")
    args = parser.parse_args(argv)
    settings = QUICK if args.quick else FULL
    if args.rounds:
        settings = Settings(args.rounds, args.rounds, settings.batch_ns, settings.io_batch_ns, settings.budget_ns)

    def terminate(signum, frame):
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, terminate)
    signal.signal(signal.SIGHUP, terminate)

    started = time.monotonic()
    with contextlib.ExitStack() as stack:
        ctx = Context(stack)
        ops = []
        for short, build in GROUPS:
            try:
                group = build(ctx)
            except Exception as error:  # noqa: BLE001 - a fault in setting up the baselines
                op = Op(short, OWN, "")
                op.harness_errors.append("set-up: %s: %s" % (type(error).__name__, error))
                group = [op]
            ops.extend(op for op in group if not args.only or args.only in op.name)
        for op in ops:
            if op.baseline is None and op.library is None and not op.module:
                continue
            print("measuring %s ..." % op.name, file=sys.stderr, flush=True)
            measure(op, settings)
        loop_ns = timed("pass")(1_000_000) / 1_000_000

        out = sys.stdout
        out.write("\nveltrano_python_configuration benchmark: compiled modules vs plain-Python baselines\n")
        out.write("Python %s; %s\n\n" % (sys.version.split()[0], describe_modules(ctx)))
        print_table(ops, args.markdown, out)
        out.write("\n")
        for line in notes(ops, loop_ns, settings):
            out.write(("- " if args.markdown else "  ") + line + "\n")
        out.write("\n%s operations, %.1f s\n" % (len(ops), time.monotonic() - started))
        out.flush()
    return 1 if any(op.harness_errors for op in ops) else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:  # everything started has been stopped on the way out
        print("interrupted", file=sys.stderr)
        sys.exit(130)
