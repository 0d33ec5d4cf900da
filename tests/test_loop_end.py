"""What the asynchronous logger and messenger hold when their event loop ends,
across several loops, and from synchronous code: each scenario is a short
program in a fresh interpreter, whose standard error is checked whole."""

import asyncio
import os
import re
import signal
import subprocess
import sys

import aiohttp
import pytest

from support.logs import record
from support.programs import env_for, program, records, run, texts

@pytest.mark.parametrize(
    "ending, code",
    [("return", 0), ("raise SystemExit(3)", 3), ("raise KeyboardInterrupt", -2), ("raise ValueError('bad')", 1)],
)
def test_everything_accepted_before_the_loop_ends_is_written_and_posted(sink, loop_kind, ending, code):
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
        RUN(main())
    """, sink, loop_kind)
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
        RUN(main())
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
        loop = new_loop()
        loop.call_soon(log_and_stop)
        loop.run_forever()
        loop.close()
        print("closed", file=sys.stderr)
        """,
        "closed\n" + records(*(("WARNING", f"w{i}") for i in range(3))),  # written at exit
    ),
])
def test_records_left_at_the_loops_end_are_written_in_order(loop_kind, code, expected):
    rc, err, _ = run(code, loop=loop_kind)
    if loop_kind == "uvloop":  # uvloop runs the consumer's first step before it stops: written before the close
        expected = expected.replace("closed\n", "") + ("closed\n" if "closed" in expected else "")
    assert rc == 0 and re.fullmatch(expected, err), err


def test_one_logger_and_messenger_across_several_loops(sink, loop_kind):
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
            loops.append(asyncio.get_running_loop())
            loops[-1].create_task(cleanup(n))
            for i in range(3):
                log.info(f"loop {n} record {i}")
                alerts.send_message(f"loop {n} alert {i}", 1)
            await asyncio.sleep(0)
        loops = []
        for n in range(3):
            RUN(main(n))
            pending = [t for t in asyncio.all_tasks(loops[-1]) if not t.done()]
            print(f"loop {n} ended", pending or "", file=sys.stderr)
    """, sink, loop_kind)
    expected = "".join(records(*(("INFO", f"loop {n} record {i}") for i in range(3)), ("WARNING", f"loop {n} cleaned up"))
                       + f"loop {n} ended \n" for n in range(3))
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
def test_a_webhook_that_never_answers_holds_an_alert_ten_seconds(sink, loop_kind, at_loop_end):
    sink.mode = "hang"
    wait = "" if at_loop_end else "await asyncio.sleep(10.5)"
    rc, err, out = run(f"""
        import time
        log = setup_logger("svc", False)
        async def main():
            messenger(logger=log).send_message("stuck", 1)
            {wait}
        started = time.monotonic()
        RUN(main())
        print(time.monotonic() - started)
    """, sink, loop_kind)
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
    cache.client.close()

RUN(main())
"""


def test_a_web_service_stopped_by_sigterm_loses_nothing(sink, loop_kind, redis_server):
    env = env_for(sink, loop_kind, REDIS_URL=f"redis://{redis_server.address}/0")
    service = subprocess.Popen([sys.executable, "-c", program(SERVICE)], env=env, stdout=subprocess.PIPE,
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
