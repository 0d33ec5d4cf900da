"""The asynchronous logger and messenger in a real service: worker threads,
threads that run loops of their own, forked workers, a consumer cancelled by
the service. Each scenario is a program in a fresh interpreter; every record
and alert is counted: once each, in order per thread, nothing else on stderr."""

import re
import sys

import pytest

from support.programs import records, run, texts

THREADS = """
from concurrent.futures import ThreadPoolExecutor
async def main():
    log = setup_logger("svc", True, "INFO")
    alerts = messenger(size=8, logger=log)
    def worker(name):  # no loop in this thread
        for i in range(25):
            alerts.send_message(f"{name} alert {i}", 1)
    async def own_loop(name):  # a thread that runs a loop of its own
        for i in range(10):
            log.info(f"{name} record {i}")
            alerts.send_message(f"{name} alert {i}", 1)
            await asyncio.sleep(0)
    loop = asyncio.get_running_loop()
    with ThreadPoolExecutor(2) as pool:
        jobs = [asyncio.to_thread(worker, "to_thread 0"), asyncio.to_thread(worker, "to_thread 1"),
                loop.run_in_executor(pool, worker, "executor 0"), loop.run_in_executor(pool, worker, "executor 1"),
                asyncio.to_thread(RUN, own_loop("own loop 0")), asyncio.to_thread(RUN, own_loop("own loop 1"))]
        for i in range(50):
            log.info(f"loop record {i}")
            alerts.send_message(f"loop alert {i}", 1)
            if i % 10 == 9:
                await asyncio.sleep(0)
        await asyncio.gather(*jobs)
RUN(main())
"""


def in_order_per_source(items, sources):
    """Each source's items, in the order they came, are 0, 1, 2, ...; nothing else came."""
    seen = {source: [] for source in sources}
    for item in items:
        source, _, number = item.rpartition(" ")
        seen[source].append(int(number))
    return {source: numbers == list(range(len(numbers))) for source, numbers in seen.items()}


def test_worker_threads_and_their_loops_share_one_logger_and_one_messenger(sink, loop_kind):
    rc, err, _ = run(THREADS, sink, loop_kind)
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
    rc, err, _ = run(f"""
        import atexit, gc, multiprocessing
        log = setup_logger("svc", True)  # outside any loop: it makes one
        alerts = messenger(logger=log)
        def child():  # its own records and alerts, as in any process; nothing of the parent's
            async def child_main():
                log.info("child record")
            RUN(child_main())
            alerts.send_message("child alert", 1)
            gc.collect()  # nothing of the parent's (the loop the logger made there, say) is finalised here
        def fork_and_wait():
            if "{how}" == "multiprocessing":
                worker = multiprocessing.get_context("fork").Process(target=child)
                worker.start()
                worker.join()
            elif (pid := os.fork()) == 0:
                child()
                atexit._run_exitfuncs()  # the child's exit: writes and posts nothing of the parent's
                os._exit(0)
            else:
                os.waitpid(pid, 0)
        async def main():
            for i in range(20):
                log.info(f"parent record {{i}}")
            for i in range(3):
                alerts.send_message(f"parent alert {{i}}", 1)
            fork_and_wait()  # with all of them still queued
            log.info("parent after the fork")
        RUN(main())
    """, sink, loop_kind)
    parent = [("INFO", f"parent record {i}") for i in range(20)] + [("INFO", "parent after the fork")]
    assert rc == 0 and re.fullmatch(records(("INFO", "child record"), *parent), err), err
    assert texts(sink, 4) == ["child alert", "parent alert 0", "parent alert 1", "parent alert 2"]
    assert len(sink.received) == 4


def test_a_consumer_cancelled_by_the_service_leaves_its_queue_to_the_next(sink, loop_kind):
    sink.delay = 0.05
    rc, err, out = run("""
        async def main():
            log = setup_logger("svc", True)
            alerts = messenger(logger=log)
            for i in range(4):
                alerts.send_message(f"a{i}", 1)
            await asyncio.sleep(0.02)  # a0 is being posted
            alerts.queue_task.cancel()
            await asyncio.sleep(0.3)  # a0's post finishes; the other three wait for the next consumer
            print(alerts.log_queue.qsize() + len(alerts._channel.line), flush=True)
            alerts.send_message("a4", 1)  # a new consumer posts what the old one left, then this
            await alerts.log_queue.join()
            log.info("done")
            asyncio.get_running_loop().create_task(log_at_shutdown(log))
        async def log_at_shutdown(log):
            try:
                await asyncio.sleep(60)
            finally:  # logged after the consumer's end drained the logger
                log.warning("shutting down")
        loops = []
        async def wrapped():
            loops.append(asyncio.get_running_loop())
            await main()
        RUN(wrapped())
        print([t for t in asyncio.all_tasks(loops[0]) if not t.done()])
    """, sink, loop_kind)
    assert rc == 0 and re.fullmatch(records(("INFO", "done"), ("WARNING", "shutting down")), err), err
    assert out == "3\n[]\n"  # and no task of a channel is left pending on the closed loop
    # the cancellation stopped the consumer, not a0's post: each alert once, in order
    assert texts(sink, 5) == ["a0", "a1", "a2", "a3", "a4"] and len(sink.received) == 5


def test_a_drain_cut_short_leaves_the_rest_for_the_next_use(sink, loop_kind):
    sink.delay = 0.3
    rc, err, _ = run("""
        alerts = messenger()
        async def second_cancel():
            try:
                await asyncio.sleep(60)
            finally:  # while the loop's end drains the messenger, its consumer is cancelled again
                await asyncio.sleep(0.1)
                alerts.queue_task.cancel()
        async def main():
            asyncio.get_running_loop().create_task(second_cancel())
            for i in range(3):
                alerts.send_message(f"left {i}", 1)
        RUN(main())
        alerts.send_message("next", 1)  # a plain call: what the drain left is posted first
    """, sink, loop_kind)
    assert rc == 0 and err == "", err  # nothing reported undelivered
    posted = texts(sink, 4)
    assert [t for i, t in enumerate(posted) if i == 0 or t != posted[i - 1]] == ["left 0", "left 1", "left 2", "next"]


@pytest.mark.skipif(sys.platform != "linux", reason="fork")
def test_fork_resets_a_singleton_construction_lock_held_by_another_thread():
    rc, err, out = run("""
        import threading, time
        from veltrano_python_configuration.service_toolkit import SingletonMeta
        entered = threading.Event()
        class Slow(metaclass=SingletonMeta):
            def __init__(self):
                entered.set()
                time.sleep(0.5)  # holds the class's construction lock
        class Other(metaclass=SingletonMeta):
            pass
        threading.Thread(target=Slow).start()
        entered.wait()
        pid = os.fork()
        if pid == 0:  # the lock's holder does not exist here
            print(type(Slow()).__name__, type(Other()).__name__, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
    """, timeout=10)
    assert rc == 0 and out == "Slow Other\n", err
