"""The benchmark's journal_setup operations: the level lookup, the clock, the
synchronous logger, and the asynchronous logger against the baseline's and
against the synchronous logger."""

import asyncio
import gc
import io
import itertools
import logging
import re
import time
from collections.abc import Callable

from harness import (
    ASYNC,
    IO,
    LIB,
    OWN,
    Context,
    Op,
    Runner,
    clock_for_library,
    duration,
    module_side,
    plain_logger,
    quiet,
    thousands,
    timed,
)

MESSAGE = "bench message"  # what every logging row writes


def ops(ctx: Context) -> list:
    base = ctx.baseline("journal_setup")
    ops = []

    op = Op("get_log_level_from_string", OWN, "upper(), five reads of logging.*, the level table")
    op.baseline = timed("f(s)", f=base.get_log_level_from_string, s="info")
    module_side(op, lambda: timed("f(s)", f=ctx.attr("journal_setup", "get_log_level_from_string"), s="info"))

    def check_levels():
        f = ctx.attr("journal_setup", "get_log_level_from_string")
        for s in ("info", "Debug", "warn", "", "CRITICAL", " info"):
            if f(s) != base.get_log_level_from_string(s):
                return "get_log_level_from_string(%r): module %r, baseline %r" % (
                    s,
                    f(s),
                    base.get_log_level_from_string(s),
                )
        return None

    op.check = check_levels
    ops.append(op)

    from datetime import datetime

    import pytz

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
        op.baseline = timed("lg.%s(m)" % method, lg=base_logger, m=MESSAGE)
        op.library = timed(library_stmt, lg=lib_logger, m=MESSAGE)
        module_side(op, lambda method=method: timed("lg.%s(m)" % method, lg=module_logger(), m=MESSAGE))
        op.check = lambda method=method: compare_records(module_logger(), base_logger, method)
        ops.append(op)

    ops.append(async_logger_op(ctx, base))
    ops.append(async_handover_op(ctx, base))
    ops.append(async_throughput_op(ctx, module_logger))
    return ops


def compare_records(module_logger, base_logger, method) -> str | None:
    """Both loggers must write the same text for the same call (digits masked: the clock moves)."""
    written = []
    for logger in (module_logger, base_logger):
        buffer = io.StringIO()
        handlers = [h for h in logger.handlers if isinstance(h, logging.StreamHandler)]
        old = [h.setStream(buffer) for h in handlers]
        try:
            getattr(logger, method)(MESSAGE)
        finally:
            for handler, stream in zip(handlers, old):
                handler.setStream(stream)
        written.append(re.sub(r"\d", "0", buffer.getvalue()))
    if written[0] != written[1]:
        return "%s: module wrote %r, baseline %r" % (method, written[0][:200], written[1][:200])
    return None


ASYNC_LOGGER_NAMES = itertools.count()


def async_side(async_logger_class, clock) -> tuple:
    """(logger, queue, null stream): an AsyncLogger of a new name whose records go to a null stream.

    Its queue is unbounded (size 0): the benchmark measures the hand-over and
    the writes, not back-pressure, and no record is dropped.
    """
    logger = async_logger_class("bench.async.%d" % next(ASYNC_LOGGER_NAMES), logging.INFO, 0)
    return logger, logger.log_queue, quiet(logger.logger, clock)


def through_queue(
    loop: asyncio.AbstractEventLoop,
    make: Callable,
    caller: list | None = None,
    worker: asyncio.AbstractEventLoop | None = None,
) -> Runner:
    """A runner for records through an asynchronous logger, end to end.

    make() gives (logger, queue, null stream); it is called from a coroutine
    on `loop`, so that the consumer it starts runs there (`loop` is the
    logger's home). A batch is n `info` calls, then the wait until the null
    stream has all n records, and exactly n; the wait is bounded (2 s + 1 ms a
    record, far beyond any working build) and raises TimeoutError past it.
    The calls are made by one coroutine on `loop`, or, with `worker` (an event
    loop running in another thread), by one coroutine there while `loop`
    waits for the records: the hand-over between threads. `caller`, when
    given, gets the time per call of the n calls alone.
    """

    async def build():
        return make()

    logger, queue, stream = loop.run_until_complete(build())

    async def all_written(target):
        # join() alone can return early: a hand-over that schedules the put
        # leaves the queue empty right after the calls. The null stream's
        # write count says when every record is out.
        while stream.writes < target:
            await queue.join()
            if stream.writes < target:
                await asyncio.sleep(0)

    async def calls(n):
        t0 = time.perf_counter_ns()
        for _ in range(n):
            logger.info(MESSAGE)
        return time.perf_counter_ns() - t0

    async def batch(n):
        target = stream.writes + n
        t0 = time.perf_counter_ns()
        if worker is None:
            calling = await calls(n)
        else:
            handed = asyncio.wrap_future(asyncio.run_coroutine_threadsafe(calls(n), worker))
        limit = 2 + n / 1000
        try:
            async with asyncio.timeout(limit):
                if worker is not None:
                    calling = await handed
                await all_written(target)
        except TimeoutError:
            raise TimeoutError(
                "%d of %d records written after %g s, %d still queued"
                % (n - (target - stream.writes), n, limit, queue.qsize())
            ) from None
        elapsed = time.perf_counter_ns() - t0
        if stream.writes != target:
            raise AssertionError("%d records written for %d calls" % (n + stream.writes - target, n))
        if caller is not None:
            caller.append(calling / n)
        return elapsed

    def run(n):
        gc.disable()  # as timeit does
        try:
            return loop.run_until_complete(batch(n))
        finally:
            gc.enable()

    if worker is not None:
        # The first batches through a new thread's loop take milliseconds; the
        # harness calibrates the batch size on its first call.
        run(1000)
    return run


def library_side(ctx: Context, loop: asyncio.AbstractEventLoop, across_threads: bool = False) -> Callable:
    """make() for the same hand-over made with asyncio directly: a bare consumer on `loop`, a library logger.

    Within the loop the library's own Queue.put coroutine goes through
    run_coroutine_threadsafe; across threads each record is put with
    put_nowait through `loop`'s call_soon_threadsafe.
    """

    def make():
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
        handover, wake, put = asyncio.run_coroutine_threadsafe, loop.call_soon_threadsafe, queue.put_nowait
        empty_args, empty_kwargs = (), {}

        class Direct:
            @staticmethod
            def info(msg):
                handover(queue.put((msg, empty_args, empty_kwargs)), running())

        class Woken:
            @staticmethod
            def info(msg):
                wake(put, (msg, empty_args, empty_kwargs))

        return Woken if across_threads else Direct, queue, stream

    return make


def records_per_second(op: Op) -> str:
    parts = [
        "%s %s records/s" % (label, thousands(1e9 / op.times[label]))
        for label in ("module", "baseline")
        if label in op.times
    ]
    calls = op.extra.get("caller")
    if isinstance(calls, float):
        parts.append("module caller side %s per call" % duration(calls))
    return "; ".join(parts)


def module_async_side(ctx: Context) -> tuple:
    return async_side(ctx.attr("journal_setup", "AsyncLogger"), ctx.attr("journal_setup", "time_tz"))


def async_logger_op(ctx: Context, base) -> Op:
    """AsyncLogger.info through the queue to the null stream, on one event loop, against the baseline's."""
    loop = ctx.loop()
    op = Op(
        "AsyncLogger.info through the queue",
        LIB,
        "the hand-over (module: a put into the queue during the call; baseline and library: "
        "run_coroutine_threadsafe) and loop wake-ups, then the logging of each record",
        kind=IO,
    )
    op.baseline = through_queue(loop, lambda: async_side(base.AsyncLogger, base.time_tz))
    op.library = through_queue(loop, library_side(ctx, loop))
    module_side(op, lambda: through_queue(loop, lambda: module_async_side(ctx)))
    op.note = records_per_second
    return op


def async_handover_op(ctx: Context, base) -> Op:
    """AsyncLogger.info called on a worker thread's own event loop, written by the logger's home loop here."""
    loop, worker = ctx.loop(), ctx.worker_loop()
    op = Op(
        "AsyncLogger.info from a worker thread's loop",
        LIB,
        "the hand-over to the home loop's thread (module: the inbox, one call_soon_threadsafe per batch; "
        "baseline: run_coroutine_threadsafe per record; library: call_soon_threadsafe per record), the two "
        "threads taking turns with the interpreter lock, then the logging of each record",
        kind=IO,
    )
    caller = op.extra.setdefault("caller", [])
    op.baseline = through_queue(loop, lambda: async_side(base.AsyncLogger, base.time_tz), worker=worker)
    op.library = through_queue(loop, library_side(ctx, loop, across_threads=True), worker=worker)
    module_side(op, lambda: through_queue(loop, lambda: module_async_side(ctx), caller, worker))
    op.note = records_per_second
    return op


def async_throughput_op(ctx: Context, sync_logger) -> Op:
    """Records per second through AsyncLogger.info, end to end, against the synchronous CustomLogger.info.

    The asynchronous side is through_queue's batch: N info calls from one
    coroutine on the running loop, then the wait until all N records are
    written; the time per record is the whole batch's over N, and the calls
    alone are timed too (the caller's side of the cost). The synchronous side
    is N CustomLogger.info writes. Each logger writes to its own null stream
    through the same layout and the module's clock.
    """
    op = Op(
        "AsyncLogger.info end to end vs CustomLogger.info",
        ASYNC,
        "hand-over into the queue and the consumer's wake-ups, on top of the synchronous write",
    )
    caller = op.extra.setdefault("caller", [])

    def module_runner() -> Runner:
        run = through_queue(ctx.loop(), lambda: module_async_side(ctx), caller)
        op.sync = timed("lg.info(m)", lg=sync_logger(), m=MESSAGE)
        return run

    def note(op: Op) -> str:
        parts = []
        mod, sync, calls = op.times.get("module"), op.times.get("sync"), op.extra.get("caller")
        if mod:
            parts.append("async %s per record, %s records/s" % (duration(mod), thousands(1e9 / mod)))
        if isinstance(calls, float):
            parts.append("caller side %s per call" % duration(calls))
        if sync:
            parts.append("sync %s per record, %s records/s" % (duration(sync), thousands(1e9 / sync)))
        if mod and sync:
            parts.append("async/sync %.2fx" % (mod / sync))
        return "; ".join(parts)

    module_side(op, module_runner)
    op.note = note
    return op
