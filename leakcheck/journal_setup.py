"""The leak check's journal_setup operations: the clock, the level lookup, the
logger set-ups, CustomLogger and AsyncLogger on all their paths, records
handed over from another thread's loop included."""

import asyncio
import contextlib
import io
import logging
import os
import threading

from harness import BadBool, StrSub, expect, nothing, nothing_async, operation
from support.logs import CountingHandler, capture
from veltrano_python_configuration import journal_setup


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
        if isinstance(handler, logging.StreamHandler):
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
        if isinstance(handler, logging.StreamHandler):
            handler.stream.close()
    # What the logger still holds is written at the phase loop's end: to nowhere.
    logger.logger.handlers[:] = [logging.NullHandler()]


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
            assert logger.error("no loop: written before the call returns", exc_info=False) is None
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

    return call, lambda: drop_logger(logger)


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

    return call, lambda: drop_logger(logger)


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


class WorkerLoop:
    """An event loop of its own in a worker thread; `await run(coroutine)` runs a coroutine there."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, name="leakcheck-worker-loop")
        self.thread.start()

    async def run(self, coroutine):
        return await asyncio.wrap_future(asyncio.run_coroutine_threadsafe(coroutine, self.loop))

    def close(self):
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()


@operation("journal_setup", "AsyncLogger records handed over from another thread's loop", is_async=True)
async def op_async_handover(env):
    quiet_loop()
    logger = await async_logger("leakcheck-handover", logging.DEBUG)  # its home: this phase's loop
    counter = capture(logger, CountingHandler())
    worker = WorkerLoop()

    async def log(i):  # on the worker's loop, while the home loop runs in the main thread
        v = i % 5
        if v == 0:
            try:
                raise KeyError(i)
            except KeyError:
                logger.error("failed %s", i)  # the worker's handled exception travels with the record
        elif v == 1:
            logger.warning("warn %s", i, exc_info=False)
        elif v == 2:
            logger.info("info")
        elif v == 3:
            logger.debug("debug %d", i)
        else:
            expect(TypeError, logger.info, 5)  # refused in the worker thread: nothing handed over

    async def call(i):
        await worker.run(log(i))
        await logger.log_queue.join()
        assert counter.count == i + 1 - (i + 1) // 5, "a record handed over was lost or written twice"

    async def close():
        worker.close()
        await drop_logger(logger)

    return call, close


@operation("journal_setup", "AsyncLogger._log_message awaited on another thread's loop", is_async=True)
async def op_awaited_put_elsewhere(env):
    quiet_loop()
    logger = await async_logger("leakcheck-put-elsewhere", logging.DEBUG, size=4)  # its home: this loop
    counter = capture(logger, CountingHandler())
    worker = WorkerLoop()

    async def put(i):  # awaited on the worker's loop: handed over to the home loop, as a call would be
        await logger._log_message("warning", "elsewhere %s", i, exc_info=False)
        if i % 10 == 0:
            await asyncio.gather(*(logger._log_message("error", "burst", exc_info=False) for _ in range(6)))

    async def call(i):
        await worker.run(put(i))
        expected = i + 1 + 6 * (i // 10 + 1)
        for _ in range(10_000):  # written by the home loop's consumer, on its next turns
            if counter.count >= expected:
                break
            await asyncio.sleep(0)
        assert counter.count == expected, "a record put on another loop was lost or written twice"

    async def close():
        worker.close()
        await drop_logger(logger)

    return call, close
