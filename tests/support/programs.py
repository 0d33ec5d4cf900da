"""Scenarios of the asynchronous logger and messenger as short programs, each
in a fresh interpreter (a loop's end, the interpreter's exit and a fork are
part of what they check), with every warning shown.

A program starts with PRELUDE: `setup_logger`, `messenger()` (a
GoogleChatAsyncMessenger posting to the sink), and the event loop kind of
the run: `RUN(main())` runs a coroutine as asyncio.run or uvloop.run does,
`new_loop()` makes a loop of that kind.
"""

import os
import re
import subprocess
import sys
import textwrap

from support.logs import record

PRELUDE = """
import asyncio, os, sys
from veltrano_python_configuration.journal_setup import setup_logger
from veltrano_python_configuration.service_toolkit import GoogleChatAsyncMessenger
URL = os.environ.get("SINK", "")
def messenger(size=100, logger=None):
    return GoogleChatAsyncMessenger("svc", URL + "/ok", URL + "/err", "PRODUCTION", logger=logger, max_queue_size=size)
if os.environ.get("LOOP") == "uvloop":
    import uvloop
    RUN, new_loop = uvloop.run, uvloop.new_event_loop
else:
    RUN, new_loop = asyncio.run, asyncio.new_event_loop
"""


def program(code):
    return PRELUDE + textwrap.dedent(code)


def env_for(sink=None, loop="asyncio", **extra):
    return {**os.environ, "SINK": sink.url("") if sink else "", "LOOP": loop, "PYTHONWARNINGS": "default", **extra}


def run(code, sink=None, loop="asyncio", timeout=60):
    """Run PRELUDE + `code`; return (returncode, stderr, stdout)."""
    done = subprocess.run([sys.executable, "-c", program(code)], env=env_for(sink, loop), capture_output=True,
                          text=True, timeout=timeout)
    return done.returncode, done.stderr, done.stdout


def records(*pairs):
    """The regular expression of these (level, message) records, in order."""
    return "".join(record(level, message) for level, message in pairs)


def texts(sink, count):
    """The texts of the first `count` alerts the sink received, in order."""
    return [re.search(rb">(.*)</font>", r.body)[1].decode() for r in sink.wait_for(count)]
