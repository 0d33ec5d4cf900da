"""The asynchronous logger and messenger in a real service: worker threads,
threads that run loops of their own, forked workers, a consumer cancelled by
the service. Each scenario is a program of tests/scenarios/ in a fresh
interpreter; every record
and alert is counted: once each, in order per thread, nothing else on stderr."""

import re
import sys

import pytest

from support.logs import record
from support.programs import by_source, in_order_per_source, records, run_scenario, texts, written


def test_worker_threads_and_their_loops_share_one_logger_and_one_messenger(sink, loop_kind):
    rc, err, _ = run_scenario("worker_threads", sink=sink, loop=loop_kind)
    assert rc == 0, err
    records_written = written(err)
    assert re.fullmatch(records(*(("INFO", text) for text in records_written)), err), err  # nothing else on stderr
    sources = ["loop record", "own loop 0 record", "own loop 1 record"]
    assert sorted(records_written) == sorted(
        [f"loop record {i}" for i in range(50)] + [f"own loop {n} record {i}" for n in range(2) for i in range(10)]
    )
    assert in_order_per_source(records_written, sources)
    posted = texts(sink, 170)
    assert len(set(posted)) == 170 and len(sink.received) == 170  # each once
    sources = ["loop alert", *(f"{kind} {n} alert" for kind in ("to_thread", "executor", "own loop") for n in range(2))]
    assert in_order_per_source(posted, sources)


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


def test_a_consumer_cancelled_long_after_its_starter_ended_leaves_the_loop_serving(sink, loop_kind):
    rc, err, out = run_scenario("cancelled_after_its_starter", sink=sink, loop=loop_kind)
    assert rc == 0 and err == "", err
    assert texts(sink, 3) == ["first", "from a worker", "from a callback"] and len(sink.received) == 3
    assert all(r.ended < float(out) for r in sink.received)  # posted while the loop ran, not at its end


def test_a_loop_with_the_eager_task_factory_takes_the_messenger_over(sink):
    rc, err, _ = run_scenario("eager_loop_takes_over", sink=sink)
    assert rc == 0 and err == "", err
    assert texts(sink, 2) == ["taken over", "second"] and len(sink.received) == 2


def test_threads_without_a_loop_each_return_once_their_own_alert_is_posted(sink):
    sink.delay = 0.2
    rc, err, out = run_scenario("threads_without_a_loop", sink=sink)
    assert rc == 0 and err == "" and out == "[]\n", err + out
    posted = texts(sink, 6)
    assert len(set(posted)) == len(sink.received) == 6
    assert in_order_per_source(posted, [f"thread {n}" for n in range(3)])


def test_a_loop_driven_in_steps_keeps_what_a_worker_hands_it_for_its_next_step(sink):
    rc, err, _ = run_scenario("loop_driven_in_steps", sink=sink)
    messages = written(err, "WARNING")
    assert rc == 0 and re.fullmatch(records(*(("WARNING", m) for m in messages)), err), err
    assert len(by_source(messages)["worker"]) == 60 and in_order_per_source(messages, ["worker", "loop"])
    posted = texts(sink, len(messages))
    assert sorted(posted) == sorted(messages) and len(sink.received) == len(messages)  # each once
    assert in_order_per_source(posted, ["worker", "loop"])


def test_awaited_puts_on_other_loops_are_handed_over(loop_kind):
    rc, err, _ = run_scenario("awaited_puts_elsewhere", loop=loop_kind)
    messages = written(err, "WARNING")
    assert rc == 0 and re.fullmatch(records(*(("WARNING", m) for m in messages)), err), err
    assert sorted(messages) == sorted(["home 0"] + [f"loop {n} {i}" for n in range(2) for i in range(300)])
    assert in_order_per_source(messages, ["home", "loop 0", "loop 1"])


def test_the_sync_messenger_logs_its_failures_through_an_async_logger_from_worker_threads(sink, loop_kind):
    sink.status = 500
    rc, err, out = run_scenario("sync_messenger_in_workers", sink=sink, loop=loop_kind)
    assert rc == 0 and out == "no call raised\n", err
    failure = record("ERROR", "Error in webhookApi", r"Traceback .*?requests\.exceptions\.HTTPError: 500 [^\n]*")
    assert re.fullmatch(failure * 6, err, re.S), err
