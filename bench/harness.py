"""What the benchmark's operations share: the Op record, the measuring loop,
the resources an operation starts (redis-server, the HTTP sink, temporary
files, the event loop, the worker threads) and the helpers that more than one module's
operations use. The operations themselves live in one file per module
(journal_setup.py, cache_access.py, service_toolkit.py, broker_setup.py);
run.py measures them and prints the table.
"""

import asyncio
import contextlib
import importlib
import logging
import os
import select
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass, field

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
ASYNC = "async"  # the asynchronous logger end to end: at most 1.5x the time of the synchronous write per record
OWN_TARGET = 1.5
WRAP_TARGET = 0.05
ASYNC_TARGET = 1.5
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
MODULE_SIDES = ("module", "sync")  # sides that run our modules: their failures are the module's, not the harness's


@dataclass
class Op:
    name: str
    target: str
    limits: str
    kind: str = CPU
    unit: str = ""  # "node", "key": sized operations report a per-unit cost
    units: int = 0
    family: str = ""  # the sized operations that belong together (for the linearity note)
    module: Runner | None = None
    baseline: Runner | None = None
    library: Runner | None = None
    sync: Runner | None = None  # the module's synchronous counterpart, where the row compares against it
    missing: str = ""  # why there is no module side
    check: Callable[[], str | None] | None = None  # compares module and baseline; returns a problem
    note: Callable[["Op"], str] = lambda op: ""  # extra text made from the results
    # Results, in nanoseconds per call.
    times: dict = field(default_factory=dict)
    # Figures a runner records besides its elapsed time, per call: name -> one value per timed batch.
    extra: dict = field(default_factory=dict)
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
    sides = [
        (label, run)
        for label, run in (("module", op.module), ("baseline", op.baseline), ("library", op.library), ("sync", op.sync))
        if run
    ]
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
    for values in op.extra.values():  # only the timed rounds count, not the warm-up and calibration batches
        values.clear()
    for r in range(rounds):
        order = working[r % len(working) :] + working[: r % len(working)]
        for label, run in order:
            if label not in samples:
                continue
            try:
                samples[label].append(run(n) / n)
            except Exception as error:  # noqa: BLE001
                record_failure(op, label, error)
                del samples[label]
    summary = statistics.median if io else min
    for label, values in samples.items():
        op.times[label] = summary(values)
    for name, values in op.extra.items():
        op.extra[name] = summary(values) if values else None


def record_failure(op: Op, label: str, error: BaseException) -> None:
    text = "%s: %s" % (type(error).__name__, str(error).splitlines()[0] if str(error) else "")
    if label in MODULE_SIDES:
        op.module_error = text if label == "module" else "%s side: %s" % (label, text)
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
        self._started = {}  # resource name -> what starting it gave, or the Unavailable it raised
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

    def _once(self, name: str, start: Callable):
        """What `start()` gives, started on first use; a failure to start is remembered and raised each time."""
        if name not in self._started:
            try:
                self._started[name] = start()
            except Unavailable as error:
                self._started[name] = error
        found = self._started[name]
        if isinstance(found, Unavailable):
            raise Unavailable(str(found))
        return found

    def redis_port(self) -> int:
        return self._once("redis", self._start_redis)

    def _start_redis(self) -> int:
        exe = shutil.which("redis-server")
        if not exe:
            raise Unavailable("redis-server not found")
        import redis

        port = free_port()
        data = os.path.join(self.tmpdir(), "redis")
        os.mkdir(data)
        proc = subprocess.Popen(
            [
                exe,
                "--port",
                str(port),
                "--bind",
                "127.0.0.1",
                "--save",
                "",
                "--appendonly",
                "no",
                "--dir",
                data,
                "--loglevel",
                "warning",
                "--daemonize",
                "no",
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
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
        return self._once("sink", self._start_sink)

    def _start_sink(self) -> str:
        proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "sink.py")],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            preexec_fn=die_with_parent,
            text=True,
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

    def worker_loop(self) -> asyncio.AbstractEventLoop:
        """An event loop of its own running in a worker thread (the service's other loop)."""
        return self._once("worker loop", self._start_worker_loop)

    def _start_worker_loop(self) -> asyncio.AbstractEventLoop:
        loop = asyncio.new_event_loop()
        thread = threading.Thread(target=loop.run_forever, name="bench-worker-loop", daemon=True)
        thread.start()

        def stop():
            loop.call_soon_threadsafe(loop.stop)
            thread.join(10)
            if not thread.is_alive():
                loop.close()

        self.stack.callback(stop)
        return loop

    def worker_thread(self):
        """A worker thread without an event loop (an executor of one thread)."""
        return self._once("worker thread", self._start_worker_thread)

    def _start_worker_thread(self):
        from concurrent.futures import ThreadPoolExecutor

        pool = ThreadPoolExecutor(1, thread_name_prefix="bench-worker")
        self.stack.callback(pool.shutdown)
        return pool


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


def thousands(n) -> str:
    return f"{n:,.0f}"


def duration(ns: float | None) -> str:
    if ns is None:
        return "-"
    for scale, unit in ((1e9, "s"), (1e6, "ms"), (1e3, "us")):
        if ns >= scale:
            value = ns / scale
            return ("%.3g %s" % (value, unit)) if value < 100 else ("%.0f %s" % (value, unit))
    return "%.3g ns" % ns if ns < 100 else "%.0f ns" % ns


def percent(x: float) -> str:
    return "%+.1f%%" % (100 * x) if abs(x) < 0.1 else "%+.0f%%" % (100 * x)


def logged_errors(*loggers) -> str | None:
    for logger in loggers:
        if logger.errors:
            return "logged: %s" % logger.errors[0]
    return None
