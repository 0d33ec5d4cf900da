"""The scenario programs of tests/scenarios/, each run in a fresh interpreter
(a loop's end, the interpreter's exit and a fork are part of what they
check), with every warning shown.

`run_scenario("name", sink=..., loop=..., **params)` runs
tests/scenarios/name.py with the sink's URL in SINK, the loop kind in LOOP
and each keyword as `--key=value` on its command line (underscores become
dashes; the scenario reads them with prelude.arguments), and returns
(returncode, stderr, stdout). `start_scenario` starts one and returns the
process, for a scenario that serves until told to stop.
"""

import os
import re
import subprocess
import sys

from support.logs import record

SCENARIOS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scenarios")


def scenario_command(name, **params):
    """The command line that runs tests/scenarios/<name>.py with these parameters."""
    options = [f"--{key.replace('_', '-')}={value}" for key, value in params.items()]
    return [sys.executable, os.path.join(SCENARIOS, name + ".py"), *options]


def env_for(sink=None, loop="asyncio", env=None):
    """A scenario's environment: this one, the sink's URL, the loop kind, every warning shown, and `env`."""
    return {
        **os.environ,
        "SINK": sink.url("") if sink else "",
        "LOOP": loop,
        "PYTHONWARNINGS": "default",
        **(env or {}),
    }


def run_scenario(name, *, sink=None, loop="asyncio", env=None, timeout=60, **params):
    """Run a scenario to its end; return (returncode, stderr, stdout)."""
    done = subprocess.run(
        scenario_command(name, **params), env=env_for(sink, loop, env), capture_output=True, text=True, timeout=timeout
    )
    return done.returncode, done.stderr, done.stdout


def start_scenario(name, *, sink=None, loop="asyncio", env=None, **params):
    """Start a scenario with its standard output and error piped (text); the caller ends it."""
    return subprocess.Popen(
        scenario_command(name, **params),
        env=env_for(sink, loop, env),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def records(*pairs):
    """The regular expression of these (level, message) records, in order."""
    return "".join(record(level, message) for level, message in pairs)


def texts(sink, count):
    """The texts of the first `count` alerts the sink received, in order."""
    return [re.search(rb">(.*)</font>", r.body)[1].decode() for r in sink.wait_for(count)]


def written(err, level="INFO"):
    """The messages of the `level` records on standard error, in order."""
    return re.findall(r"\n" + level + r" - [\d/: ]+ - (.*)\n\n", err)


def by_source(items):
    """Numbered items ("<source> <n>") grouped by source, the numbers in the order they came."""
    seen = {}
    for item in items:
        source, _, number = item.rpartition(" ")
        seen.setdefault(source, []).append(int(number))
    return seen


def in_order_per_source(items, sources):
    """Each source's items, in the order they came, are 0, 1, 2, ...; nothing else came."""
    seen = by_source(items)
    return set(seen) <= set(sources) and all(seen.get(s, []) == list(range(len(seen.get(s, [])))) for s in sources)
