"""Faults with real servers: a cluster master killed and replaced by its
replica, a standalone server restarted, and a webhook that fails, drops
connections or answers slowly, all while operations keep coming; and nodes
that keep their port open but stop answering (a paused process, a listener
that never accepts), where every Redis call must end within its bound."""

import asyncio
import logging
import threading
import time
import types
from dataclasses import dataclass

import aiohttp
import pytest
import redis
from redis.cluster import RedisCluster as PlainCluster
from redis.exceptions import RedisClusterException

from support.logs import ListHandler
from support.redis_servers import HOST, RecordingLogger, RedisCluster, RedisServer, silent_listener, unique
from support.reliability import FULL_LOAD, CountingLogger, QuickSink, ReplicatedCluster, load_size, query, wait
from veltrano_python_configuration import cache_access
from veltrano_python_configuration.cache_access import DevelopmentRedisClient, ProductionRedisClient, initialize_redis
from veltrano_python_configuration.service_toolkit import GoogleChatAsyncMessenger, SingletonMeta

FALLBACK = {"set": False, "get": None, "delete": False, "increment": None}
PREFIX = {
    "set": "Error setting key ",
    "get": "Error getting key ",
    "delete": "Error deleting key ",
    "increment": "Error incrementing category counts for operation ",
}


@dataclass
class Outcome:
    kind: str
    key: str
    started: float
    result: object
    logged: int  # error lines the operation logged

    @property
    def failed(self):
        return self.logged > 0


def run_op(client, logger, kind, key, value="v"):
    """One operation of the client; what it returned and how many lines it logged."""
    before = dict(logger.errors)
    started = time.monotonic()
    if kind == "set":
        result = client.set(key, value)
    elif kind == "get":
        result = client.get(key)
    elif kind == "delete":
        result = client.delete(key)
    else:
        result = client.increment_category_counts(key, [{"id": 1, "subCategories": [{"id": 2}]}])
    grown = {prefix: n - before.get(prefix, 0) for prefix, n in logger.errors.items() if n != before.get(prefix, 0)}
    assert set(grown) <= {PREFIX[kind]}, f"{kind} logged {grown}"
    return Outcome(kind, key, started, result, sum(grown.values()))


def check_outcome(o):
    """A failed operation logged one line and returned its fallback; a
    successful one logged nothing and returned what the client gave."""
    if o.failed:
        assert (o.logged, o.result) == (1, FALLBACK[o.kind]), o
    elif o.kind == "set":
        assert o.result is True, o
    elif o.kind == "delete":
        assert o.result in (0, 1), o
    elif o.kind == "get":
        assert o.result is None or isinstance(o.result, str), o
    else:
        assert o.result is None, o


# --- a cluster master killed, its replica takes over -------------------------------------


@pytest.fixture
def replicated_cluster():
    cluster = ReplicatedCluster(node_timeout_ms=1000)
    try:
        yield cluster.start()
    finally:
        cluster.cleanup()


def test_cluster_master_killed_during_a_stream_of_operations(replicated_cluster):
    cluster = replicated_cluster
    logger = CountingLogger(keep=100)
    client = ProductionRedisClient(cluster.address, logger)
    keys = [f"failover-{i}" for i in range(9)]
    victim = cluster.master_of(keys[0])
    replica = cluster.replica_of(victim)
    for key in keys:
        assert client.set(key, "before") is True

    # The replica is held back at first, so that the outage outlasts the
    # retries the redis library makes by itself before it gives up.
    cluster.pause(replica)
    victim.stop(kill=True)
    during, deadline = [], time.monotonic() + 30
    while sum(o.failed for o in during) < 2:
        assert time.monotonic() < deadline, "no operation failed while the master was down"
        during.append(run_op(client, logger, ("set", "get")[len(during) % 2], keys[0], "during"))
    for o in during:
        check_outcome(o)

    cluster.resume(replica)
    wait(lambda: cluster.role(replica) == "master", 20, "the replica to take over")
    survivors = [n for n in cluster.nodes if n is not victim]
    cluster.wait_ok(survivors, 20)

    after = []
    for round_ in range(3):
        for i, key in enumerate(keys):
            kind = ("set", "get", "increment", "delete")[(i + round_) % 4]
            after.append(run_op(client, logger, kind, key, f"after-{round_}"))
    assert [o for o in after if o.failed] == []
    for o in after:
        check_outcome(o)
    assert client.set(keys[0], "last") is True and client.get(keys[0]) == "last"
    assert logger.error_count == sum(o.logged for o in during)
    print(
        f"master down: {len(during)} operations, {sum(o.failed for o in during)} logged with their fallback; "
        f"after the takeover {len(after) + 2} operations, all successful"
    )


# --- a standalone server restarted ----------------------------------------------------------


@pytest.mark.parametrize("kill", [False, True], ids=["stopped", "killed"])
def test_standalone_server_restarted_during_a_stream_of_operations(own_redis_server, kill):
    server, logger = own_redis_server, CountingLogger(keep=100)
    client = DevelopmentRedisClient(server.url, logger)
    outcomes, raised, stop = [], [], threading.Event()
    kinds = ("set", "get", "increment", "delete")

    def stream():
        i = 0
        try:
            while not stop.is_set():
                key = f"restart-{i % 8}" if kinds[i % 4] != "increment" else "restart-op"
                outcomes.append(run_op(client, logger, kinds[i % 4], key))
                i += 1
        except BaseException as e:  # reported by the main thread
            raised.append(e)

    worker = threading.Thread(target=stream)
    worker.start()
    try:
        time.sleep(0.1)
        server.stop(kill=kill)
        down_at = time.monotonic()
        time.sleep(0.2)
        server.start()
        up_at = time.monotonic()
        wait(lambda: sum(o.started > up_at for o in outcomes) >= 400, 20, "operations after the restart")
    finally:
        stop.set()
        worker.join(10)
    assert raised == []
    for o in outcomes:
        check_outcome(o)
    assert any(o.failed for o in outcomes if down_at < o.started < up_at), "the outage was not seen"
    assert [o for o in outcomes if o.started > up_at and o.failed] == []
    assert logger.error_count == sum(o.logged for o in outcomes)
    # The new server lost everything; it holds exactly the increments made since.
    counted = sum(o.kind == "increment" and not o.failed and o.started > down_at for o in outcomes)
    with server.client(decode_responses=True) as plain:
        assert int(plain.hget("Mod:RetagOperations:restart-op:category_counts", "1") or 0) == counted
    print(
        f"{len(outcomes)} operations, {sum(o.failed for o in outcomes)} logged with their fallback during "
        f"the outage, {sum(o.started > up_at for o in outcomes)} after the restart, all successful"
    )


# --- nodes that stop answering ------------------------------------------------------------------
#
# Every call must end within twice the connection timeout plus a second. The
# suite shortens the timeout the module asks redis-py for, `make test-load`
# keeps the module's own.

DEFAULT_TIMEOUT = 5.0  # the module's
TIMEOUT = DEFAULT_TIMEOUT if FULL_LOAD else 0.5
LINE = {
    "get": "Error getting key '{}': ",
    "set": "Error setting key '{}': ",
    "delete": "Error deleting key '{}': ",
    "counts": "Error incrementing category counts for operation '{}': ",
}


@pytest.fixture
def short_timeouts(monkeypatch):
    """The module's connections made with TIMEOUT, all else as the module asks."""
    if FULL_LOAD:
        return

    def shorter(kwargs):
        assert kwargs["socket_timeout"] == kwargs["socket_connect_timeout"] == DEFAULT_TIMEOUT, kwargs
        return {**kwargs, "socket_timeout": TIMEOUT, "socket_connect_timeout": TIMEOUT}

    library = types.SimpleNamespace(
        Redis=types.SimpleNamespace(from_url=lambda *args, **kwargs: redis.Redis.from_url(*args, **shorter(kwargs)))
    )
    monkeypatch.setattr(cache_access, "redis", library)
    monkeypatch.setattr(cache_access, "RedisClusterClient", lambda **kwargs: PlainCluster(**shorter(kwargs)))


def call(client, kind, key, size=16):
    """One operation; (seconds taken, result)."""
    started = time.monotonic()
    if kind == "counts":
        result = client.increment_category_counts(key, [{"id": i} for i in range(size)])
    else:
        result = getattr(client, kind)(key, *(["v"] if kind == "set" else []))
    return time.monotonic() - started, result


def check_failed(client, kind, key, seconds, result):
    """Within the bound, the fallback returned, one line logged for it (the
    logger's lines are taken)."""
    fallback = {"get": None, "set": False, "delete": False, "counts": None}[kind]
    lines, errors = client.logger.errors, client.logger.handled
    assert seconds <= 2 * TIMEOUT + 1, (kind, key, seconds)
    assert len(lines) == 1, f"{kind} of {key} logged {lines} and returned {result!r}"
    assert result is fallback and lines[0] == LINE[kind].format(key) + str(errors[0]), (kind, result, lines)
    lines.clear(), errors.clear()


def named_on(plain, port, counts=False):
    """A fresh key (an operation id whose counts hash, with counts=True) that
    the cluster connection `plain` places on the node at `port`."""
    for _ in range(10_000):
        name = unique("op" if counts else "k")
        if plain.get_node_from_key(f"Mod:RetagOperations:{name}:category_counts" if counts else name).port == port:
            return name
    raise AssertionError(f"no key found for port {port}")


@pytest.mark.parametrize("transport", ["tcp", "unix"])
def test_paused_standalone_server(transport, short_timeouts):
    server = RedisServer(unix_socket=transport == "unix").start()
    try:
        client = DevelopmentRedisClient(f"unix://{server.socket}" if server.socket else server.url, RecordingLogger())
        key = unique()
        assert client.set(key, "before") is True
        with server.paused():
            for kind in ("get", "set", "delete", "counts"):
                check_failed(client, kind, key, *call(client, kind, key))
        assert client.get(key) == "before"
    finally:
        server.cleanup()


def test_listener_that_never_accepts(short_timeouts):
    with silent_listener() as port:
        client = DevelopmentRedisClient(f"{HOST}:{port}", RecordingLogger())
        for kind in ("get", "counts"):
            check_failed(client, kind, "k", *call(client, kind, "k"))


def test_construction_against_a_paused_node(own_redis_server, short_timeouts):
    address, logger = own_redis_server.address, RecordingLogger()
    with own_redis_server.paused():
        for build in (
            lambda: ProductionRedisClient(address, logger),
            lambda: initialize_redis(address, "production", logger),
        ):
            started = time.monotonic()
            with pytest.raises(RedisClusterException) as info:
                build()
            assert time.monotonic() - started <= 2 * TIMEOUT + 1
    # The client logs its failure; initialize_redis only its two first lines.
    assert logger.errors == [f"Error connecting to Production Redis at '{address}': {logger.handled[0]}"]
    assert logger.handled[0] is not info.value and type(logger.handled[0]) is type(info.value)
    assert logger.infos == [f"Url received for redis prod is {address}", f"After splitting {HOST}"]


@pytest.fixture
def partial_cluster():
    """Three masters without replicas that keep serving the slots of the live
    ones while one is down (cluster-require-full-coverage no)."""
    cluster = RedisCluster(options=["--cluster-require-full-coverage", "no"])
    try:
        yield cluster.start()
    finally:
        cluster.cleanup()


@pytest.mark.timeout(150)  # six calls of up to 11 s each at full size
def test_paused_cluster_master_without_replica(partial_cluster, short_timeouts):
    client = ProductionRedisClient(partial_cluster.address, RecordingLogger())
    paused, live = partial_cluster.nodes[1], partial_cluster.nodes[2]
    key, elsewhere = named_on(client.client, paused.port), named_on(client.client, live.port)
    assert client.set(key, "v") is True
    with paused.paused():
        for kind in ("get", "set", "delete"):
            check_failed(client, kind, key, *call(client, kind, key))
        for size in (1, 4, 16):
            op = named_on(client.client, paused.port, counts=True)
            check_failed(client, "counts", op, *call(client, "counts", op, size))
        # The masters that answer serve their keys as before.
        assert client.set(elsewhere, "w") is True and client.get(elsewhere) == "w"
        assert client.logger.errors == []
    assert client.get(key) == "v"


def test_paused_cluster_master_replaced_by_its_replica(replicated_cluster, short_timeouts):
    cluster = replicated_cluster
    reader, counter = (ProductionRedisClient(cluster.address, RecordingLogger()) for _ in range(2))
    paused = cluster.master_of(unique())
    replica = cluster.replica_of(paused)
    key, op = named_on(reader.client, paused.port), named_on(counter.client, paused.port, counts=True)
    counts_key = f"Mod:RetagOperations:{op}:category_counts"
    assert reader.set(key, "v") is True
    counter.increment_category_counts(op, [])  # warm: the batch's node connection is open
    assert query(paused, "WAIT", 1, 5000, timeout=6) == 1  # the replica holds what the master holds
    with paused.paused():
        wait(lambda: cluster.role(replica) == "master", 20, "the replica to take over")
        promoted = time.monotonic()
        # A warm client's first call after the promotion reaches the new master.
        assert reader.get(key) == "v" and time.monotonic() - promoted <= 2 * TIMEOUT + 1
        # A batch sent to the paused master fails and is never sent again
        # (to the new master, say); the next batch goes to the new master.
        check_failed(counter, "counts", op, *call(counter, "counts", op))
        assert query(replica, "HGETALL", counts_key) == {}
        counter.increment_category_counts(op, [{"id": 7}])
        assert query(replica, "HGETALL", counts_key) == {"7": "1"}
    assert reader.logger.errors == counter.logger.errors == []


# --- a webhook that fails, drops connections or is slow ---------------------------------------


@pytest.fixture
def quick_sink():
    sink = QuickSink(slow_delay=0.02)
    yield sink
    sink.close()


@pytest.fixture
def messenger_logger():
    logger = logging.getLogger("reliability-webhook")
    logger.propagate, handler = False, ListHandler()
    logger.addHandler(handler)
    SingletonMeta._instances.pop(GoogleChatAsyncMessenger, None)
    yield logger, handler
    SingletonMeta._instances.pop(GoogleChatAsyncMessenger, None)
    logger.removeHandler(handler)


def test_async_messenger_keeps_going_through_webhook_failures(quick_sink, messenger_logger):
    logger, handler = messenger_logger
    count = load_size(200, 2000)
    markers = ["", " [500]", " [close]", " [slow]"]
    texts = [f"alert {i}{markers[i % 4]}" for i in range(count)]
    messenger = GoogleChatAsyncMessenger("svc", quick_sink.url(), "", "PRODUCTION", logger=logger)

    async def main():
        for i, text in enumerate(texts):
            messenger.send_message(text, 1)
            if i % 10 == 9:
                await asyncio.sleep(0)
        while quick_sink.handled < count or messenger.log_queue.qsize():
            await asyncio.sleep(0.01)
        await asyncio.wait_for(messenger.log_queue.join(), 10)
        messenger.queue_task.cancel()

    asyncio.run(asyncio.wait_for(main(), 50))
    received = quick_sink.requests
    assert [r.body.decode().split("'>", 1)[1].split("</font>")[0] for r in received] == texts
    assert quick_sink.max_in_flight == 1
    # Every message is accounted for: posted, or logged as a failure of its own.
    failed = [r.outcome for r in received if r.outcome != "200"]
    assert len(failed) == count // 2 and quick_sink.outcomes["200"] + len(handler.records) == count
    assert len(handler.records) == len(failed)
    for outcome, record in zip(failed, handler.records):
        assert record.getMessage() == "Error in webhookApi" and record.levelno == logging.ERROR
        expected = aiohttp.ClientResponseError if outcome == "500" else aiohttp.ClientConnectionError
        assert isinstance(record.exc_info[1], expected), (outcome, record.exc_info)
    print(f"{count} messages: {quick_sink.outcomes['200']} posted, {len(failed)} failed and logged")
