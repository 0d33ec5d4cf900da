"""The fixtures shared by the test modules: real Redis servers, the module's
clients on them, and a webhook sink. The helpers they are built on are in
the support package beside this file."""

import pytest
import redis
from redis.cluster import RedisCluster as PlainCluster

from support.http_sink import WebhookSink
from support.redis_servers import HOST, Live, RecordingLogger, RedisCluster, RedisServer


def _running(server):
    """A fixture's body for a server or cluster: started, cleaned up after the test, also when it fails."""
    try:
        yield server.start()
    finally:
        server.cleanup()


@pytest.fixture(scope="session")
def redis_server():
    """A standalone redis-server shared by the session (use unique keys)."""
    yield from _running(RedisServer())


@pytest.fixture
def own_redis_server():
    """A standalone redis-server of the test's own, free to stop and restart."""
    yield from _running(RedisServer())


@pytest.fixture(scope="session")
def redis_cluster():
    """A three-master Redis Cluster shared by the session (use unique keys)."""
    yield from _running(RedisCluster())


@pytest.fixture(params=["development", "production"])
def live(request):
    """A DevelopmentRedisClient on the standalone server or a ProductionRedisClient on the cluster."""
    from veltrano_python_configuration.cache_access import DevelopmentRedisClient, ProductionRedisClient

    logger = RecordingLogger()
    if request.param == "development":
        server = request.getfixturevalue("redis_server")
        client = DevelopmentRedisClient(server.url, logger)
        reader = redis.Redis.from_url(server.url, decode_responses=True)
    else:
        cluster = request.getfixturevalue("redis_cluster")
        client = ProductionRedisClient(cluster.address, logger)
        reader = PlainCluster(host=HOST, port=cluster.nodes[0].port, decode_responses=True)
    try:
        yield Live(request.param, client, reader, logger)
    finally:
        reader.close()
        client.client.close()


@pytest.fixture
def sink():
    """A recording webhook sink on 127.0.0.1, closed after the test."""
    server = WebhookSink()
    yield server
    server.close()


@pytest.fixture(params=["asyncio", "uvloop"])
def loop_kind(request):
    """The event loop a scenario runs on: asyncio's own, or uvloop's (skipped where it is not installed).

    uvloop before 0.23 leaves the socket of a connection attempt cancelled
    half-way (a loop's end cutting a post short) to the collector, which
    reports it on stderr: the scenarios, which check stderr whole, need 0.23.
    """
    if request.param == "uvloop":
        pytest.importorskip("uvloop", minversion="0.23")
    return request.param
