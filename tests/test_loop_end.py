"""What the asynchronous logger and messenger hold when their event loop ends,
across several loops, and from synchronous code: each scenario is a short
program of tests/scenarios/ in a fresh interpreter, whose standard error is
checked whole."""

import asyncio
import re
import signal

import aiohttp
import pytest

from support.logs import record
from support.programs import by_source, in_order_per_source, records, run_scenario, start_scenario, texts, written


@pytest.mark.parametrize(
    "ending, code", [("return", 0), ("SystemExit", 3), ("KeyboardInterrupt", -2), ("ValueError", 1)]
)
def test_everything_accepted_before_the_loop_ends_is_written_and_posted(sink, loop_kind, ending, code):
    rc, err, _ = run_scenario("loop_end", sink=sink, loop=loop_kind, ending=ending)
    assert rc == code, err
    expected = records(*(("INFO", f"record {i}") for i in range(50))) + record(
        "ERROR", "fatal: giving up", r"Traceback \(most recent call last\):\n.*RuntimeError: cause"
    )
    assert re.match(expected, err, re.S), err
    if code in (0, 3):  # nothing else: no task, loop or warning complaints (the others end in their traceback)
        assert re.fullmatch(expected, err, re.S), err
    assert texts(sink, 5) == [f"alert {i}" for i in range(5)]


@pytest.mark.parametrize(
    "scenario, expected",
    [
        (  # i0 e0 i1 filled the queue, e1..e5 waited for room, i2..i5 were dropped
            "full_queue_at_loop_end",
            records(
                ("INFO", "i0"),
                ("ERROR", "e0"),
                ("INFO", "i1"),
                *(("ERROR", f"e{i}") for i in range(1, 6)),
                ("WARNING", "Log queue was full: 4 info/debug records dropped"),
            ),
        ),
        (  # the consumer never ran and was never cancelled: written at exit
            "loop_stopped_by_hand",
            "closed\n" + records(*(("WARNING", f"w{i}") for i in range(3))),
        ),
    ],
)
def test_records_left_at_the_loops_end_are_written_in_order(loop_kind, scenario, expected):
    rc, err, _ = run_scenario(scenario, loop=loop_kind)
    if loop_kind == "uvloop":  # uvloop runs the consumer's first step before it stops: written before the close
        expected = expected.replace("closed\n", "") + ("closed\n" if "closed" in expected else "")
    assert rc == 0 and re.fullmatch(expected, err), err


def test_one_logger_and_messenger_across_several_loops(sink, loop_kind):
    rc, err, _ = run_scenario("several_loops", sink=sink, loop=loop_kind)
    expected = "".join(
        records(*(("INFO", f"loop {n} record {i}") for i in range(3)), ("WARNING", f"loop {n} cleaned up"))
        + f"loop {n} ended \n"
        for n in range(3)
    )
    assert rc == 0 and re.fullmatch(expected, err), err
    assert texts(sink, 9) == [f"loop {n} alert {i}" for n in range(3) for i in range(3)]


def test_synchronous_callers_post_before_the_call_returns(sink):
    rc, err, _ = run_scenario("synchronous_callers", sink=sink)
    assert rc == 0 and err == "", err
    assert texts(sink, 3) == ["sync 0", "sync 1", "sync 2"]


@pytest.mark.parametrize("at_loop_end", [False, True])
def test_a_webhook_that_never_answers_holds_an_alert_ten_seconds(sink, loop_kind, at_loop_end):
    sink.mode = "hang"
    rc, err, out = run_scenario("webhook_never_answers", sink=sink, loop=loop_kind, at_loop_end=at_loop_end)
    # the post's own ten-second bound: a failure like any other
    expected = record("ERROR", "Error in webhookApi", r"Traceback .*\nTimeoutError")
    if at_loop_end:  # or the drain's budget, when the post began with the loop's end: ten seconds in all
        expected = f"(?:{expected}|{record('ERROR', 'Undelivered Google Chat alert: stuck')})"
    assert rc == 0 and re.fullmatch(expected, err, re.S), err
    assert 9.5 < float(out) < 14


def test_a_web_service_stopped_by_sigterm_loses_nothing(sink, loop_kind, redis_server):
    service = start_scenario(
        "web_service", sink=sink, loop=loop_kind, env={"REDIS_URL": f"redis://{redis_server.address}/0"}
    )
    try:
        port = int(service.stdout.readline())

        async def clients():
            async with aiohttp.ClientSession() as session:

                async def client():
                    for _ in range(20):
                        async with session.get(f"http://127.0.0.1:{port}/order") as response:
                            assert response.status == 200

                await asyncio.gather(*(client() for _ in range(20)))

        asyncio.run(clients())
        service.send_signal(signal.SIGTERM)
        _, err = service.communicate(timeout=30)
    finally:
        service.kill()
    assert service.returncode == 0, err
    expected = records(*(("INFO", f"served order {n}") for n in range(1, 401)), ("WARNING", "shutting down"))
    assert re.fullmatch(expected, err), err
    # the service has exited: this is every post, each once (a post in flight at the loop's end finished)
    assert texts(sink, 9) == [f"milestone {n}" for n in range(50, 401, 50)] + ["stopping"]
    assert len(sink.received) == 9


@pytest.mark.parametrize("ending", ["run", "worker"])  # asyncio.run / uvloop.run, or as aiohttp's gunicorn worker
def test_a_post_in_flight_when_the_loop_ends_finishes_and_is_not_posted_again(sink, loop_kind, ending):
    sink.delay = 0.05
    rc, err, _ = run_scenario("post_in_flight_at_loop_end", sink=sink, loop=loop_kind, ending=ending)
    assert rc == 0 and err == "", err
    assert texts(sink, 5) == [f"alert {i}" for i in range(5)] and len(sink.received) == 5


def test_records_handed_over_while_the_loop_ends_keep_their_order(loop_kind):
    rc, err, _ = run_scenario("handed_over_while_ending", loop=loop_kind)
    messages = written(err, "WARNING")
    assert rc == 0 and re.fullmatch(records(*(("WARNING", m) for m in messages)), err), err
    assert {source: len(numbers) for source, numbers in by_source(messages).items()} == {
        "home": 1,
        "plain": 1500,
        "own": 1500,
    }
    assert in_order_per_source(messages, ["home", "plain", "own"])


def test_a_home_loop_in_a_daemon_thread_is_drained_at_exit_without_an_abort(sink, loop_kind):
    rc, err, _ = run_scenario("daemon_home_at_exit", sink=sink, loop=loop_kind)
    messages = written(err)
    assert rc == 0 and re.fullmatch(records(*(("INFO", m) for m in messages)), err), err
    assert in_order_per_source(messages, ["background record"]) and messages  # the records written: each once
    expected = [
        f"{source} alert {i}"
        for source, count in (("background", 10), ("main", 10), ("plain", 5))
        for i in range(count)
    ]
    posted = texts(sink, 25)  # the program has exited: every post
    assert sorted(posted) == sorted(expected) and len(sink.received) == 25
    assert in_order_per_source(posted, ["background alert", "main alert", "plain alert"])


def test_a_loop_abandoned_mid_post_and_closed_later_leaves_nothing_on_stderr(sink):
    sink.delay = 0.05
    # the abandoned loop keeps the socket of the post it was making until the collector takes it
    rc, err, _ = run_scenario(
        "loop_abandoned_mid_post", sink=sink, env={"PYTHONWARNINGS": "default,ignore::ResourceWarning"}
    )
    assert rc == 0 and err == "", err
    posted = texts(sink, len(sink.received))  # the program has exited: every post it made
    assert set(posted) == {"at import", "served 0", "served 1", "served 2"}  # the cut post at least once
    assert [t for t in posted if t != "at import"] == ["served 0", "served 1", "served 2"]
