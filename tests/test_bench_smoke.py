"""Smoke run of the benchmark harness (bench/run.py --quick).

Skipped unless VPC_BENCH_SMOKE=1: the run starts its own redis-server and HTTP
sink and takes several seconds. It checks that the harness runs to its end and
prints its table, and that the asynchronous logger's end-to-end row gets every
record written; it makes no claim about any timing.
"""

import os
import pathlib
import subprocess
import sys

import pytest

RUN = pathlib.Path(__file__).resolve().parent.parent / "bench" / "run.py"


@pytest.mark.skipif(
    os.environ.get("VPC_BENCH_SMOKE") != "1", reason="set VPC_BENCH_SMOKE=1 to run the benchmark smoke test"
)
def test_quick_run_prints_the_table():
    result = subprocess.run(
        [sys.executable, str(RUN), "--quick"], capture_output=True, text=True, timeout=55, stdin=subprocess.DEVNULL
    )
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-3000:]
    header = [line.split() for line in result.stdout.splitlines() if line.startswith("operation ")]
    assert header and header[0][:3] == ["operation", "module", "baseline"], result.stdout[-3000:]
    # The asynchronous logger's end-to-end row: every record written within its bound (no
    # module error, no timeout) and both sides' throughput reported.
    row = [line for line in result.stdout.splitlines() if line.startswith("AsyncLogger.info end to end")]
    assert row and "module error" not in row[0], result.stdout[-3000:]
    assert row[0].count("records/s") == 2 and "async/sync" in row[0], row[0]
