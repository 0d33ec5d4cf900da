"""What the scenario programs beside this file share: `setup_logger`,
`messenger()` (a GoogleChatAsyncMessenger posting to the sink), the event
loop kind of the run (`RUN(main())` runs a coroutine as asyncio.run or
uvloop.run does, `new_loop()` makes a loop of that kind) and `arguments()`,
the scenario's own parameters.

A scenario is a program of its own, run in a fresh interpreter by
tests/support/programs.py (`run_scenario`): its exit status, standard error
and standard output are what the test checks. Its settings come from the
environment:

  SINK  the webhook sink's base URL (alerts go to SINK/ok, errors to SINK/err);
  LOOP  "asyncio" (the default) or "uvloop";

and its parameters from the command line (`--name=value`). By hand, from the
repository's root, with a sink that answers every request with 200
(`cd tests && ../.venv/bin/python -m support.reliability sink` prints its port):

  SINK=http://127.0.0.1:PORT LOOP=uvloop PYTHONWARNINGS=default .venv/bin/python tests/scenarios/NAME.py --name=value
"""

import argparse
import asyncio
import os
import sys

from veltrano_python_configuration.journal_setup import setup_logger
from veltrano_python_configuration.service_toolkit import GoogleChatAsyncMessenger

__all__ = ["RUN", "URL", "arguments", "messenger", "new_loop", "setup_logger"]

URL = os.environ.get("SINK", "")


def messenger(size=100, logger=None):
    return GoogleChatAsyncMessenger("svc", URL + "/ok", URL + "/err", "PRODUCTION", logger=logger, max_queue_size=size)


if os.environ.get("LOOP") == "uvloop":
    import uvloop

    RUN, new_loop = uvloop.run, uvloop.new_event_loop
else:
    RUN, new_loop = asyncio.run, asyncio.new_event_loop


def _flag(text):
    return text.lower() in ("1", "true", "yes")


def arguments(**defaults):
    """The scenario's parameters: `--name=value` on its command line (the
    keywords run_scenario was given), each converted to its default's type
    (a bool default takes true/false); `--help` lists them."""
    main = sys.modules["__main__"]
    parser = argparse.ArgumentParser(description=main.__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for name, default in defaults.items():
        convert = _flag if isinstance(default, bool) else type(default)
        parser.add_argument("--" + name.replace("_", "-"), type=convert, default=default, help=f"default {default}")
    return parser.parse_args()
