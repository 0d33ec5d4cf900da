"""AsyncLogger: records handed through an asyncio queue to a consumer task,
the full-queue rule, and the consumer's robustness."""

import asyncio
import gc
import logging
import re
import weakref

import pytest

from support.logs import (
    CountingHandler,
    capture,
    consumers,
    kolkata_now,
    parse_stamp,
    record,
    unique_name,
    wait_until,
)
from support.programs import run_scenario
from veltrano_python_configuration.journal_setup import AsyncLogger


def test_records_are_written_in_order_from_the_running_loop(capfd):
    async def main():
        logger = AsyncLogger(unique_name(), logging.DEBUG)
        capfd.readouterr()
        before = kolkata_now()
        assert logger.info("hello") is None
        logger.debug("value %s", 5)
        logger.warning("careful")
        logger.error("no exception")
        try:
            raise KeyError("caller's")
        except KeyError:
            logger.error("failed")  # written later by the consumer, with the caller's traceback
        await asyncio.sleep(0.01)
        after = kolkata_now()
        logger.print_queue_length()
        return before, after

    before, after = asyncio.run(main())
    out, err = capfd.readouterr()
    assert out == "Log queue length: 0\n"
    traceback = r"Traceback \(most recent call last\):\n.*raise KeyError\(\"caller's\"\)\nKeyError: \"caller's\""
    pattern = (
        record("INFO", "hello") + record("DEBUG", "value 5") + record("WARNING", "careful")
        + record("ERROR", "no exception", "NoneType: None") + record("ERROR", "failed", traceback)
    )  # fmt: skip
    match = re.fullmatch(pattern, err, re.S)
    assert match, err
    assert all(before <= parse_stamp(s) <= after for s in match.groups())


def test_outside_any_loop_a_record_is_written_before_the_call_returns(capfd):
    async def build():
        return AsyncLogger(unique_name(), logging.ERROR)

    logger = asyncio.run(build())
    for method in (logger.warning, logger.info, logger.debug):
        assert method("filtered", 1, exc_info=True) is None
    assert logger.log_queue.qsize() == 0 and capfd.readouterr().err == ""
    with pytest.raises(TypeError, match=r"^Argument 'msg' has incorrect type \(expected str, got int\)$"):
        logger.error(5)
    logger.error("outside any loop", exc_info=False)
    assert re.fullmatch(record("ERROR", "outside any loop"), capfd.readouterr().err) and logger.log_queue.qsize() == 0


def test_queue_items_carry_the_arguments_unchanged():
    async def main():
        logger = AsyncLogger(unique_name(), logging.DEBUG)
        await asyncio.sleep(0)  # the consumer now waits on the first queue
        logger.log_queue = asyncio.Queue()  # a queue nobody consumes
        extra = {"k": 1}
        logger.info("%s and %s", 5, [6], extra=extra)
        logger.warning("w", stacklevel=2)
        await asyncio.sleep(0.01)
        items = [logger.log_queue.get_nowait() for _ in range(logger.log_queue.qsize())]
        assert items == [("info", "%s and %s", (5, [6]), {"extra": extra}), ("warning", "w", (), {"stacklevel": 2})]
        assert items[0][3]["extra"] is extra
        assert list(vars(logger))[:5] == ["logger", "log_queue", "executor", "log_level", "log_methods"]

    asyncio.run(main())


def test_consumers_on_the_running_loop():
    async def main():
        logger = AsyncLogger(unique_name(), logging.DEBUG)
        handler = capture(logger)
        for i in range(5):
            logger.info(f"r{i}")
        await asyncio.sleep(0.01)
        assert len(consumers()) == 1  # built inside the loop: logging starts no other

        logger._ensure_queue_processing()  # a second consumer shares the queue
        assert len(consumers()) == 2
        for i in range(5, 30):
            logger.info(f"r{i}")
        await wait_until(lambda: len(handler.records) == 30)

        newest = logger._consumer_tasks[-1]
        newest.cancel()  # the other one takes over: logging starts none
        await asyncio.sleep(0)
        logger.info("after the newest was cancelled")
        assert consumers() == [logger._consumer_tasks[0]]
        await wait_until(lambda: len(handler.records) == 31)

        for task in consumers():
            task.cancel()
        await asyncio.sleep(0)
        assert consumers() == []
        logger.info("after the consumers were cancelled")  # starts one again
        await wait_until(lambda: len(handler.records) == 32)
        assert len(consumers()) == 1
        return handler.messages

    messages = asyncio.run(main())
    assert sorted(messages[:30]) == sorted(f"r{i}" for i in range(30))


def test_logger_built_before_the_loop_writes_from_inside_asyncio_run():
    _, err, out = run_scenario("logger_before_loop")
    assert out == "1\n", err
    assert re.match("".join(record("INFO", f"record {i}") for i in range(3)), err), err


async def stop_consumers():
    for task in consumers():
        task.cancel()
    await asyncio.sleep(0)


def test_full_queue_drops_info_and_debug_and_keeps_error_and_warning_waiting():
    async def main():
        logger = AsyncLogger(unique_name(), logging.DEBUG, 2)
        handler = capture(logger)
        await stop_consumers()
        words = {"i": "info", "d": "debug", "e": "error", "w": "warning"}
        order = ["i1", "d1", "e1", "i2", "w1", "d2", "e2"]
        tasks = [asyncio.create_task(logger._log_message(words[m[0]], m)) for m in order]
        await asyncio.sleep(0.01)
        # i1 and d1 filled the queue; i2 and d2 were dropped; e1, w1 and e2 wait for room
        assert logger.log_queue.qsize() == 2 and consumers() == []
        assert [t.done() for t in tasks] == [True, True, False, True, False, True, False]
        logger._ensure_queue_processing()
        await asyncio.wait_for(asyncio.gather(*tasks), 5)
        await wait_until(lambda: len(handler.records) == 6)
        return handler.messages

    # once the full spell is over, the drops are reported in their place
    assert asyncio.run(main()) == ["i1", "d1", "e1", "w1", "e2", "Log queue was full: 2 info/debug records dropped"]


def test_burst_far_larger_than_the_queue_keeps_every_error_and_warning_in_order():
    words = ["error", "warning", "info", "debug"]

    async def main():
        logger = AsyncLogger(unique_name(), logging.DEBUG, 3)
        handler = capture(logger)
        logged = []

        async def producer(n):
            for i in range(80):
                word = words[(n + i) % 4]
                message = f"{n}:{i}:{word}"
                logged.append(message)
                getattr(logger, word)(message)
                await asyncio.sleep(0)

        await asyncio.gather(*(producer(n) for n in range(8)))
        kept = [m for m in logged if m.split(":")[2] in ("error", "warning")]
        await wait_until(lambda: sum(m in kept for m in handler.messages) == len(kept))
        await asyncio.wait_for(logger.log_queue.join(), 5)
        assert len(consumers()) == 1  # no consumer was started by a full queue
        return logged, kept, handler

    logged, kept, handler = asyncio.run(main())
    written = handler.messages  # the last report of drops is written by the loop's end at the latest
    assert [m for m in written if m in kept] == kept
    position = {m: i for i, m in enumerate(logged)}
    reports = [m for m in written if m not in position]
    written = [m for m in written if m in position]
    assert [position[m] for m in written] == sorted(position[m] for m in written)  # in logging order
    # the queue really was full: the info/debug records dropped are all reported
    dropped = sum(int(re.fullmatch(r"Log queue was full: (\d+) info/debug records dropped", m)[1]) for m in reports)
    assert dropped == len(logged) - len(written) > 0


def test_cancelled_waiting_records_leave_the_line():
    async def main():
        logger = AsyncLogger(unique_name(), logging.DEBUG, 1)
        handler = capture(logger)
        await stop_consumers()
        tasks = [asyncio.create_task(logger._log_message("error", f"e{i}")) for i in range(5)]
        await asyncio.sleep(0.01)
        assert logger.log_queue.qsize() == 1
        tasks[1].cancel()  # the first in line, waiting in log_queue.put
        tasks[3].cancel()  # one further back
        await asyncio.sleep(0.01)
        logger._ensure_queue_processing()
        await asyncio.wait_for(asyncio.gather(*tasks, return_exceptions=True), 5)
        await wait_until(lambda: len(handler.records) == 3)
        assert tasks[1].cancelled() and tasks[3].cancelled()
        return handler.messages

    assert asyncio.run(main()) == ["e0", "e2", "e4"]


class RefusesIteration:
    def __iter__(self):
        raise TypeError("its own error")

    def __repr__(self):
        return "RefusesIteration()"


@pytest.mark.parametrize(
    "bad, message, exception",
    [
        (lambda lg: lg.info("x", foo=1), "AsyncLogger could not write the 'info' record 'x'", TypeError),
        (lambda lg: lg.log_queue.put_nowait(("error",)), "AsyncLogger could not write the malformed queue item ('error',)", ValueError),
        (lambda lg: lg.log_queue.put_nowait(("critical", "m", (), {})), None, None),  # no method: dropped silently
        # an item whose __iter__ raises keeps its own error
        (lambda lg: lg.log_queue.put_nowait(RefusesIteration()), "AsyncLogger could not write the malformed queue item RefusesIteration()", TypeError("its own error")),
    ],
)  # fmt: skip
def test_a_bad_record_is_reported_and_the_consumer_goes_on(bad, message, exception):
    async def main():
        reports = []
        asyncio.get_running_loop().set_exception_handler(lambda loop, context: reports.append(context))
        logger = AsyncLogger(unique_name(), logging.DEBUG)
        handler = capture(logger)
        bad(logger)
        logger.info("next")
        await wait_until(lambda: handler.messages == ["next"])
        await asyncio.wait_for(logger.log_queue.join(), 5)  # task_done was called for the bad one too
        return reports

    reports = asyncio.run(main())
    if message is None:
        assert reports == []
    else:
        (report,) = reports
        assert report["message"] == message
        if isinstance(exception, BaseException):
            assert repr(report["exception"]) == repr(exception)
        else:
            assert type(report["exception"]) is exception


BOOM = ValueError("boom")
OTHER = KeyError("other")


@pytest.mark.parametrize(
    "word, handled, given, expected",
    [
        ("error", True, {}, {"exc_info": BOOM}),
        ("error", True, {"exc_info": False}, {"exc_info": False}),
        ("error", False, {}, {}),
        ("warning", True, {}, {}),
        # an exc_info that asks for the current exception gets it at the call, at every level
        *(
            (word, True, {"exc_info": asks}, {"exc_info": BOOM})
            for word in ("error", "warning", "info", "debug")
            for asks in (True, 1)
        ),
        ("info", False, {"exc_info": True}, {"exc_info": True}),  # outside an except block: unchanged
        ("warning", True, {"exc_info": OTHER}, {"exc_info": OTHER}),  # an exception or a tuple: unchanged
        ("debug", True, {"exc_info": (None, None, None)}, {"exc_info": (None, None, None)}),
    ],
)
def test_error_carries_the_callers_handled_exception(word, handled, given, expected):
    async def main():
        logger = AsyncLogger(unique_name(), logging.DEBUG)
        calls = []
        logger.log_methods[word] = lambda msg, *args, **kwargs: calls.append((msg, args, kwargs))
        if handled:
            try:
                raise BOOM
            except ValueError:
                getattr(logger, word)("m %s", 1, **given)
        else:
            getattr(logger, word)("m %s", 1, **given)
        await wait_until(lambda: calls)
        return calls

    assert asyncio.run(main()) == [("m %s", (1,), expected)]


def test_many_records_leave_no_objects_behind():
    async def churn(logger, n):
        for i in range(n):
            logger.error("e %s", i)
            logger.info("i")
            if i % 40 == 0:  # bursts of 80 records on a queue of 10: both full-queue paths run
                await asyncio.sleep(0)
        await wait_until(lambda: len(asyncio.all_tasks()) == 2)  # main and the consumer

    async def main():
        logger = AsyncLogger(unique_name(), logging.DEBUG, 10)
        handler = capture(logger, CountingHandler())
        await churn(logger, 500)
        gc.collect()
        before = len(gc.get_objects())
        await churn(logger, 3000)
        gc.collect()
        assert handler.count > 3500
        return len(gc.get_objects()) - before

    assert asyncio.run(main()) < 100  # a leak per record would leave thousands


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")  # Queue.put cleaning up on a closed loop
def test_abandoned_loggers_are_collected():
    loop = asyncio.new_event_loop()

    async def build():
        busy = AsyncLogger(unique_name(), logging.DEBUG, 1)
        await stop_consumers()
        idle = AsyncLogger(unique_name(), logging.DEBUG)  # its consumer waits for an item
        for i in range(4):  # one record in the queue, one waiting in put, two in line behind it
            asyncio.create_task(busy._log_message("error", f"e{i}"))
        await asyncio.sleep(0.01)
        assert len(consumers()) == 1 and busy.log_queue.full()
        return weakref.ref(idle), weakref.ref(busy)

    try:
        refs = loop.run_until_complete(build())
    finally:
        loop.set_exception_handler(lambda loop, context: None)  # "Task was destroyed but it is pending!"
        loop.close()  # the pending tasks are abandoned, not cancelled
    del loop
    gc.collect()
    assert [ref() for ref in refs] == [None, None]
