"""What the asynchronous logger and messenger hold when their event loop ends,
across several loops, and from synchronous code: each scenario is a short
program in a fresh interpreter, whose standard error is checked whole."""

import asyncio
import os
import re
import signal
import subprocess
import sys
import textwrap

import aiohttp
import pytest

from support.logs import record

PRELUDE = """
import asyncio, os, sys
from veltrano_python_configuration.journal_setup import setup_logger
from veltrano_python_configuration.service_toolkit import GoogleChatAsyncMessenger
URL = os.environ.get("SINK", "")
def messenger(size=100, logger=None):
    return GoogleChatAsyncMessenger("svc", URL + "/ok", URL + "/err", "PRODUCTION", logger=logger, max_queue_size=size)
"""


def run(code, sink=None, timeout=60):
    """Run PRELUDE + `code` with every warning shown; return (returncode, stderr, stdout)."""
    env = {**os.environ, "SINK": sink.url("") if sink else "", "PYTHONWARNINGS": "default"}
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)], env=env, capture_output=True,
                          text=True, timeout=timeout)
    return done.returncode, done.stderr, done.stdout


def records(*pairs):
    return "".join(record(level, message) for level, message in pairs)


def texts(sink, count):
    return [re.search(rb">(.*)</font>", r.body)[1].decode() for r in sink.wait_for(count)]


@pytest.mark.parametrize(
    "ending, code",
    [("return", 0), ("raise SystemExit(3)", 3), ("raise KeyboardInterrupt", -2), ("raise ValueError('bad')", 1)],
)
def test_everything_accepted_before_the_loop_ends_is_written_and_posted(sink, ending, code):
    rc, err, _ = run(f"""
        async def main():
            log = setup_logger("svc", True)
            alerts = messenger(size=2, logger=log)
            for i in range(50):
                log.info("record %s", i)
            for i in range(5):
                alerts.send_message(f"alert {{i}}", 0)  # three of them wait for room
            try:
                raise RuntimeError("cause")
            except RuntimeError:
                log.error("fatal: giving up")
                {ending}
        asyncio.run(main())
    """, sink)
    assert rc == code, err
    expected = records(*(("INFO", f"record {i}") for i in range(50))) + record(
        "ERROR", "fatal: giving up", r'Traceback \(most recent call last\):\n.*RuntimeError: cause')
    assert re.match(expected, err, re.S), err
    if code in (0, 3):  # nothing else: no task, loop or warning complaints (the others end in their traceback)
        assert re.fullmatch(expected, err, re.S), err
    assert texts(sink, 5) == [f"alert {i}" for i in range(5)]


@pytest.mark.parametrize("code, expected", [
    (  # a full queue at the loop's end: i0 e0 i1 filled it, e1..e5 waited for room, i2..i5 were dropped
        """
        async def main():
            log = setup_logger("svc", True)
            log.log_queue = asyncio.Queue(3)
            for i in range(6):
                log.info(f"i{i}")
                log.error(f"e{i}", exc_info=False)
        asyncio.run(main())
        """,
        records(("INFO", "i0"), ("ERROR", "e0"), ("INFO", "i1"), *(("ERROR", f"e{i}") for i in range(1, 6)),
                ("WARNING", "Log queue was full: 4 info/debug records dropped")),
    ),
    (  # a loop stopped and closed by hand: its consumer never ran and was never cancelled
        """
        def log_and_stop():
            log = setup_logger("svc", True)
            for i in range(3):
                log.warning(f"w{i}")
            loop.stop()
        loop = asyncio.new_event_loop()
        loop.call_soon(log_and_stop)
        loop.run_forever()
        loop.close()
        print("closed", file=sys.stderr)
        """,
        "closed\n" + records(*(("WARNING", f"w{i}") for i in range(3))),  # written at exit
    ),
])
def test_records_left_at_the_loops_end_are_written_in_order(code, expected):
    rc, err, _ = run(code)
    assert rc == 0 and re.fullmatch(expected, err), err


def test_one_logger_and_messenger_across_several_loops(sink):
    rc, err, _ = run("""
        log = setup_logger("svc", True)  # no loop runs yet
        alerts = messenger(size=1)
        async def cleanup(n):
            try:
                await asyncio.sleep(60)
            finally:  # cancelled when the loop ends; logs once the consumer has gone
                await asyncio.sleep(0)
                log.warning(f"loop {n} cleaned up")
        async def main(n):
            asyncio.get_running_loop().create_task(cleanup(n))
            for i in range(3):
                log.info(f"loop {n} record {i}")
                alerts.send_message(f"loop {n} alert {i}", 1)
            await asyncio.sleep(0)
        for n in range(3):
            asyncio.run(main(n))
            print(f"loop {n} ended", file=sys.stderr)
    """, sink)
    expected = "".join(records(*(("INFO", f"loop {n} record {i}") for i in range(3)), ("WARNING", f"loop {n} cleaned up"))
                       + f"loop {n} ended\n" for n in range(3))
    assert rc == 0 and re.fullmatch(expected, err), err
    assert texts(sink, 9) == [f"loop {n} alert {i}" for n in range(3) for i in range(3)]


def test_synchronous_callers_post_before_the_call_returns(sink):
    rc, err, _ = run("""
        current = asyncio.new_event_loop()
        asyncio.set_event_loop(current)
        alerts = messenger()
        for i in range(3):
            alerts.send_message(f"sync {i}", 0)
        assert asyncio.get_event_loop() is current and alerts.queue_task is None
    """, sink)
    assert rc == 0 and err == "", err
    assert texts(sink, 3) == ["sync 0", "sync 1", "sync 2"]


@pytest.mark.parametrize("at_loop_end", [False, True])
def test_a_webhook_that_never_answers_holds_an_alert_ten_seconds(sink, at_loop_end):
    sink.mode = "hang"
    wait = "" if at_loop_end else "await asyncio.sleep(10.5)"
    rc, err, out = run(f"""
        import time
        log = setup_logger("svc", False)
        async def main():
            messenger(logger=log).send_message("stuck", 1)
            {wait}
        started = time.monotonic()
        asyncio.run(main())
        print(time.monotonic() - started)
    """, sink)
    if at_loop_end:  # the drain gives up after ten seconds in all
        expected = record("ERROR", "Undelivered Google Chat alert: stuck")
    else:  # the post's own ten-second bound: a failure like any other
        expected = record("ERROR", "Error in webhookApi", r"Traceback .*\nTimeoutError")
    assert rc == 0 and re.fullmatch(expected, err, re.S), err
    assert 9.5 < float(out) < 14


SERVICE = """
import signal
from aiohttp import web
from veltrano_python_configuration.cache_access import DevelopmentRedisClient
log = setup_logger("orders", True, "INFO")  # built at import, before any loop
alerts = messenger(logger=log)

async def main():
    cache = DevelopmentRedisClient(os.environ["REDIS_URL"], log)
    served = 0
    async def order(request):
        nonlocal served
        served += 1
        n = served
        cache.set(f"order:{n}", "1")
        log.info(f"served order {n}")
        if n % 50 == 0:
            alerts.send_message(f"milestone {n}", 1)
        return web.Response(text="ok")
    app = web.Application()
    app.router.add_get("/order", order)
    runner = web.AppRunner(app)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    print(site._server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    log.warning("shutting down")
    alerts.send_message("stopping", 0)
    await runner.cleanup()

asyncio.run(main())
"""


def test_a_web_service_stopped_by_sigterm_loses_nothing(sink, redis_server):
    env = {**os.environ, "SINK": sink.url(""), "REDIS_URL": f"redis://{redis_server.address}/0"}
    service = subprocess.Popen([sys.executable, "-c", PRELUDE + SERVICE], env=env, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
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
    posted = texts(sink, 9)  # the service has exited: this is every post
    # at least once: the post that the loop's end cut short may have reached the webhook already
    once = [text for i, text in enumerate(posted) if i == 0 or text != posted[i - 1]]
    assert once == [f"milestone {n}" for n in range(50, 401, 50)] + ["stopping"] and len(posted) <= 10
