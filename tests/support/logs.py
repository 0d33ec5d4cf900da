"""Helpers for the logging tests: unique logger names, handlers that keep or
count records, and the record layout on standard error."""

import asyncio
import datetime
import itertools
import logging
import os
import re

import pytz

KOLKATA = pytz.timezone("Asia/Kolkata")
DATE_FORMAT = "%m/%d/%Y %H:%M:%S"
STAMP = r"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d)"
CONSUMER = "AsyncLogger._process_log_queue"

_serial = itertools.count()


def unique_name(prefix="svc"):
    """A logger name no other test uses, so handlers do not pile up."""
    return f"{prefix}-{os.getpid()}-{next(_serial)}"


def record(level, message, traceback=None):
    """The regular expression of one record as the stream handler writes it;
    the time stamp is the only group."""
    text = "\n" + re.escape(level) + " - " + STAMP + " - " + re.escape(message) + "\n"
    if traceback is not None:
        text += traceback
    return text + "\n"


def parse_stamp(text):
    return KOLKATA.localize(datetime.datetime.strptime(text, DATE_FORMAT))


def kolkata_now():
    return datetime.datetime.now(KOLKATA).replace(microsecond=0)


class ListHandler(logging.Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)

    @property
    def messages(self):
        return [r.getMessage() for r in self.records]


class CountingHandler(logging.Handler):
    def __init__(self):
        super().__init__()
        self.count = 0

    def emit(self, record):
        self.count += 1


def capture(async_logger, handler=None):
    """Replace the stream handler of an AsyncLogger's logger with `handler`
    (a new ListHandler by default) and stop propagation to pytest's own."""
    base = async_logger.logger
    for h in list(base.handlers):
        base.removeHandler(h)
    base.propagate = False
    handler = handler or ListHandler()
    base.addHandler(handler)
    return handler


def consumers():
    """The live consumer tasks of the running loop."""
    return [t for t in asyncio.all_tasks() if t.get_coro().__qualname__ == CONSUMER and not t.done()]


async def wait_until(predicate, timeout=30):
    async with asyncio.timeout(timeout):
        while not predicate():
            await asyncio.sleep(0.001)


def exception_chain(exc):
    """`exc` and every exception its causes and contexts lead to, each once."""
    seen, todo = [], [exc]
    while todo:
        e = todo.pop()
        if e is not None and all(e is not s for s in seen):
            seen.append(e)
            todo += [e.__cause__, e.__context__]
    return seen
