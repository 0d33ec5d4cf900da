"""The benchmark's cache_access operations: the URL parsing, the category walk
on a pipeline that does nothing, and the clients against a throwaway
redis-server, next to redis-py called directly."""

from harness import (
    IO,
    OWN,
    WRAP,
    Context,
    Op,
    RecordingLogger,
    Unavailable,
    logged_errors,
    module_side,
    thousands,
    timed,
)


def category_batch(nodes: int) -> list:
    """A batch of category trees with `nodes` nodes in all (ten per category)."""
    batch = []
    for c in range(nodes // 10):
        subs = [
            {
                "id": "sub-%d-%d" % (c, s),
                "name": "subcategory",
                "subSubCategories": [{"id": c * 100 + s * 10 + t, "name": "leaf"} for t in range(2)],
            }
            for s in range(3)
        ]
        batch.append({"id": "cat-%d" % c, "name": "category", "subCategories": subs})
    return batch


def category_fields(batch: list) -> list:
    """The hash fields a walk of `batch` increments, in order."""
    fields = []
    for category in batch:
        fields.append(str(category.get("id")))
        for sub in category.get("subCategories", []):
            fields.append(str(sub.get("id")))
            for leaf in sub.get("subSubCategories", []):
                fields.append(str(leaf.get("id")))
    return fields


class NoopPipeline:
    """A pipeline whose commands cost a builtin call and do nothing: isolates the walk."""

    __slots__ = ()
    expire = slice  # expire(key, seconds) -> slice(key, seconds)
    hincrby = slice  # hincrby(key, field, 1) -> slice(key, field, 1)
    execute = tuple  # execute() -> ()


class NoopConnection:
    __slots__ = ()
    _pipeline = NoopPipeline()

    def pipeline(self):
        return self._pipeline


class RecordingPipeline:
    def __init__(self, commands):
        self.commands = commands

    def expire(self, *args):
        self.commands.append(("expire",) + args)

    def hincrby(self, *args):
        self.commands.append(("hincrby",) + args)

    def execute(self):
        self.commands.append(("execute",))


class RecordingConnection:
    def __init__(self):
        self.commands = []

    def pipeline(self):
        return RecordingPipeline(self.commands)


def client_on(base_class, connection, logger):
    """An instance of a subclass of `base_class` whose connect() returns `connection`."""
    cls = type("BenchClient", (base_class,), {"connect": lambda self: connection})
    return cls("bench", logger)


def library_increment(connection, key, fields):
    """The commands of one increment_category_counts call, sent with redis-py directly."""
    pipe = connection.pipeline()
    for name in fields:
        pipe.hincrby(key, name, 1)
    pipe.expire(key, 10800)
    pipe.execute()


def ops(ctx: Context) -> list:
    base = ctx.baseline("cache_access")
    ops = []

    op = Op("ProductionRedisClient._parse_url", OWN, "str.split, isdigit, int(), the result tuple")
    base_client = base.ProductionRedisClient.__new__(base.ProductionRedisClient)
    op.baseline = timed("p._parse_url(u)", p=base_client, u="cache-1:7000")

    def module_parse():
        cls = ctx.attr("cache_access", "ProductionRedisClient")
        ctx.attr("cache_access", "ProductionRedisClient._parse_url")
        return timed("p._parse_url(u)", p=cls.__new__(cls), u="cache-1:7000")

    module_side(op, module_parse)

    def check_parse():
        cls = ctx.attr("cache_access", "ProductionRedisClient")
        inst = cls.__new__(cls)
        for url in ("cache-1:7000", "cache-1", "cache-1:", "cache-1:0070", "a:1:2", ""):
            got, want = inst._parse_url(url), base_client._parse_url(url)
            if got != want:
                return "_parse_url(%r): module %r, baseline %r" % (url, got, want)
        return None

    op.check = check_parse
    ops.append(op)

    # The walk alone: a pipeline whose commands do nothing.
    for nodes in (10, 1_000, 100_000):
        batch = category_batch(nodes)
        op = Op(
            "increment_category_counts, no-op pipeline, %s nodes" % thousands(nodes),
            OWN,
            "one pipeline method call per node (lookup + call) and the walk's dict.get calls",
            unit="node",
            units=nodes,
            family="increment_category_counts, no-op pipeline",
        )
        base_noop = client_on(base.BaseRedisClient, NoopConnection(), RecordingLogger())
        op.baseline = timed("c.increment_category_counts(o, b)", c=base_noop, o="bench-op", b=batch)

        def module_noop(batch=batch):
            cls = ctx.attr("cache_access", "BaseRedisClient")
            ctx.attr("cache_access", "BaseRedisClient.increment_category_counts")
            return timed(
                "c.increment_category_counts(o, b)",
                c=client_on(cls, NoopConnection(), RecordingLogger()),
                o="bench-op",
                b=batch,
            )

        module_side(op, module_noop)
        if nodes == 1_000:
            op.check = lambda batch=batch: compare_walks(ctx, base, batch)
        ops.append(op)

    try:
        port = ctx.redis_port()
    except Unavailable as why:
        names = ["DevelopmentRedisClient.%s" % m for m in ("get", "set", "delete")]
        names += ["increment_category_counts, Redis, %s nodes" % thousands(n) for n in (10, 1_000, 100_000)]
        for name in names:
            op = Op(name, WRAP, "", kind=IO)
            op.missing = "skipped: %s" % why
            ops.append(op)
        return ops

    import redis

    url = "127.0.0.1:%d" % port
    library = redis.Redis.from_url("redis://" + url, decode_responses=True)
    library.set("bench:key", "v" * 32)
    base_logger = RecordingLogger()
    base_dev = base.DevelopmentRedisClient(url, base_logger)
    module_logger = RecordingLogger()
    module_dev = []

    def module_client():
        if not module_dev:
            module_dev.append(ctx.attr("cache_access", "DevelopmentRedisClient")(url, module_logger))
        return module_dev[0]

    for method, stmt, library_stmt in (
        ("get", "c.get(k)", "c.get(k)"),
        ("set", "c.set(k, v)", "c.set(k, v, ex=604800)"),
        ("delete", "c.delete(d)", "c.delete(d)"),
    ):
        op = Op(
            "DevelopmentRedisClient.%s" % method,
            WRAP,
            "the round trip to redis-server and redis-py's command handling",
            kind=IO,
        )
        names = dict(k="bench:key", v="v" * 32, d="bench:absent")
        op.baseline = timed(stmt, c=base_dev, **names)
        op.library = timed(library_stmt, c=library, **names)

        def module_run(method=method, stmt=stmt, names=names):
            ctx.attr("cache_access", "BaseRedisClient." + method)
            return timed(stmt, c=module_client(), **names)

        module_side(op, module_run)
        op.check = lambda: logged_errors(module_logger, base_logger) or compare_redis(module_client(), base_dev)
        ops.append(op)

    for nodes in (10, 1_000, 100_000):
        batch = category_batch(nodes)
        fields = category_fields(batch)
        op = Op(
            "increment_category_counts, Redis, %s nodes" % thousands(nodes),
            WRAP,
            "redis-py queues and packs each command in Python; one round trip",
            kind=IO,
            unit="node",
            units=nodes,
            family="increment_category_counts, Redis",
        )
        op.baseline = timed("c.increment_category_counts(o, b)", c=base_dev, o="bench-baseline", b=batch)
        op.library = timed(
            "inc(c, k, f)",
            inc=library_increment,
            c=library,
            k="Mod:RetagOperations:bench-library:category_counts",
            f=fields,
        )

        def module_incr(batch=batch):
            ctx.attr("cache_access", "BaseRedisClient.increment_category_counts")
            return timed("c.increment_category_counts(o, b)", c=module_client(), o="bench-module", b=batch)

        module_side(op, module_incr)
        op.check = lambda: logged_errors(module_logger, base_logger)
        ops.append(op)
    return ops


def compare_walks(ctx: Context, base, batch) -> str | None:
    """Run both walks on a recording pipeline; they must queue the same commands."""
    recorded = {}
    for label, cls in (("module", ctx.attr("cache_access", "BaseRedisClient")), ("baseline", base.BaseRedisClient)):
        connection, logger = RecordingConnection(), RecordingLogger()
        client_on(cls, connection, logger).increment_category_counts("bench-op", batch)
        if logger.errors:
            return "%s logged: %s" % (label, logger.errors[0])
        recorded[label] = connection.commands
    if recorded["module"] != recorded["baseline"]:
        return "increment_category_counts: module and baseline queue different commands"
    return None


def compare_redis(module_client, base_client) -> str | None:
    for key in ("bench:key", "bench:absent"):
        got, want = module_client.get(key), base_client.get(key)
        if got != want:
            return "get(%r): module %r, baseline %r" % (key, got, want)
    return None
