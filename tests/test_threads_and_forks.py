"""The asynchronous logger and messenger in a real service: worker threads,
threads that run loops of their own, forked workers, a consumer cancelled by
the service. Each scenario is a program of tests/scenarios/ in a fresh
interpreter; every record
and alert is counted: once each, in order per thread, nothing else on stderr."""

import re
import sys

import pytest

from support.programs import records, run_scenario, texts


def in_order_per_source(items, sources):
    """Each source's items, in the order they came, are 0, 1, 2, ...; nothing else came."""
    seen = {source: [] for source in sources}
    for item in items:
        source, _, number = item.rpartition(" ")
        seen[source].append(int(number))
    return {source: numbers == list(range(len(numbers))) for source, numbers in seen.items()}


def test_worker_threads_and_their_loops_share_one_logger_and_one_messenger(sink, loop_kind):
    rc, err, _ = run_scenario("worker_threads", sink=sink, loop=loop_kind)
    assert rc == 0, err
    written = re.findall(r"\nINFO - [\d/: ]+ - (.*)\n\n", err)
    assert re.fullmatch(records(*(("INFO", text) for text in written)), err), err  # nothing else on stderr
    sources = ["loop record", "own loop 0 record", "own loop 1 record"]
    assert sorted(written) == sorted([f"loop record {i}" for i in range(50)]
                                     + [f"own loop {n} record {i}" for n in range(2) for i in range(10)])
    assert all(in_order_per_source(written, sources).values())
    posted = texts(sink, 170)
    assert len(set(posted)) == 170 and len(sink.received) == 170  # each once
    sources = ["loop alert", *(f"{kind} {n} alert" for kind in ("to_thread", "executor", "own loop") for n in range(2))]
    assert all(in_order_per_source(posted, sources).values())


@pytest.mark.parametrize("how", ["os.fork", "multiprocessing"])
def test_a_forked_child_starts_with_empty_channels(sink, loop_kind, how):
    rc, err, _ = run_scenario("fork_child", sink=sink, loop=loop_kind, how=how)
    parent = [("INFO", f"parent record {i}") for i in range(20)] + [("INFO", "parent after the fork")]
    assert rc == 0 and re.fullmatch(records(("INFO", "child record"), *parent), err), err
    assert texts(sink, 4) == ["child alert", "parent alert 0", "parent alert 1", "parent alert 2"]
    assert len(sink.received) == 4


def test_a_consumer_cancelled_by_the_service_leaves_its_queue_to_the_next(sink, loop_kind):
    sink.delay = 0.05
    rc, err, out = run_scenario("consumer_cancelled", sink=sink, loop=loop_kind)
    assert rc == 0 and re.fullmatch(records(("INFO", "done"), ("WARNING", "shutting down")), err), err
    assert out == "3\n[]\n"  # and no task of a channel is left pending on the closed loop
    # the cancellation stopped the consumer, not a0's post: each alert once, in order
    assert texts(sink, 5) == ["a0", "a1", "a2", "a3", "a4"] and len(sink.received) == 5


def test_a_drain_cut_short_leaves_the_rest_for_the_next_use(sink, loop_kind):
    sink.delay = 0.3
    rc, err, _ = run_scenario("drain_cut_short", sink=sink, loop=loop_kind)
    assert rc == 0 and err == "", err  # nothing reported undelivered
    posted = texts(sink, 4)
    assert [t for i, t in enumerate(posted) if i == 0 or t != posted[i - 1]] == ["left 0", "left 1", "left 2", "next"]


@pytest.mark.skipif(sys.platform != "linux", reason="fork")
def test_fork_resets_a_singleton_construction_lock_held_by_another_thread():
    rc, err, out = run_scenario("singleton_lock_at_fork", timeout=10)
    assert rc == 0 and out == "Slow Other\n", err
