"""Redis clients of cache_access: base operations, connections and the factory, on real servers."""

import contextlib
import gc
import io
import logging
import sys
import tracemalloc

import pytest
import redis
from redis.backoff import NoBackoff
from redis.cluster import ClusterNode
from redis.exceptions import ConnectionError as RedisConnectionError
from redis.exceptions import RedisClusterException, ResponseError

from support.logs import exception_chain
from support.redis_servers import HOST, RecordingLogger, RedisServer, closed_port, unique
from veltrano_python_configuration import cache_access
from veltrano_python_configuration.cache_access import (
    BaseRedisClient,
    DevelopmentRedisClient,
    IRedisClient,
    ProductionRedisClient,
    RedisClientFactory,
    initialize_redis,
)


class Recorder:
    """Stands in for a library object: records every method call, returns `results[name]`."""

    def __init__(self, calls=None, **results):
        self.calls = [] if calls is None else calls
        self.results = results

    def __getattr__(self, name):
        return lambda *args, **kwargs: self.calls.append((name, args, kwargs)) or self.results.get(name)


class OnClient(BaseRedisClient):
    """A client whose connect() returns the given connection object."""

    def __init__(self, client, logger):
        self._given = client
        super().__init__("given", logger)

    def connect(self):
        return self._given


@pytest.fixture
def fake_library(monkeypatch):
    """The module's `redis` and `RedisClusterClient` replaced by recorders of their calls."""
    calls = []

    def cluster(*args, **kwargs):
        calls.append(("cluster", args, kwargs))
        return Recorder(calls, get_nodes=["node"])

    def from_url(*args, **kwargs):
        calls.append(("from_url", args, kwargs))
        return "single"

    monkeypatch.setattr(cache_access, "RedisClusterClient", cluster)
    monkeypatch.setattr(cache_access, "redis", type("R", (), {"Redis": type("C", (), {"from_url": from_url})}))
    return calls


def test_module_attributes_and_interface():
    assert [n for n in vars(cache_access) if not n.startswith("__")] == [
        "Union",
        "redis",
        "RedisClusterClient",
        "initialize_redis",
        "IRedisClient",
        "BaseRedisClient",
        "ProductionRedisClient",
        "DevelopmentRedisClient",
        "RedisClientFactory",
    ]
    assert isinstance(vars(RedisClientFactory)["create"], staticmethod)
    interface = IRedisClient()
    for call in (
        lambda: interface.get("k"),
        lambda: interface.set("k", "v"),
        lambda: interface.delete("k"),
        lambda: interface.increment_category_counts("op", []),
        lambda: BaseRedisClient("u", None),
    ):
        with pytest.raises(NotImplementedError):
            call()
    with pytest.raises(TypeError):
        interface.get(5)


def test_round_trip_with_default_and_given_expiry(live):
    c, key = live.client, unique()
    assert c.set(key, "v1") is True and c.get(key) == "v1"
    assert 604790 < live.reader.ttl(key) <= 604800
    assert c.set(key, "v2", 0) is True and 604790 < live.reader.ttl(key) <= 604800
    assert c.set(key, "v3", ex=60) is True
    assert live.reader.get(key) == "v3" and 50 < live.reader.ttl(key) <= 60
    assert c.delete(key) == 1 and c.get(key) is None and c.delete(key) == 0
    assert live.logger.errors == []


def test_default_ttl_can_be_overridden(redis_server):
    class Short(DevelopmentRedisClient):
        DEFAULT_TTL = 120

    reader = redis.Redis.from_url(redis_server.url)
    client, key = Short(redis_server.url, RecordingLogger()), unique()
    client.set(key, "v")
    assert 110 < reader.ttl(key) <= 120
    client.DEFAULT_TTL = 30
    client.set(key, "v")
    assert 20 < reader.ttl(key) <= 30


def test_refused_write_and_bytes_reply_are_logged_failures(redis_server):
    logger = RecordingLogger()
    assert DevelopmentRedisClient(redis_server.url, logger).set("neg", "v", -5) is False
    assert isinstance(logger.handled[0], ResponseError)
    assert logger.errors == [f"Error setting key 'neg': {logger.handled[0]}"]

    logger, key = RecordingLogger(), unique()
    client = DevelopmentRedisClient(redis_server.url, logger, decode_responses=False)
    assert client.get(key) is None and logger.errors == []
    client.set(key, "v")
    assert client.get(key) is None
    assert logger.errors == [f"Error getting key '{key}': Expected str, got bytes"]
    assert isinstance(logger.handled[0], TypeError)


@pytest.mark.parametrize(
    "method, args, message",
    [
        ("set", ("k", 5), "Argument 'value' has incorrect type (expected str, got int)"),
        ("set", ("k", None), "Argument 'value' has incorrect type (expected str, got NoneType)"),
        ("set", ("k", b"v"), "Argument 'value' has incorrect type (expected str, got bytes)"),
        ("set", ("k", "v", True), "Argument 'ex' has incorrect type (expected int, got bool)"),
        ("get", (5,), "Argument 'key' has incorrect type (expected str, got int)"),
        ("delete", (None,), "Argument 'key' has incorrect type (expected str, got NoneType)"),
        (
            "increment_category_counts",
            (None, []),
            "Argument 'operation_id' has incorrect type (expected str, got NoneType)",
        ),
        (
            "increment_category_counts",
            ("op", ()),
            "Argument 'batch_data' has incorrect type (expected list, got tuple)",
        ),
    ],
)
def test_argument_types_are_checked_before_anything(method, args, message):
    recorder, logger = Recorder(), RecordingLogger()
    with pytest.raises(TypeError) as info:
        getattr(OnClient(recorder, logger), method)(*args)
    assert str(info.value) == message
    assert recorder.calls == [] and logger.errors == []


def test_exact_calls_on_the_client():
    recorder = Recorder(set=True, delete=0, get=None)
    client = OnClient(recorder, RecordingLogger())
    client.set("k", "v")
    client.set(key="k", value="v", ex=-5)
    client.get("k")
    client.delete("k")
    assert recorder.calls == [
        ("set", ("k", "v"), {"ex": 604800}),
        ("set", ("k", "v"), {"ex": -5}),
        ("get", ("k",), {}),
        ("delete", ("k",), {}),
    ]


def test_stopped_and_restarted_server(own_redis_server):
    logger, key = RecordingLogger(), unique()
    client = DevelopmentRedisClient(own_redis_server.url, logger)
    assert client.set(key, "before") is True
    own_redis_server.stop()
    assert client.get(key) is None and client.set(key, "v") is False and client.delete(key) is False
    assert client.increment_category_counts("op", [{"id": 1}]) is None
    prefixes = [
        f"Error getting key '{key}': ",
        f"Error setting key '{key}': ",
        f"Error deleting key '{key}': ",
        "Error incrementing category counts for operation 'op': ",
    ]
    assert len(logger.errors) == 4
    for line, prefix, exc in zip(logger.errors, prefixes, logger.handled):
        assert isinstance(exc, RedisConnectionError) and line == prefix + str(exc)
    own_redis_server.start()
    assert client.set(key, "after") is True and client.get(key) == "after" and len(logger.errors) == 4


def test_a_logger_with_exc_info_prints_the_caught_failure():
    class ExcInfoLogger(logging.Logger):
        def error(self, msg, *args, exc_info=True, **kwargs):
            super().error(msg, *args, exc_info=exc_info, **kwargs)

    logger, out = ExcInfoLogger("cache-access-test"), io.StringIO()
    logger.addHandler(logging.StreamHandler(out))
    assert DevelopmentRedisClient(f"{HOST}:{closed_port()}", logger).get("k") is None
    text = out.getvalue()
    assert text.startswith("Error getting key 'k': ")
    assert "Traceback (most recent call last)" in text and "redis.exceptions.ConnectionError" in text
    assert "NoneType: None" not in text


def test_a_logger_of_none_turns_a_failure_into_attribute_error():
    with pytest.raises(AttributeError) as info:
        DevelopmentRedisClient(f"{HOST}:{closed_port()}", None).delete("k")
    assert isinstance(info.value.__context__, RedisConnectionError)


# --- connections ------------------------------------------------------------


@pytest.mark.parametrize(
    "url, expected",
    [
        ("cache-1:700", ("cache-1", 700)),
        ("cache-1", ("cache-1", 6379)),
        ("cache-1:", ("cache-1", 6379)),
        ("cache-1:port", ("cache-1", 6379)),
        ("cache-1:700:x", ("cache-1", 700)),
        ("", ("", 6379)),
        ("redis://cache-1:700", ("redis", 6379)),
        ("h:0070", ("h", 70)),
        ("h:-1", ("h", 6379)),
        ("h: 1", ("h", 6379)),
        ("h:\u0667\u0660", ("h", 70)),
        ("h:" + "9" * 30, ("h", int("9" * 30))),
    ],
)
def test_parse_url(url, expected):
    assert ProductionRedisClient._parse_url(None, url) == expected


TIMEOUTS = {"socket_timeout": 5.0, "socket_connect_timeout": 5.0}


@pytest.mark.parametrize(
    "build",
    [
        lambda: ProductionRedisClient("cache-1:7000", RecordingLogger(), False).client,
        lambda: initialize_redis("cache-1:7000", "production", RecordingLogger(), False),
    ],
)
def test_cluster_connections_are_bounded(fake_library, build):
    build()
    [(name, args, kwargs)] = fake_library[:1]
    # One retry of a command whose node failed: in `retry` since redis-py 6, before in
    # cluster_error_retry_attempts (redis-py 5 gives `retry` to the node connections).
    if redis.VERSION[0] >= 6:
        retry = kwargs.pop("retry")
        assert type(retry._backoff) is NoBackoff and retry.get_retries() == 1
    else:
        assert kwargs.pop("cluster_error_retry_attempts") == 1
    assert (name, args, kwargs) == (
        "cluster",
        (),
        {"host": "cache-1", "port": 7000, "decode_responses": False, **TIMEOUTS},
    )


@pytest.mark.parametrize(
    "url, sent",
    [
        ("localhost:6379", "redis://localhost:6379"),
        ("redis://localhost:6379/0", "redis://localhost:6379/0"),
        ("REDIS://h", "REDIS://h"),
        ("rediss://h:6380/0", "rediss://h:6380/0"),
        ("Unix:///run/r.sock", "Unix:///run/r.sock"),
        ("redis:/h", "redis://redis:/h"),
        ("http://h", "redis://http://h"),
        ("unix:/r.sock", "redis://unix:/r.sock"),
    ],
)
def test_single_server_url_schemes(fake_library, url, sent):
    client = DevelopmentRedisClient(url, RecordingLogger())
    assert client.client == "single" and client.url == url
    assert initialize_redis(url, "dev", None, False) == "single"
    assert fake_library == [
        ("from_url", (sent,), {"decode_responses": True, **TIMEOUTS}),
        ("from_url", (), {"url": sent, "decode_responses": False, **TIMEOUTS}),
    ]


def test_unix_socket_url(tmp_path):
    server = RedisServer(unix_socket=True).start()
    try:
        url = f"unix://{server.socket}?db=2"
        client, plain = DevelopmentRedisClient(url, RecordingLogger()), initialize_redis(url, "development")
        key = unique()
        assert client.set(key, "v") is True and plain.get(key) == "v"
        assert plain.connection_pool.connection_kwargs["path"] == server.socket
    finally:
        server.cleanup()


def test_unreachable_cluster_node_is_logged_and_raised():
    logger, address = RecordingLogger(), f"{HOST}:{closed_port()}"
    with pytest.raises(RedisClusterException) as info:
        ProductionRedisClient(address, logger)
    assert logger.handled == [info.value]
    assert logger.errors == [f"Error connecting to Production Redis at '{address}': {info.value}"]
    logger = RecordingLogger()
    with pytest.raises(RedisClusterException):
        initialize_redis(address, "production", logger)
    assert logger.errors == []
    assert logger.infos == [f"Url received for redis prod is {address}", "After splitting 127.0.0.1"]


@pytest.mark.parametrize(
    "url, shown, secret",
    [
        # the library's own error text holds the password here
        ("redis://user:s3cret@h\uff03st:6379/0", "redis://user:***@h\uff03st:6379/0", "s3cret"),
        ("user:s3cret@host:bad/0", "user:***@host:bad/0", "s3cret"),
        ("redis://:s3cret@host:bad", "redis://:***@host:bad", "s3cret"),
        ("redis://host:bad/0?db=1&password=s3cret", "redis://host:bad/0?db=1&password=***", "s3cret"),
        # an unencoded "/" in the password: the library reads "u:pass" as host and port
        ("u:pass/s3cret@host:x", "u:***@host:x", "pass/s3cret"),
        # an "@" past the authority with a ":" before it: all of that may be user information
        ("redis://h:bad/0?password=s3cret&:x/y@z", "redis://h:***@z", "s3cret"),
        ("localhost:bad", "localhost:bad", None),
    ],
)
def test_development_connect_failure_hides_the_password(url, shown, secret):
    logger = RecordingLogger()
    with pytest.raises(ValueError) as info:
        DevelopmentRedisClient(url, logger)
    [line] = logger.errors
    assert line.startswith(f"Error connecting to Development Redis at '{shown}': ")
    if secret is None:
        assert logger.handled == [info.value] and line.endswith(f"': {info.value}")
        return
    for piece in {secret, secret.split("/")[0]}:
        assert piece not in line and all(piece not in str(e) for e in exception_chain(logger.handled[0]))
    assert type(logger.handled[0]) is ValueError and logger.handled[0].__traceback__ is not None


def test_development_connect_failure_hides_the_secrets_in_the_whole_chain(monkeypatch):
    url = "redis://user:s3cret@h:1/0?token=T0KEN"

    def from_url(target, **kwargs):
        try:
            raise ValueError(f"cannot parse {target}")
        except ValueError as e:
            raise RuntimeError("no connection") from e

    monkeypatch.setattr(cache_access, "redis", type("R", (), {"Redis": type("C", (), {"from_url": from_url})}))
    logger = RecordingLogger()
    with pytest.raises(RuntimeError) as info:
        DevelopmentRedisClient(url, logger)
    [shown] = logger.handled
    assert logger.errors == [
        "Error connecting to Development Redis at 'redis://user:***@h:1/0?token=***': no connection"
    ]
    assert type(shown) is RuntimeError and type(shown.__cause__) is ValueError and shown is not info.value
    assert str(shown.__cause__) == "cannot parse redis://user:***@h:1/0?token=***"
    assert str(info.value.__cause__) == f"cannot parse {url}"  # the caller's chain is untouched


def unreachable_node(host, port, **kwargs):
    """Fails as the library does for a node it cannot reach, quoting the host it was handed."""
    try:
        raise RedisConnectionError(f"Error connecting to {host}:{port}.")
    except RedisConnectionError as e:
        raise RedisClusterException(f"no reachable node: {e}") from e


@pytest.mark.parametrize(
    "call, url, logged",
    [
        # A development URL given to the production client: it hands the library host "user" or "redis".
        (
            "client",
            "user:s3cret@cache:6379",
            [
                "Error connecting to Production Redis at 'user:***@cache:6379': no reachable node: "
                "Error connecting to user:6379."
            ],
        ),
        (
            "client",
            "redis://:s3cret@cache:6379/0",
            [
                "Error connecting to Production Redis at 'redis://:***@cache:6379/0': no reachable node: "
                "Error connecting to redis:6379."
            ],
        ),
        # A secret before the first ":" is in the host, so in the library's error too.
        (
            "client",
            "cache?password=s3cret&db=0:7000",
            [
                "Error connecting to Production Redis at 'cache?password=***&db=0:7000': no reachable node: "
                "Error connecting to cache?password=***&db=0:7000."
            ],
        ),
        # initialize_redis needs exactly two ":"-parts: user information with a port makes three or more,
        # a ValueError right after the first line ...
        ("initialize", "user:s3cret@cache:6379", ["Url received for redis prod is user:***@cache:6379"]),
        ("initialize", "redis://:s3cret@cache:6379", ["Url received for redis prod is redis://:***@cache:6379"]),
        # ... without a port it makes two, and the host part before the ":" holds no password;
        ("initialize", ":s3cret@cache", ["Url received for redis prod is :***@cache", "After splitting "]),
        # a secret before the ":" reaches the host line.
        (
            "initialize",
            "cache?password=s3cret&db=0:7000",
            ["Url received for redis prod is cache?password=***&db=0:7000", "After splitting cache?password=***&db=0"],
        ),
    ],
)
def test_production_lines_hide_the_password(monkeypatch, fake_library, call, url, logged):
    logger = RecordingLogger()
    if call == "client":
        monkeypatch.setattr(cache_access, "RedisClusterClient", unreachable_node)
        with pytest.raises(RedisClusterException) as info:
            ProductionRedisClient(url, logger)
        assert logger.errors == logged and logger.infos == []
        assert all("s3cret" not in str(e) for e in exception_chain(logger.handled[0]))
        host, port = ProductionRedisClient._parse_url(None, url)
        assert str(info.value) == f"no reachable node: Error connecting to {host}:{port}."  # the caller's original
        return
    with pytest.raises(ValueError) if len(logged) == 1 else contextlib.nullcontext():
        initialize_redis(url, "production", logger)
    assert logger.infos[:2] == logged and logger.errors == []


# --- factory and initialize_redis -------------------------------------------


@pytest.mark.parametrize(
    "environ, client_type, cls",
    [
        ("PRODUCTION", 2, ProductionRedisClient),
        ("Production", 0, ProductionRedisClient),
        ("prod", 3, DevelopmentRedisClient),
        ("", -1, DevelopmentRedisClient),
        ("staging", 2, DevelopmentRedisClient),
    ],
)
def test_create_chooses_the_client_by_environment(fake_library, environ, client_type, cls):
    logger = RecordingLogger()
    client = RedisClientFactory.create("h:1", environ, client_type, logger, False)
    assert type(client) is cls and client.logger is logger and client.decode_responses is False


def test_create_with_type_one_uses_the_current_initialize_redis(monkeypatch, fake_library):
    seen = []
    monkeypatch.setattr(cache_access, "initialize_redis", lambda *a, **k: seen.append((a, k)) or "plain")
    assert RedisClientFactory().create("h:1", "dev", 1) == "plain"
    assert seen == [(("h:1", "dev", None, True), {})]
    for args in (("h:1", "dev", True), ("h:1", None), (None, "dev")):
        with pytest.raises(TypeError):
            RedisClientFactory.create(*args)
    assert fake_library == [] and len(seen) == 1


def test_initialize_redis_paths(fake_library):
    logger = RecordingLogger()
    initialize_redis("cache-1:abc", "Production", logger, False)
    assert fake_library[0][2]["port"] == 6379
    assert logger.infos == [
        "Url received for redis prod is cache-1:abc",
        "After splitting cache-1",
        ["node"],
        "Connection to redis is successful",
    ]
    fake_library.clear()
    assert initialize_redis("h:6379", "dev", None, False) == "single"
    assert fake_library == [("from_url", (), {"url": "redis://h:6379", "decode_responses": False, **TIMEOUTS})]
    for url in ("cache-1", "a:1:2"):
        logger = RecordingLogger()
        with pytest.raises(ValueError):
            initialize_redis(url, "production", logger)
        assert logger.infos == [f"Url received for redis prod is {url}"]
    with pytest.raises(AttributeError):
        initialize_redis("h:1", "production")


def test_initialize_redis_on_the_real_cluster(redis_cluster):
    logger = RecordingLogger()
    conn = initialize_redis(redis_cluster.address, "production", logger)
    try:
        assert logger.infos[:2] == [
            f"Url received for redis prod is {redis_cluster.address}",
            "After splitting 127.0.0.1",
        ]
        assert len(logger.infos[2]) == 3 and all(isinstance(n, ClusterNode) for n in logger.infos[2])
        assert logger.infos[3] == "Connection to redis is successful"
        key = unique()
        conn.set(key, "v", ex=10)
        assert conn.get(key) == "v"
    finally:
        conn.close()


def test_repeated_calls_do_not_grow_memory(monkeypatch):
    class Quiet:
        def __getattr__(self, name):
            return lambda *a, **k: self

    class Failing:
        def get(self, key):
            raise ValueError("down")

        def pipeline(self):
            return Quiet()

    quiet_logger = type("L", (), {"error": lambda self, m: None})()
    ok, bad = OnClient(Quiet(), quiet_logger), OnClient(Failing(), quiet_logger)
    batch = [{"id": i, "subCategories": [{"id": "s", "subSubCategories": [{"id": None}]}]} for i in range(5)]
    monkeypatch.setattr(cache_access, "RedisClusterClient", lambda **k: "conn")
    key, value, op = "".join(["k", "ey"]), "".join(["va", "lue"]), "".join(["o", "p"])
    objects = [key, value, op, batch, batch[0], batch[0]["subCategories"][0], quiet_logger]

    def work(rounds=500):
        for _ in range(rounds):
            ok.get(key), ok.set(key, value), ok.delete(key), ok.increment_category_counts(op, batch)
            bad.get(key), bad.increment_category_counts(op, [1]), bad.set(key, value, 3)
            ProductionRedisClient("h:1", None)
            with pytest.raises(ValueError):
                DevelopmentRedisClient("u:s3cret@h\uff03st", quiet_logger)

    work()
    gc.collect()
    counts = [sys.getrefcount(o) for o in objects]
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    work()
    gc.collect()
    grown = tracemalloc.get_traced_memory()[0] - before
    tracemalloc.stop()
    assert grown < 20_000
    assert [sys.getrefcount(o) for o in objects] == counts
