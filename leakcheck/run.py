#!/usr/bin/env python
"""Leak check: every public operation of the four modules, called again and
again, must leave the process's memory flat.

    python leakcheck/run.py [--iterations N] [--warmup N] [--only TEXT] [--report-only] [--trace] [--list]

Each operation is run in a phase of its own: whatever the phase needs (a
client, a logger, an event loop) is made, the operation is called N times,
cycling through its successful and its failing paths (refused arguments,
logged failures, coroutines created and abandoned, coroutines cancelled),
and everything is released again. One warm-up phase comes first; then the
figures are taken after a full collection, before and after the measured
phase:

  blocks   sys.getallocatedblocks(): Python objects still allocated;
  heap     bytes in use in the C heap (glibc mallinfo2): C++ allocations and
           the larger Python objects;
  RSS      the resident size of the process, over the whole run.

Bounds: an operation fails when its N calls leave more than 256 more blocks
or 1 MiB more heap, and do so again in a second measured phase (a real leak
grows in every phase; a cache filling once does not). A leak of one object
per call would leave N blocks. The RSS may grow by at most 16 MiB over the
whole run. The exit status is 1 when a bound is exceeded.

Real servers are used: a standalone redis-server and a three-master Redis
Cluster (started here on free loopback ports) and a webhook sink in a child
process, so that none of their memory is counted. Two things are shared
rather than made per call, for speed: the production client's cluster
connection (made once on the real cluster; every 1000th construction makes
a fresh one, which takes ~20 ms) and the webhook sink's HTTP server. Slow
paths are taken on every Nth call only: most asynchronous alerts are gated
by the environment (every 50th is posted), and the fork operation forks
every 200th call (500 children in a full run, enough to show a leak of one
block per fork).

The operations are defined one file per module (broker_setup.py,
journal_setup.py, cache_access.py, service_toolkit.py, next to this one) on
the shared harness.py; this file measures them. The servers and the sink
come from the test suite's support package (tests/support/).
"""

import argparse
import asyncio
import ctypes
import gc
import os
import sys
import time
import tracemalloc
import warnings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "tests")]

# The operations, one file per module; importing them registers them, in this order.
import broker_setup  # noqa: E402,F401
import cache_access  # noqa: E402,F401
import journal_setup  # noqa: E402,F401
import service_toolkit  # noqa: E402,F401
from harness import OPERATIONS, Env  # noqa: E402

BLOCKS_BOUND = 256
HEAP_BOUND = 1 << 20
RSS_BOUND = 16 << 20

# ---------------------------------------------------------------------------
# Measuring


class Mallinfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


try:
    _libc = ctypes.CDLL(None)
    _libc.mallinfo2.restype = Mallinfo2
except (OSError, AttributeError):
    _libc = None


def heap_in_use():
    if _libc is None:
        return 0
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def settle():
    for _ in range(3):
        gc.collect()
    return sys.getallocatedblocks(), heap_in_use()


# ---------------------------------------------------------------------------
# Running


def run_phase(env, factory, is_async, count):
    if not is_async:
        call, close = factory(env)
        try:
            for i in range(count):
                call(i)
        finally:
            close()
        return

    async def phase():
        call, close = await factory(env)
        try:
            for i in range(count):
                await call(i)
        finally:
            await close()

    asyncio.run(phase())


def measure(env, name, factory, is_async, iterations, warmup, trace):
    run_phase(env, factory, is_async, warmup)
    rounds = []
    for _ in range(2):
        if trace:
            tracemalloc.start(10)
        blocks, heap = settle()
        snapshot = tracemalloc.take_snapshot() if trace else None
        started = time.perf_counter()
        run_phase(env, factory, is_async, iterations)
        elapsed = time.perf_counter() - started
        blocks_after, heap_after = settle()
        grown = (blocks_after - blocks, heap_after - heap, elapsed)
        over = grown[0] > BLOCKS_BOUND or grown[1] > HEAP_BOUND
        if trace and over:
            print(f"  {name}: where the memory grew")
            for stat in tracemalloc.take_snapshot().compare_to(snapshot, "traceback")[:5]:
                print("   ", stat)
                for line in stat.traceback.format()[-6:]:
                    print("      ", line)
        if trace:
            tracemalloc.stop()
        rounds.append(grown)
        if not over:
            break
    return rounds


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--iterations", type=int, default=100_000, help="calls per operation (default 100000)")
    parser.add_argument("--warmup", type=int, default=None, help="warm-up calls per operation")
    parser.add_argument("--only", default="", help="run the operations whose name holds this text")
    parser.add_argument("--report-only", action="store_true", help="print the figures, never fail")
    parser.add_argument("--trace", action="store_true", help="show where an operation over the bounds allocated")
    parser.add_argument("--list", action="store_true", help="print the operations' names, one a line, and stop")
    args = parser.parse_args()
    warmup = args.warmup if args.warmup is not None else min(2000, max(300, args.iterations // 20))
    chosen = [op for op in OPERATIONS if args.only in op[0]]
    if args.list:
        print("\n".join(name for name, _, _ in chosen))
        return 0
    warnings.simplefilter("ignore", ResourceWarning)

    env = Env()
    failed = []
    try:
        print(f"leak check: {len(chosen)} operations, {args.iterations} calls each after {warmup} warm-up calls")
        print(f"{'operation':<92} {'blocks':>8} {'heap KiB':>9} {'seconds':>8}")
        settle()
        rss_before = None
        total = time.perf_counter()
        for name, factory, is_async in chosen:
            rounds = measure(env, name, factory, is_async, args.iterations, warmup, args.trace)
            if rss_before is None:  # after the first operation's warm-up: the libraries are loaded
                rss_before = rss()
            for n, (blocks, heap, elapsed) in enumerate(rounds):
                label = name if n == 0 else "  (second measured phase)"
                print(f"{label:<92} {blocks:>+8d} {heap / 1024:>+9.1f} {elapsed:>8.2f}", flush=True)
            blocks, heap, _ = rounds[-1]
            if blocks > BLOCKS_BOUND or heap > HEAP_BOUND:
                failed.append(name)
        rss_grown = rss() - rss_before
        stats = env.sink_stats()
    finally:
        env.close()
    print(
        f"RSS growth over the run: {rss_grown / 2**20:+.1f} MiB (bound {RSS_BOUND >> 20} MiB); "
        f"webhook requests served: {stats['outcomes']}; {time.perf_counter() - total:.0f} s in all"
    )
    print(f"bounds per operation: {BLOCKS_BOUND} blocks, {HEAP_BOUND >> 10} KiB of heap, in two phases running")
    if rss_grown > RSS_BOUND:
        failed.append("RSS")
    if failed:
        print("OVER THE BOUNDS: " + ", ".join(failed))
        return 0 if args.report_only else 1
    print("OK: memory stays flat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
