"""The benchmark's service_toolkit operations: the singleton call, the schema
merge, the synchronous messenger's card build and post to a local sink, and
the asynchronous messenger's posts of alerts sent from a worker thread."""

import asyncio
import copy
import gc
import json
import os
import time
import types
import urllib.request

from harness import (
    IO,
    LIB,
    OWN,
    OWN_LIB,
    Context,
    Op,
    RecordingLogger,
    Runner,
    Unavailable,
    logged_errors,
    module_side,
    thousands,
    timed,
    with_attribute,
)


def settings_file(directory: str, keys: int) -> tuple:
    """Write a settings file of `keys` keys; return its path and a schema declaring every other key."""
    samples = ["text", 42, 3.5, True, None, [1, 2], {"nested": 1}]
    settings = {"setting_%06d" % i: samples[i % len(samples)] for i in range(keys)}
    path = os.path.join(directory, "appsettings_%d.json" % keys)
    with open(path, "w") as out:
        json.dump(settings, out)
    declared = {name: {"type": "string"} for i, name in enumerate(settings) if i % 2 == 0}
    return path, {"type": "object", "properties": declared}


def card(service, environ, color, text) -> dict:
    return {
        "cards": [
            {
                "header": {"title": "*%s*" % service, "subtitle": "_%s_" % environ},
                "sections": [{"widgets": [{"textParagraph": {"text": "<font color='%s'>%s</font>" % (color, text)}}]}],
            }
        ]
    }


HEADERS = {"Content-Type": "application/json; charset=UTF-8"}


class InstantResponse:
    """The answer of the stubbed requests.post: a success whose raise_for_status does nothing."""

    __slots__ = ()
    raise_for_status = tuple  # a builtin: raise_for_status() -> ()


INSTANT_RESPONSE = InstantResponse()


def instant_post(**kwargs):
    return INSTANT_RESPONSE


def ops(ctx: Context) -> list:
    base = ctx.baseline("service_toolkit")
    ops = []

    op = Op("SingletonMeta call, existing instance", OWN, "type's call slot dispatching to __call__, two dict lookups")
    base_single = base.SingletonMeta("BenchSingleton", (), {})
    base_single()
    op.baseline = timed("S()", S=base_single)

    def module_single():
        meta = ctx.attr("service_toolkit", "SingletonMeta")
        cls = meta("BenchSingleton", (), {})
        first = cls()
        if cls() is not first:
            raise AssertionError("SingletonMeta returned two instances")
        return timed("S()", S=cls)

    module_side(op, module_single)
    ops.append(op)

    for keys in (10, 1_000, 100_000):
        path, schema = settings_file(ctx.tmpdir(), keys)
        op = Op(
            "add_extra_properties_to_schema, %s keys" % thousands(keys),
            OWN_LIB,
            "json.load of the file; per key a dict lookup, a membership test, a new entry",
            unit="key",
            units=keys,
            family="add_extra_properties_to_schema",
        )
        op.baseline = timed("f(s, p)", f=base.add_extra_properties_to_schema, s=copy.deepcopy(schema), p=path)
        op.library = timed("with open(p, 'r') as fh: load(fh)", load=json.load, p=path)

        def module_schema(path=path, schema=schema):
            f = ctx.attr("service_toolkit", "add_extra_properties_to_schema")
            return timed("f(s, p)", f=f, s=copy.deepcopy(schema), p=path)

        def check_schema(path=path, schema=schema, keys=keys):
            f = ctx.attr("service_toolkit", "add_extra_properties_to_schema")
            got = f(copy.deepcopy(schema), path)
            want = base.add_extra_properties_to_schema(copy.deepcopy(schema), path)
            if json.dumps(got) != json.dumps(want):
                return "add_extra_properties_to_schema: module and baseline results differ (%s keys)" % thousands(keys)
            return None

        module_side(op, module_schema)
        op.check = check_schema
        ops.append(op)

    ops.extend(messenger_ops(ctx, base))
    return ops


def messenger_ops(ctx: Context, base) -> list:
    text = "Nightly import finished: 1,204 rows"
    try:
        sink = ctx.sink_url()
        sink_error = None
    except Unavailable as why:
        sink, sink_error = "http://127.0.0.1:9", str(why)
    hooks = (sink + "/chat", sink + "/chat-errors")
    ops = []
    base_logger, module_logger = RecordingLogger(), RecordingLogger()
    base_messenger = base.GoogleChatSyncMessenger("bench-service", hooks[0], hooks[1], "production", None, base_logger)
    module_messenger = []

    def messenger():
        if not module_messenger:
            cls = ctx.attr("service_toolkit", "GoogleChatSyncMessenger")
            module_messenger.append(
                (
                    ctx.module("service_toolkit"),
                    cls("bench-service", hooks[0], hooks[1], "production", None, module_logger),
                )
            )
        return module_messenger[0]

    # The card build: requests replaced in each module by a stub whose post answers at once.
    stub = types.SimpleNamespace(post=instant_post)
    op = Op(
        "GoogleChatSyncMessenger.send_message, card build",
        OWN_LIB,
        "json.dumps of the card; the nested dicts and the three formatted strings",
    )
    op.baseline = with_attribute(base, "requests", stub, timed("m.send_message(t, 1)", m=base_messenger, t=text))
    op.library = timed("dumps(c)", dumps=json.dumps, c=card("bench-service", "production", "#008000", text))

    def module_card():
        module, instance = messenger()
        return with_attribute(module, "requests", stub, timed("m.send_message(t, 1)", m=instance, t=text))

    def check_card():
        module, instance = messenger()
        posts = {}
        for label, mod, obj in (("module", module, instance), ("baseline", base, base_messenger)):
            calls = []
            recorder = types.SimpleNamespace(post=lambda calls=calls, **kw: calls.append(kw) or INSTANT_RESPONSE)
            old = mod.requests
            mod.requests = recorder
            try:
                for message_type in (1, 0, 7):
                    obj.send_message(text + " <b>\u00e9</b>", message_type)
            finally:
                mod.requests = old
            posts[label] = calls
        problem = logged_errors(module_logger, base_logger)
        del module_logger.errors[:], base_logger.errors[:]
        if posts["module"] != posts["baseline"]:
            return "send_message: module and baseline post different requests"
        return problem

    module_side(op, module_card)
    op.check = check_card
    ops.append(op)

    op = Op(
        "GoogleChatSyncMessenger.send_message, post to local sink",
        LIB,
        "requests.post: a new connection and HTTP exchange per message",
        kind=IO,
    )
    if sink_error:
        op.missing = "skipped: %s" % sink_error
        ops.append(op)
        return ops
    import requests

    op.baseline = timed("m.send_message(t, 1)", m=base_messenger, t=text)
    op.library = timed(
        "post(url=u, headers=h, data=dumps(c), timeout=10)",
        post=requests.post,
        u=hooks[0],
        h=HEADERS,
        dumps=json.dumps,
        c=card("bench-service", "production", "#008000", text),
    )
    module_side(op, lambda: timed("m.send_message(t, 1)", m=messenger()[1], t=text))
    op.check = lambda: logged_errors(module_logger, base_logger)
    ops.append(op)
    ops.append(async_post_op(ctx, base, sink, text))
    return ops


def on_loop(loop: asyncio.AbstractEventLoop, batch) -> Runner:
    """A runner that runs the coroutine batch(n) on `loop` (garbage collection off, as timeit does)."""

    def run(n):
        gc.disable()
        try:
            t0 = time.perf_counter_ns()
            loop.run_until_complete(batch(n))
            return time.perf_counter_ns() - t0
        finally:
            gc.enable()

    return run


def async_post_op(ctx: Context, base, sink: str, text: str) -> Op:
    """GoogleChatAsyncMessenger.send_message from a worker thread without a loop; the home loop posts each alert.

    The messenger's home is the harness's loop (its consumer runs there); a
    batch is n send_message calls on the worker thread, then the wait until
    the queue is done (every alert posted), bounded at 5 s + 10 ms an alert.
    The library side posts the same card n times with aiohttp on the loop.
    """
    import aiohttp

    op = Op(
        "GoogleChatAsyncMessenger.send_message from a worker thread, post to local sink",
        LIB,
        "aiohttp: a new session, connection and HTTP exchange per alert, after the hand-over to the home loop "
        "(module: the inbox, one call_soon_threadsafe per batch; baseline: run_coroutine_threadsafe per alert)",
        kind=IO,
    )
    loop, pool = ctx.loop(), ctx.worker_thread()
    hooks = (sink + "/chat", sink + "/chat-errors")
    base_logger, module_logger = RecordingLogger(), RecordingLogger()

    def from_worker(messenger) -> Runner:
        async def home():
            messenger.send_message(text, 1)  # a call on the loop: the consumer starts there, its home
            await messenger.log_queue.join()

        loop.run_until_complete(home())

        def calls(n):
            for _ in range(n):
                messenger.send_message(text, 1)

        async def batch(n):
            limit = 5 + n / 100
            try:
                async with asyncio.timeout(limit):
                    await loop.run_in_executor(pool, calls, n)
                    await messenger.log_queue.join()
            except TimeoutError:
                raise TimeoutError("%d alerts still queued after %g s" % (messenger.log_queue.qsize(), limit)) from None

        return on_loop(loop, batch)

    async def direct(n):
        data = json.dumps(card("bench-service", "PRODUCTION", "#008000", text))
        for _ in range(n):
            async with aiohttp.ClientSession() as session:
                async with session.post(url=hooks[0], headers=HEADERS, data=data) as response:
                    response.raise_for_status()

    # Unbounded queues: the row measures the hand-over and the posts, not back-pressure.
    op.baseline = from_worker(
        base.GoogleChatAsyncMessenger("bench-service", hooks[0], hooks[1], "PRODUCTION", None, base_logger, 0)
    )
    op.library = on_loop(loop, direct)
    module_side(
        op,
        lambda: from_worker(
            ctx.attr("service_toolkit", "GoogleChatAsyncMessenger")(
                "bench-service", hooks[0], hooks[1], "PRODUCTION", None, module_logger, 0
            )
        ),
    )

    def posted() -> int:
        with urllib.request.urlopen(sink + "/count", timeout=5) as answer:
            return int(answer.read())

    def check():
        # Every alert sent from the worker thread reaches the sink, once.
        for label, run in (("module", op.module), ("baseline", op.baseline)):
            before = posted()
            run(20)
            if posted() - before != 20:
                return "%s: the sink received %d posts for 20 alerts" % (label, posted() - before)
        return logged_errors(module_logger, base_logger)

    op.check = check
    op.note = lambda op: "; ".join(
        "%s %s alerts/s" % (label, thousands(1e9 / op.times[label]))
        for label in ("module", "baseline")
        if label in op.times
    )
    return op
