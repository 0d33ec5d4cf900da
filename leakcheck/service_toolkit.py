"""The leak check's service_toolkit operations: SingletonMeta, the schema merge
and both Google Chat messengers (posting to the run's webhook sink), alerts
handed over from a worker thread, and a forked child while records and alerts
are queued."""

import asyncio
import logging
import os
import sys
import traceback
from concurrent.futures import ThreadPoolExecutor

from harness import DictSub, expect, nothing, operation
from support.logs import CountingHandler, capture
from veltrano_python_configuration import journal_setup, service_toolkit

Singleton = service_toolkit.SingletonMeta


@operation("service_toolkit", "SingletonMeta.__call__")
def op_singleton(env):
    class Plain(metaclass=Singleton):
        def __init__(self, value=None):
            self.value = value

    class Failing(metaclass=Singleton):
        def __init__(self):
            raise RuntimeError("no instance")

    def call(i):
        v = i % 4
        if v == 0:
            Singleton._instances.pop(Plain, None)
            first = Plain(i)
            assert Plain(value=-1) is first and first.value == i
        elif v == 1:
            expect(RuntimeError, Failing)
        elif v == 2:
            made = Singleton("Made", (), {})  # a new class each time
            assert made() is made()
            del Singleton._instances[made]
        else:
            assert Plain() is Plain()

    def close():
        Singleton._instances.pop(Plain, None)

    return call, close


@operation("service_toolkit", "add_extra_properties_to_schema")
def op_schema(env):
    add, files = service_toolkit.add_extra_properties_to_schema, env.files
    missing = os.path.join(env.dir, "missing.json")

    def call(i):
        v = i % 8
        if v == 0:
            add({"properties": {"a": {}}}, files["good"])
        elif v == 1:
            add(schema={"properties": {"extra": {}}}, appsettings_path=files["good"])
        elif v == 2:
            expect(FileNotFoundError, add, {"properties": {}}, missing)
        elif v == 3:
            expect(ValueError, add, {"properties": {}}, files["bad"])
        elif v == 4:
            expect(AttributeError, add, {"properties": {}}, files["list"])
        elif v == 5:
            expect(KeyError, add, {}, files["good"])
        elif v == 6:
            expect(TypeError, add, DictSub(), files["good"])
        else:
            expect(TypeError, add, {}, None)

    return call, nothing


def fresh(cls):
    Singleton._instances.pop(cls, None)


@operation("service_toolkit", "GoogleChat*Messenger(), setup_google_chat_messenger")
def op_messenger_new(env):
    Sync, Async = service_toolkit.GoogleChatSyncMessenger, service_toolkit.GoogleChatAsyncMessenger
    setup = service_toolkit.setup_google_chat_messenger

    def call(i):
        v = i % 6
        if v == 0:
            fresh(Sync)
            Sync("svc", env.sink + "/ok", "", "PRODUCTION", None, env.logger)
        elif v == 1:
            fresh(Async)
            Async("svc", env.sink + "/ok", env.sink + "/fail", "PRODUCTION", ["PRODUCTION"], env.logger, 10)
        elif v == 2:
            fresh(Sync)
            fresh(Async)
            assert setup("svc", "u", "e", "dev", True) is setup("x", "y", "z", "w", "yes")
            assert type(setup("svc", "u", "", "dev")) is Sync
        elif v == 3:
            fresh(Sync)
            expect(TypeError, Sync, "svc", "u", "e", "dev", ("PRODUCTION",))
        elif v == 4:
            fresh(Async)
            expect(TypeError, Async, "svc", "u", "e", "dev", max_queue_size=True)
        else:
            expect(TypeError, setup, "svc", "u", None, "dev")

    def close():
        fresh(Sync)
        fresh(Async)

    return call, close


@operation("service_toolkit", "GoogleChatSyncMessenger.send_message")
def op_sync_send(env):
    Sync = service_toolkit.GoogleChatSyncMessenger
    fresh(Sync)
    messenger = Sync("svc", env.sink + "/ok", env.sink + "/fail", "PRODUCTION", None, env.logger)

    def call(i):
        v = i % 8
        if v == 0:
            messenger.send_message("ok \u00e9", 1)
        elif v == 1:
            messenger.send_message("error", 0)  # the error webhook answers 500: logged
        elif v == 2:
            messenger.send_message("other", 7, env.sink + "/close")  # connection dropped: logged
        elif v == 3:
            messenger.send_message("refused", webhook_url=env.refused_url)  # logged
        elif v == 4:
            messenger.environ = "staging"
            messenger.send_message("gated")  # not an enabled environment: nothing happens
            messenger.environ = "PRODUCTION"
        elif v == 5:
            expect(TypeError, messenger.send_message, "x", None)
        elif v == 6:
            expect(TypeError, messenger.send_message, "x", 1, b"url")
        else:
            expect(TypeError, messenger.send_message, 5)

    def close():
        fresh(Sync)

    return call, close


def async_messenger(env, size=100):
    Async = service_toolkit.GoogleChatAsyncMessenger
    fresh(Async)
    return Async("svc", env.sink + "/ok", env.sink + "/fail", "PRODUCTION", None, env.logger, size)


async def stop_consumer(messenger):
    if messenger.queue_task is not None:
        messenger.queue_task.cancel()
        await asyncio.gather(messenger.queue_task, return_exceptions=True)
    fresh(type(messenger))


@operation("service_toolkit", "GoogleChatAsyncMessenger.send_message", is_async=True)
async def op_async_send(env):
    messenger = async_messenger(env, size=10)

    async def call(i):
        v = i % 6
        if v == 0:
            messenger.send_message("ok", 1)
        elif v == 1:
            messenger.send_message("error", 0)  # 500: logged by the consumer
        elif v == 2:
            messenger.send_message("no type")
        elif v == 3:
            messenger.send_message("other [close]", 4)  # dropped connection: logged
        elif v == 4:
            expect(TypeError, messenger.send_message, "x", webhook_url="u")
        else:
            expect(TypeError, messenger.send_message, "x", True)
        if i % 25 == 24:
            await asyncio.sleep(0)
            await messenger.log_queue.join()

    async def close():
        await asyncio.sleep(0)
        await messenger.log_queue.join()
        await stop_consumer(messenger)

    return call, close


@operation("service_toolkit", "GoogleChatAsyncMessenger.send_message outside a running loop")
def op_async_send_outside(env):
    messenger = async_messenger(env, size=2)
    current = asyncio.new_event_loop()  # the thread's current loop, which the posts leave alone
    asyncio.set_event_loop(current)

    def call(i):
        # Every call posts on a private loop of its own; most are gated by the
        # environment (the loop, the task and the drain still run), every 50th
        # reaches the sink, after a message left by an ended loop.
        messenger.environ = "PRODUCTION" if i % 50 == 0 else "dev"
        if i % 50 == 0:
            messenger.log_queue.put_nowait(("left by an ended loop", 1))
        messenger.send_message("posted before the call returns", i % 2)
        assert messenger.log_queue.empty() and messenger.queue_task is None

    def close():
        asyncio.set_event_loop(None)
        current.close()
        fresh(type(messenger))

    return call, close


@operation("service_toolkit", "GoogleChatAsyncMessenger._enqueue_message, _ensure_queue_processing", is_async=True)
async def op_enqueue(env):
    messenger = async_messenger(env, size=1)
    queue = messenger.log_queue

    async def call(i):
        v = i % 5
        if v == 0:
            messenger._enqueue_message("abandoned", 1).close()
        elif v == 1:
            await messenger._enqueue_message("put", None)
            queue.get_nowait()
        elif v == 2:
            await messenger._enqueue_message("fills", 1)
            waiting = asyncio.ensure_future(messenger._enqueue_message("waits", 1))
            await asyncio.sleep(0)
            waiting.cancel()  # cancelled while waiting for room
            await asyncio.gather(waiting, return_exceptions=True)
            queue.get_nowait()
        elif v == 3:
            messenger._ensure_queue_processing()
            messenger.queue_task.cancel()
            await asyncio.gather(messenger.queue_task, return_exceptions=True)
            messenger._ensure_queue_processing()  # the cancelled one is replaced
            messenger.queue_task.cancel()
            await asyncio.gather(messenger.queue_task, return_exceptions=True)
        else:
            expect(TypeError, messenger._enqueue_message, None, 1)

    return call, lambda: stop_consumer(messenger)


@operation("service_toolkit", "GoogleChatAsyncMessenger._process_log_queue, _send_message_async", is_async=True)
async def op_async_post(env):
    messenger = async_messenger(env)

    async def call(i):
        v = i % 8
        if v == 0:
            await messenger._send_message_async("posted", 1)
        elif v == 1:
            await messenger._send_message_async("500", 0)  # logged
        elif v == 2:
            await messenger._send_message_async("dropped [close]", 1)  # logged
        elif v == 3:
            messenger._send_message_async("abandoned", 1).close()
        elif v == 4:
            messenger.environ = "staging"
            await messenger._send_message_async("gated", 1)
            messenger.environ = "PRODUCTION"
        elif v == 5:
            messenger._process_log_queue().close()
        elif v == 6:
            consumer = asyncio.ensure_future(messenger._process_log_queue())
            await messenger.log_queue.put(("via the consumer", 5))
            await messenger.log_queue.join()
            consumer.cancel()
            await asyncio.gather(consumer, return_exceptions=True)
        else:
            expect(TypeError, messenger._send_message_async, "x", 1.0)

    return call, lambda: stop_consumer(messenger)


def answered(env):
    """The sink's answers so far, by status ("200", "500", "closed")."""
    return env.sink_stats()["outcomes"]


def grown(before, after):
    return {status: n - before.get(status, 0) for status, n in after.items() if n != before.get(status, 0)}


@operation("service_toolkit", "GoogleChatAsyncMessenger alerts handed over from a thread without a loop", is_async=True)
async def op_async_send_handover(env):
    messenger = async_messenger(env)
    pool = ThreadPoolExecutor(1, thread_name_prefix="leakcheck-worker")
    loop = asyncio.get_running_loop()
    messenger.environ = "dev"
    messenger.send_message("a call on this loop: the consumer starts here, its home", 1)
    await messenger.log_queue.join()  # gated when the consumer takes it
    before, sent = answered(env), {}

    async def call(i):
        # Every call hands an alert over to the home loop; most are gated by the
        # environment (the consumer still takes them), every 50th reaches the
        # sink: to the error webhook, which answers 500 (logged), every 100th.
        v = i % 50
        if v == 7:
            await loop.run_in_executor(pool, expect, TypeError, messenger.send_message, "refused", 1.0)
            return
        messenger.environ = "PRODUCTION" if v == 0 else "dev"
        message_type = 0 if i % 100 == 0 else 1
        await loop.run_in_executor(pool, messenger.send_message, "handed over", message_type)
        await messenger.log_queue.join()
        if v == 0:
            status = "500" if message_type == 0 else "200"
            sent[status] = sent.get(status, 0) + 1

    async def close():
        pool.shutdown()
        await messenger.log_queue.join()
        await stop_consumer(messenger)
        assert grown(before, answered(env)) == sent, "an alert handed over was lost or posted twice"

    return call, close


def in_a_forked_child(child):
    """Run `child()` in a forked child, which leaves with its result as exit status (2 if it raised); that status."""
    pid = os.fork()
    if pid == 0:
        status = 2
        try:
            status = child()
        except BaseException:
            traceback.print_exc()
            sys.stderr.flush()
        finally:
            os._exit(status)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])


FORK_EVERY = 200  # a fork takes milliseconds: 500 of them in the full run, enough to show a leak per fork


@operation(
    "service_toolkit", f"AsyncLogger, GoogleChatAsyncMessenger and os.fork (every {FORK_EVERY}th call)", is_async=True
)
async def op_fork(env):
    logger = journal_setup.AsyncLogger("leakcheck-fork", logging.INFO, 0)
    counter = capture(logger, CountingHandler())
    messenger = async_messenger(env, size=0)
    before, alerts, forks = answered(env), 0, 0

    def child():
        """The child's own record and alert, and nothing of the parent's queued ones: its exit status."""
        written = counter.count

        async def main():
            logger.info("child record")

        asyncio.run(main())
        messenger.send_message("child alert", 1)  # no loop here: posted before the call returns
        return 0 if counter.count == written + 1 else 3

    async def call(i):
        nonlocal alerts, forks
        logger.info("parent record %d", i)
        if i % 50 == 0:
            messenger.send_message("parent alert", 1)
            alerts += 1
        if i % FORK_EVERY == FORK_EVERY - 1:  # with up to 50 records and an alert queued
            status = in_a_forked_child(child)
            forks += 1
            assert status == 0, f"the forked child failed (status {status}; 3: it wrote a record of the parent's)"
        if i % 50 == 49:
            await logger.log_queue.join()
            await messenger.log_queue.join()
            assert counter.count == i + 1, "a parent's record was lost or written twice"

    async def close():
        await logger.log_queue.join()
        await messenger.log_queue.join()
        for task in logger._consumer_tasks:
            task.cancel()
        await stop_consumer(messenger)
        logger.logger.handlers.clear()
        assert grown(before, answered(env)) == {"200": alerts + forks}, "an alert was lost or posted twice"

    return call, close


EXIT_EVERY = 500  # a forked child per exit: 200 of them in the full run


@operation(
    "service_toolkit", f"the exit with the home loop in a daemon thread (a forked child every {EXIT_EVERY}th call)"
)
def op_exit_daemon_home(env):
    made = asyncio.new_event_loop()  # built inside a loop: the thread's current loop is left alone

    async def build():
        return journal_setup.AsyncLogger("leakcheck-exit", logging.INFO, 0)

    logger = made.run_until_complete(build())
    counter = capture(logger, CountingHandler())
    before, exits = answered(env), 0

    def child():
        """Records and alerts handed to a loop in a daemon thread, then the exit: its exit status."""
        import atexit
        import threading

        counter.count = 0
        messenger = async_messenger(env)
        loop = asyncio.new_event_loop()
        threading.Thread(target=loop.run_forever, daemon=True).start()

        async def produce():
            for k in range(20):
                logger.info("record %d", k)
            messenger.send_message("posted at the exit", 1)

        asyncio.run_coroutine_threadsafe(produce(), loop).result()
        atexit._run_exitfuncs()  # the daemon loop is asked to drain, and awaited
        return 0 if counter.count == 20 else 3

    def call(i):
        nonlocal exits
        if i % EXIT_EVERY != EXIT_EVERY - 1:
            logger.debug("filtered")  # the cheap path between the exits
            return
        written = counter.count
        status = in_a_forked_child(child)
        exits += 1
        assert status == 0, f"the child's exit failed (status {status}; 3: records were lost)"
        assert counter.count == written

    def close():
        logger.logger.handlers.clear()
        made.close()
        expected = {"200": exits} if exits else {}
        assert grown(before, answered(env)) == expected, "an alert was lost or posted twice at the exit"

    return call, close
