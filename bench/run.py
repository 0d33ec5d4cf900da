#!/usr/bin/env python3
"""Benchmarks of the compiled modules against plain-Python baselines.

    python bench/run.py [--quick] [--markdown] [--only TEXT] [--rounds N]

Every operation is measured side by side in one run, so the table shows
ratios of times taken on the same machine at the same moment:

  module    the compiled module (whatever `import veltrano_python_configuration`
            finds: the installed package, or a build tree put on PYTHONPATH);
  baseline  the plain-Python implementation of the same operation in
            bench/baseline/, which does the same work: exact-type argument
            checks, global lookups at call time, the same library calls;
  library   where the operation wraps a library call, that call made directly.

The sides of an operation are run in rotating order within each round, each
side for the same number of calls; the table reports the best round for
operations that stay in this process and the median round for those that wait
on a server. Before timing, the module and the baseline are run on the same
input and their results (or the library calls they make) are compared, so a
ratio is never reported for two sides that do different work.

The operations are defined one file per module (journal_setup.py,
cache_access.py, service_toolkit.py, broker_setup.py, next to this one), on
the shared harness (harness.py); this file measures them and prints the table.

Modules are imported lazily: an operation whose module or attribute does not
exist yet is reported as "not built", and the baseline is still measured.

The harness starts what it needs and stops it again, also on Ctrl-C, SIGTERM
or failure: a throwaway redis-server on a free 127.0.0.1 port, an HTTP sink
(bench/sink.py) on 127.0.0.1, temporary settings files, one asyncio loop.

Exit status: 0 when the table was printed, 1 when a baseline or library
measurement failed (a fault of the benchmark itself), 2 for bad options.
Faults of a module (an exception, a result that differs from the baseline)
are shown in the table and the notes below it, and do not change the status.
"""

import argparse
import contextlib
import os
import signal
import sys
import time

import broker_setup
import cache_access
import journal_setup
import service_toolkit
from harness import (
    ASYNC,
    ASYNC_TARGET,
    FULL,
    LIB,
    NOISE,
    OWN,
    OWN_LIB,
    OWN_TARGET,
    QUICK,
    WRAP,
    WRAP_TARGET,
    Context,
    Op,
    Settings,
    duration,
    measure,
    percent,
    thousands,
    timed,
)

GROUPS = (
    ("journal_setup", journal_setup.ops),
    ("cache_access", cache_access.ops),
    ("service_toolkit", service_toolkit.ops),
    ("broker_setup", broker_setup.ops),
)


# ---------------------------------------------------------------------------
# The table


def verdict(op: Op) -> tuple:
    """(target text, outcome) for an operation with a module time."""
    mod, base, lib, sync = (op.times.get(k) for k in ("module", "baseline", "library", "sync"))

    def against(value, target, higher_is_better=True):
        if higher_is_better:
            if value >= target:
                return "met"
            return "within noise" if value >= target * (1 - NOISE) else "MISSED"
        if value <= target:
            return "met"
        return "within noise" if value <= target + NOISE else "MISSED"

    if op.target == ASYNC:
        if mod is None or sync is None:
            return "", ""
        # sync/async against 1/target: 'within noise' is then 3% of the target, as for the ratios above.
        return "async/sync <=%.1fx" % ASYNC_TARGET, against(sync / mod, 1 / ASYNC_TARGET)
    if mod is None or base is None:
        return "", ""
    if op.target == OWN:
        return ">=%.1fx" % OWN_TARGET, against(base / mod, OWN_TARGET)
    if op.target == LIB:
        return ">=1.0x", against(base / mod, 1.0)
    if op.target == OWN_LIB:
        own = own_part_ratio(op)
        if own is None:
            return "own part >=%.1fx" % OWN_TARGET, "n/a (library time >= module time)"
        first = against(own, OWN_TARGET)
        second = against(base / mod, 1.0)
        worst = first if first != "met" else second
        return "own part >=%.1fx" % OWN_TARGET, worst
    if op.target == WRAP and lib:
        return "<=%d%% over library" % round(100 * WRAP_TARGET), against((mod - lib) / lib, WRAP_TARGET, False)
    return "", ""


def own_part_ratio(op: Op) -> float | None:
    """baseline/module for the time outside the directly measured library call."""
    mod, base, lib = (op.times.get(k) for k in ("module", "baseline", "library"))
    if None in (mod, base, lib) or mod <= lib or base <= lib:
        return None
    return (base - lib) / (mod - lib)


COLUMNS = (
    "operation",
    "module",
    "baseline",
    "ratio base/mod",
    "library",
    "lib share",
    "mod over lib",
    "per unit mod / base",
    "target",
    "outcome",
    "limited by",
)


def row_cells(op: Op) -> list:
    mod, base, lib = (op.times.get(k) for k in ("module", "baseline", "library"))
    if op.module_error:
        module_text = "module error"
    elif op.missing:
        module_text = "not built" if op.missing.startswith("not built") or "not built" in op.missing else "skipped"
    else:
        module_text = duration(mod)
    ratio = "%.2fx" % (base / mod) if mod and base else "-"
    own = own_part_ratio(op)
    if own is not None and op.target == OWN_LIB:
        ratio += " (own %.1fx)" % own
    share = "%.0f%%" % (100 * lib / mod) if mod and lib else "-"
    over = percent((mod - lib) / lib) if mod and lib else "-"
    per_unit = "-"
    if op.unit and (mod or base):
        per_unit = "%s / %s per %s" % (
            duration(mod / op.units) if mod else "-",
            duration(base / op.units) if base else "-",
            op.unit,
        )
    target, outcome = verdict(op)
    if op.problems:
        outcome = "RESULTS DIFFER"
    limits = op.limits
    extra = op.note(op) if op.times else ""
    if extra:
        limits = "%s (%s)" % (limits, extra)
    return [op.name, module_text, duration(base), ratio, duration(lib), share, over, per_unit, target, outcome, limits]


def print_table(ops: list, markdown: bool, out) -> None:
    rows = [row_cells(op) for op in ops]
    if markdown:
        out.write("| " + " | ".join(COLUMNS) + " |\n")
        out.write("|" + "|".join("---" for _ in COLUMNS) + "|\n")
        for row in rows:
            out.write("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |\n")
        return
    # The last column is free text: it is not padded.
    widths = [max(len(str(r[i])) for r in rows + [list(COLUMNS)]) for i in range(len(COLUMNS) - 1)]

    def line(cells):
        return "  ".join(c.ljust(w) for c, w in zip(cells, widths)) + "  " + cells[-1]

    out.write(line(list(COLUMNS)).rstrip() + "\n")
    out.write("  ".join("-" * w for w in widths) + "  " + "-" * len(COLUMNS[-1]) + "\n")
    for row in rows:
        out.write(line(row).rstrip() + "\n")


def notes(ops: list, loop_ns: float, settings: Settings) -> list:
    lines = [
        "ratio = baseline time / module time (higher is faster); 'own' = the same ratio for the time outside the "
        "library call measured directly (module - library vs baseline - library).",
        "lib share = library-direct time / module time; mod over lib = how much longer the module takes than "
        "calling the library directly.",
        "targets: own code >=%.1fx the baseline; library-dominated no slower than the baseline (>=1.0x); a wrapper "
        "around a server round trip at most %d%% over the library; 'within noise' = within %d%% of the target."
        % (OWN_TARGET, round(100 * WRAP_TARGET), round(100 * NOISE)),
        "Times per call; best of %d rounds for in-process operations, median of %d rounds for those that wait on "
        "a server; sides interleaved in rotating order." % (settings.rounds, settings.io_rounds),
        "Each timed loop adds about %s per call to every side (an empty timeit loop); it is not subtracted, "
        "which understates the ratio of the fastest operations." % duration(loop_ns),
        "Logging rows write to a null stream; each side's formatter uses its own time_tz, the library side the "
        "module's (the baseline's when the module is not built). CustomLogger.error attaches exc_info outside any "
        "exception, so its record carries 'NoneType: None'.",
        "Redis rows run against a throwaway redis-server on 127.0.0.1; the library side is redis-py called "
        "directly with the same commands (for increments: the same fields, without the walk).",
        "AsyncLogger.info end to end: one coroutine on the running loop makes N info calls (unbounded queue), then "
        "waits until all N records are written (log_queue.join() and the null stream's write count, at most 2 s + "
        "1 ms per record); time per record = the whole batch / N, caller side = the N calls alone. sync = N "
        "CustomLogger.info writes to a null stream of their own, same layout; target async/sync <=%.1fx. "
        "The 'through the queue' row times its batches the same way; so does the 'from a worker thread's loop' "
        "row, whose N calls are made by a coroutine on an event loop of a worker thread while the logger's home loop "
        "(its consumer's) runs in the main thread and writes them." % ASYNC_TARGET,
        "GoogleChatAsyncMessenger from a worker thread: N send_message calls on a thread without a loop while the "
        "messenger's home loop runs in the main thread and posts each alert to the local sink (unbounded queue); "
        "time per alert = the whole batch / N, until the queue is done. library = the same card posted N times "
        "with aiohttp on the loop.",
    ]
    for op in ops:
        for problem in op.problems:
            lines.append("RESULTS DIFFER in %s: %s" % (op.name, problem))
        if op.module_error:
            lines.append("module error in %s: %s" % (op.name, op.module_error))
        if op.missing and not op.missing.startswith("not built"):
            lines.append("%s: %s" % (op.name, op.missing))
        for error in op.harness_errors:
            lines.append("BENCHMARK FAULT in %s: %s" % (op.name, error))
    lines.extend(linearity(ops))
    absent = {}
    for op in ops:
        if op.missing.startswith("not built: "):
            short, _, dotted = op.missing[len("not built: ") :].partition(".")
            absent.setdefault(short, set()).add(dotted.split(".")[0])
        elif op.missing.startswith(("not built", "package")):
            absent.setdefault(op.missing, set())
    for short, names in sorted(absent.items()):
        lines.append("not built yet: %s%s" % (short, " (%s)" % ", ".join(sorted(names)) if names else ""))
    return lines


def linearity(ops: list) -> list:
    """Per-unit cost across the sizes of each sized family, to show the cost is linear."""
    families = {}
    for op in ops:
        if op.unit:
            families.setdefault(op.family, []).append(op)
    lines = []
    for family, members in families.items():
        unit = members[0].unit
        points = {}
        for label in ("module", "baseline", "library"):
            found = [(op.units, op.times[label] / op.units) for op in members if label in op.times]
            if len(found) >= 2:
                points[label] = found
        growth = {label: found[-1][1] / found[-2][1] for label, found in points.items()}
        for label, found in points.items():
            costs = ", ".join("%s @ %s" % (duration(c), thousands(u)) for u, c in found)
            flag = ""
            # A larger batch also outgrows the CPU caches, which shows in the baseline
            # too; only growth well beyond the baseline's is the module's own.
            if label == "module" and growth[label] >= 1.5 and growth[label] > 1.25 * growth.get("baseline", 1.0):
                flag = "  <- per-%s cost up %.1fx from the previous size" % (unit, growth[label])
            lines.append("per-%s cost, %s, %s: %s%s" % (unit, family, label, costs, flag))
    return lines


def describe_modules(ctx: Context) -> str:
    if ctx.package is None:
        return "modules: %s" % ctx.package_error
    where = os.path.dirname(ctx.package.__file__)
    text = "modules from %s" % where
    cache = os.path.join(os.path.dirname(where), "CMakeCache.txt")
    if os.path.exists(cache):
        with open(cache) as f:
            for line in f:
                if line.startswith("CMAKE_BUILD_TYPE:"):
                    build_type = line.split("=", 1)[1].strip() or "(none)"
                    text += " (CMake build type %s)" % build_type
                    if build_type not in ("Release", "RelWithDebInfo"):
                        text += "  WARNING: not an optimised build; module times are not representative"
    return text


# ---------------------------------------------------------------------------


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="Benchmark the compiled modules against plain-Python baselines.")
    parser.add_argument("--quick", action="store_true", help="few short rounds: a smoke run, well under a minute")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    parser.add_argument("--only", metavar="TEXT", help="only the operations whose name contains TEXT")
    parser.add_argument("--rounds", type=int, metavar="N", help="rounds per operation (default 15, or 3 with --quick)")
    args = parser.parse_args(argv)
    settings = QUICK if args.quick else FULL
    if args.rounds:
        settings = Settings(args.rounds, args.rounds, settings.batch_ns, settings.io_batch_ns, settings.budget_ns)

    def terminate(signum, frame):
        raise SystemExit(128 + signum)

    signal.signal(signal.SIGTERM, terminate)
    signal.signal(signal.SIGHUP, terminate)

    started = time.monotonic()
    with contextlib.ExitStack() as stack:
        ctx = Context(stack)
        ops = []
        for short, build in GROUPS:
            try:
                group = build(ctx)
            except Exception as error:  # noqa: BLE001 - a fault in setting up the baselines
                op = Op(short, OWN, "")
                op.harness_errors.append("set-up: %s: %s" % (type(error).__name__, error))
                group = [op]
            ops.extend(op for op in group if not args.only or args.only in op.name)
        for op in ops:
            if op.baseline is None and op.library is None and not op.module:
                continue
            print("measuring %s ..." % op.name, file=sys.stderr, flush=True)
            measure(op, settings)
        loop_ns = timed("pass")(1_000_000) / 1_000_000

        out = sys.stdout
        out.write("\nveltrano_python_configuration benchmark: compiled modules vs plain-Python baselines\n")
        out.write("Python %s; %s\n\n" % (sys.version.split()[0], describe_modules(ctx)))
        print_table(ops, args.markdown, out)
        out.write("\n")
        for line in notes(ops, loop_ns, settings):
            out.write(("- " if args.markdown else "  ") + line + "\n")
        out.write("\n%s operations, %.1f s\n" % (len(ops), time.monotonic() - started))
        out.flush()
    return 1 if any(op.harness_errors for op in ops) else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:  # everything started has been stopped on the way out
        print("interrupted", file=sys.stderr)
        sys.exit(130)
