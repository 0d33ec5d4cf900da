"""Load: many concurrent tasks logging through one AsyncLogger, and a long
stream of alerts through the asynchronous messenger to a local sink.

The normal run uses a reduced size; VPC_FULL_LOAD=1 runs the full one
(100,000 log records, 10,000 alerts)."""

import asyncio
import logging
import time

import pytest

from support.logs import capture, unique_name
from support.reliability import QuickSink, load_size
from veltrano_python_configuration.journal_setup import AsyncLogger
from veltrano_python_configuration.service_toolkit import GoogleChatAsyncMessenger, SingletonMeta

LEVELS = ("error", "warning", "info", "debug")


class Rows(logging.Handler):
    """Keeps (task, sequence number, level) of every record written."""

    def __init__(self):
        super().__init__()
        self.rows = []

    def emit(self, record):
        self.rows.append((record.args[0], record.args[1], record.levelname.lower()))


@pytest.mark.parametrize("burst", [1, 10], ids=["steady", "bursts"])
def test_many_tasks_logging_through_one_async_logger(burst):
    """Bursts overfill the queue: error and warning records then wait for room
    in order (info and debug records that find it full are dropped)."""
    tasks, per_task = load_size((50, 200), (100, 1000))
    sent = {(t, s): LEVELS[(t + s) % 4] for t in range(tasks) for s in range(per_task)}

    async def main():
        logger = AsyncLogger(unique_name("load"), logging.DEBUG)
        handler = capture(logger, Rows())

        async def worker(t):
            for s in range(per_task):
                getattr(logger, sent[t, s])("%d %d", t, s)
                if s % burst == burst - 1:
                    await asyncio.sleep(0)

        await asyncio.gather(*(worker(t) for t in range(tasks)))
        must = sum(level in ("error", "warning") for level in sent.values())
        async with asyncio.timeout(50):
            while sum(level in ("error", "warning") for _, _, level in handler.rows) < must:
                await asyncio.sleep(0.005)
            await logger.log_queue.join()
        return handler.rows

    started = time.monotonic()
    rows = asyncio.run(main())
    elapsed = time.monotonic() - started
    written = {(t, s): level for t, s, level in rows}
    assert len(written) == len(rows), "a record was written twice"
    assert all(sent[key] == level for key, level in written.items())
    assert {k for k, level in sent.items() if level in ("error", "warning")} <= written.keys()
    if burst == 1:
        assert len(rows) == len(sent)  # the consumer keeps up: nothing is dropped
    for t in range(tasks):
        order = [s for task, s, _ in rows if task == t]
        assert order == sorted(order), f"task {t} out of order"
    print(f"{len(sent)} records from {tasks} tasks, {len(rows)} written, in {elapsed:.1f}s")


@pytest.fixture
def fresh_async_messenger():
    SingletonMeta._instances.pop(GoogleChatAsyncMessenger, None)
    yield
    SingletonMeta._instances.pop(GoogleChatAsyncMessenger, None)


def test_alerts_through_the_async_messenger_are_all_posted_in_order(fresh_async_messenger):
    count = load_size(1000, 10000)
    sink = QuickSink()
    try:
        messenger = GoogleChatAsyncMessenger("svc", sink.url("/ok"), sink.url("/err"), "PRODUCTION")
        texts = [f"alert {i}" for i in range(count)]

        async def main():
            for i, text in enumerate(texts):
                messenger.send_message(text, i % 3)
                if i % 25 == 24:
                    await asyncio.sleep(0)
            async with asyncio.timeout(50):
                while sink.handled < count:
                    await asyncio.sleep(0.01)
                await messenger.log_queue.join()  # the last post has ended, not only reached the sink
            messenger.queue_task.cancel()

        started = time.monotonic()
        asyncio.run(main())
        elapsed = time.monotonic() - started
        received = sink.requests
        assert [r.body.decode().split("'>", 1)[1].split("</font>")[0] for r in received] == texts
        assert [r.path for r in received] == [("/err", "/ok", "/ok")[i % 3] for i in range(count)]
        assert set(sink.outcomes) == {"200"}
        # One request in flight at a time: each began after the previous one ended.
        assert sink.max_in_flight == 1
        assert all(b.started >= a.ended for a, b in zip(received, received[1:]))
        print(f"{count} alerts posted in {elapsed:.1f}s")
    finally:
        sink.close()
