"""The leak check's cache_access operations: the interface, the production and
development clients (against the run's real servers) and the factory."""

import contextlib

from harness import StrSub, expect, nothing, operation
from support.redis_servers import HOST
from veltrano_python_configuration import cache_access


@operation("cache_access", "IRedisClient methods, BaseRedisClient()")
def op_interface(env):
    interface = cache_access.IRedisClient()

    def call(i):
        v = i % 7
        if v == 0:
            expect(NotImplementedError, interface.get, "k")
        elif v == 1:
            expect(NotImplementedError, interface.set, "k", "v", ex=5)
        elif v == 2:
            expect(NotImplementedError, interface.delete, key="k")
        elif v == 3:
            expect(NotImplementedError, interface.increment_category_counts, "op", [])
        elif v == 4:
            expect(TypeError, interface.set, "k", "v", True)
        elif v == 5:
            expect(NotImplementedError, cache_access.BaseRedisClient, "u", env.logger)
        else:
            expect(TypeError, cache_access.BaseRedisClient, None, env.logger)

    return call, nothing


class ClusterFactory:
    """Stands in for the module's RedisClusterClient: the refused port gets
    the real class (a real refused connection), every 1000th call builds a
    real new connection, the others share one real connection."""

    def __init__(self, env):
        self.env = env
        self.count = 0

    def __call__(self, **kwargs):
        assert {"host", "port", "decode_responses", "socket_timeout", "socket_connect_timeout"} <= set(kwargs)
        self.count += 1
        if kwargs["port"] == self.env.refused_port:
            return self.env.real_cluster_class(**kwargs)
        if self.count % 1000 == 0:
            fresh = self.env.real_cluster_class(
                host=HOST, port=self.env.cluster.nodes[0].port, decode_responses=kwargs["decode_responses"]
            )
            fresh.close()
        return self.env.cluster_connection


@contextlib.contextmanager
def cluster_factory(env):
    real = cache_access.RedisClusterClient
    cache_access.RedisClusterClient = ClusterFactory(env)
    try:
        yield
    finally:
        cache_access.RedisClusterClient = real


def patched_cluster(factory):
    def wrapped(env):
        stack = contextlib.ExitStack()
        stack.enter_context(cluster_factory(env))
        call, close = factory(env)

        def close_all():
            close()
            stack.close()

        return call, close_all

    return wrapped


@operation("cache_access", "ProductionRedisClient()")
@patched_cluster
def op_production_new(env):
    Production = cache_access.ProductionRedisClient
    address = env.cluster.address

    def call(i):
        v = i % 5
        if v in (0, 1):
            Production(address if v == 0 else address.split(":")[0] + ":port", env.logger)
        elif v == 2:
            expect(Exception, Production, f"{HOST}:{env.refused_port}", env.logger)  # logged and raised
        elif v == 3:
            expect(ValueError, Production, "h:\u00b2", env.logger)  # a digit int() refuses: logged, raised
        else:
            expect(TypeError, Production, StrSub(address), env.logger)

    return call, nothing


@operation("cache_access", "ProductionRedisClient._parse_url")
@patched_cluster
def op_parse_url(env):
    client = cache_access.ProductionRedisClient(env.cluster.address, env.logger)
    urls = [
        "cache-1:700",
        "cache-1",
        "cache-1:",
        "cache-1:port",
        "cache-1:700:x",
        "",
        "redis://h:1",
        "h:\u0661\u0662",
        "h:" + "9" * 30,
    ]

    def call(i):
        v = i % (len(urls) + 2)
        if v < len(urls):
            client._parse_url(urls[v])
        elif v == len(urls):
            expect(ValueError, client._parse_url, "h:\u00b2")
        else:
            expect(TypeError, client._parse_url, None)

    return call, nothing


@operation("cache_access", "DevelopmentRedisClient()")
def op_development_new(env):
    Development = cache_access.DevelopmentRedisClient
    urls = [env.server.url, f"{HOST}:{env.server.port}"]

    def call(i):
        v = i % 5
        if v < 2:
            Development(urls[v], env.logger, decode_responses=bool(i % 2)).client.close()
        elif v == 2:
            expect(ValueError, Development, "redis://h:bad", env.logger)
        elif v == 3:
            expect(ValueError, Development, "redis://user:s3cret@h:bad/0?password=s3cret", env.logger)
        else:
            expect(TypeError, Development, b"redis://h", env.logger)

    return call, nothing


class Clients:
    """A development client, a production client, one that gets bytes and one
    whose server refuses connections, all with the logger of the run."""

    def __init__(self, env):
        self.stack = contextlib.ExitStack()
        self.stack.enter_context(cluster_factory(env))
        self.dev = cache_access.DevelopmentRedisClient(env.server.url, env.logger)
        self.prod = cache_access.ProductionRedisClient(env.cluster.address, env.logger)
        self.raw = cache_access.DevelopmentRedisClient(env.server.url, env.logger, False)
        self.refused = cache_access.DevelopmentRedisClient(f"{HOST}:{env.refused_port}", env.logger)
        self.stack.close()
        self.dev.set("leak-present", "value")

    def close(self):
        for client in (self.dev, self.raw, self.refused):
            client.client.close()


@operation("cache_access", "BaseRedisClient.get")
def op_get(env):
    c = Clients(env)

    def call(i):
        v = i % 6
        if v == 0:
            assert c.dev.get("leak-present") == "value"
        elif v == 1:
            assert c.prod.get("leak-missing") is None
        elif v == 2:
            assert c.raw.get("leak-present") is None  # bytes: logged
        elif v == 3:
            assert c.refused.get("k") is None  # logged
        elif v == 4:
            assert c.dev.get(key="leak-missing") is None
        else:
            expect(TypeError, c.dev.get, 5)

    return call, c.close


@operation("cache_access", "BaseRedisClient.set")
def op_set(env):
    c = Clients(env)

    def call(i):
        v = i % 6
        if v == 0:
            assert c.dev.set("leak-set", "v") is True
        elif v == 1:
            assert c.prod.set("leak-set", "v", 60) is True
        elif v == 2:
            assert c.dev.set("leak-set", "v", ex=-5) is False  # refused by the server: logged
        elif v == 3:
            assert c.refused.set("k", "v") is False
        elif v == 4:
            expect(TypeError, c.dev.set, "k", "v", True)
        else:
            expect(TypeError, c.dev.set, "k", None)

    return call, c.close


@operation("cache_access", "BaseRedisClient.delete")
def op_delete(env):
    c = Clients(env)

    def call(i):
        v = i % 4
        if v == 0:
            assert c.dev.delete("leak-absent") == 0
        elif v == 1:
            assert c.prod.delete("leak-absent") == 0
        elif v == 2:
            assert c.refused.delete("k") is False
        else:
            expect(TypeError, c.dev.delete, None)

    return call, c.close


@operation("cache_access", "BaseRedisClient.increment_category_counts")
def op_increment(env):
    c = Clients(env)
    batch = [
        {"id": 1, "subCategories": [{"id": 2, "subSubCategories": [{"id": 3}, {}]}]},
        {"id": "x"},
        {"id": 5, "subCategories": ({"id": 5},)},
    ]

    def call(i):
        v = i % 6
        if v == 0:
            c.dev.increment_category_counts("leak-op", batch)
        elif v == 1:
            c.prod.increment_category_counts("leak-op", batch)
        elif v == 2:
            c.dev.increment_category_counts("leak-op", [{"id": 1}, "not a dict"])  # logged
        elif v == 3:
            c.dev.increment_category_counts("leak-op", [{"id": 1, "subCategories": None}])  # logged
        elif v == 4:
            c.refused.increment_category_counts("leak-op", [])  # logged
        else:
            expect(TypeError, c.dev.increment_category_counts, "op", ({"id": 1},))

    return call, c.close


@operation("cache_access", "RedisClientFactory.create, initialize_redis")
@patched_cluster
def op_factory(env):
    create, initialize = cache_access.RedisClientFactory.create, cache_access.initialize_redis
    node, plain = env.cluster.address, f"{HOST}:{env.server.port}"

    def call(i):
        v = i % 9
        if v == 0:
            create(env.server.url, "dev", logger=env.logger).client.close()
        elif v == 1:
            create(node, "PRODUCTION", 3, env.logger)
        elif v == 2:
            create(plain, "staging", 1, env.logger).close()
        elif v == 3:
            initialize(node, "production", env.logger)
        elif v == 4:
            initialize(plain, "dev").close()
        elif v == 5:
            expect(ValueError, initialize, "cache-1", "production", env.logger)
        elif v == 6:
            expect(AttributeError, initialize, node, "Production")  # no logger
        elif v == 7:
            expect(TypeError, create, node, None)
        else:
            expect(TypeError, create, node, "production", True)

    return call, nothing
