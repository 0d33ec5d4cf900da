"""A short walkthrough of a service that uses the four modules.

    make demo                                   # a throwaway local redis-server
    make demo DEMO_ARGS="--redis-url host:port --environ production"   # a real cluster node
    VPC_REDIS_URL=redis://host:6379/0 make demo  # a real standalone server

It sets up a logger, builds a Redis client through the factory, counts
categories for a few batches, shows a Redis failure logged and turned into a
fallback value, posts alerts through both Google Chat messengers to a local
webhook sink, and fills a Kafka configuration object. Log records go to
standard error; everything else to standard output. Every process it starts
is stopped at the end; the exit status is non-zero if any step failed.
"""

import argparse
import asyncio
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import ExitStack, contextmanager

SERVICE = "orders-service"


def section(title):
    print(f"\n=== {title} ===", flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@contextmanager
def throwaway_redis():
    """A redis-server on a free 127.0.0.1 port in a temporary directory."""
    if not shutil.which("redis-server"):
        raise SystemExit("redis-server is not installed (make demo installs it), or pass --redis-url")
    port = free_port()
    workdir = tempfile.mkdtemp(prefix="vpc-demo-redis-")
    proc = subprocess.Popen(
        [
            "redis-server",
            "--port",
            str(port),
            "--bind",
            "127.0.0.1",
            "--save",
            "",
            "--appendonly",
            "no",
            "--dir",
            workdir,
        ],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=0.2).close()
                break
            except OSError:
                if proc.poll() is not None or time.monotonic() > deadline:
                    raise SystemExit("could not start redis-server") from None
                time.sleep(0.05)
        print(f"started a throwaway redis-server on 127.0.0.1:{port} (pid {proc.pid})")
        yield f"127.0.0.1:{port}"
    finally:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        shutil.rmtree(workdir, ignore_errors=True)
        print(f"stopped the throwaway redis-server (pid {proc.pid})")


class WebhookSink:
    """A local HTTP server standing in for Google Chat's incoming webhooks."""

    def __init__(self):
        self.received = []
        sink = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
                sink.received.append((self.path, self.headers.get("Content-Type"), json.loads(body)))
                self.send_response(200)
                self.send_header("Content-Length", "2")
                self.end_headers()
                self.wfile.write(b"{}")

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_port}"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()

    def show_and_clear(self, who):
        for path, content_type, card in self.received:
            text = card["cards"][0]["sections"][0]["widgets"][0]["textParagraph"]["text"]
            colour = text.split("'")[1]
            print(f"  {who}: webhook {path}  colour {colour}  text {text!r}  ({content_type})")
        arrived = list(self.received)
        self.received.clear()
        return arrived


def logging_setup():
    from veltrano_python_configuration import journal_setup

    section("Logging: a synchronous logger for the service")
    logger = journal_setup.setup_logger(SERVICE, log_level_str="INFO")
    print(f"setup_logger({SERVICE!r}) -> {type(logger).__name__} at level {logger.level}")
    logger.info("service starting")
    sys.stderr.flush()
    return logger


def redis_walkthrough(logger, url, environ):
    from veltrano_python_configuration.cache_access import RedisClientFactory

    section(f"Redis: a client from RedisClientFactory.create({url!r}, {environ!r})")
    client = RedisClientFactory.create(url, environ, logger=logger)
    print(f"client: {type(client).__name__}")
    assert client.set("demo:greeting", "hello") is True
    print(f"set/get round trip: {client.get('demo:greeting')!r}")
    print(f"expiry of demo:greeting: {client.client.ttl('demo:greeting')} s (the default)")
    print(f"delete -> {client.delete('demo:greeting')}, get afterwards -> {client.get('demo:greeting')!r}")
    assert client.get("demo:greeting") is None

    section("Category counts for a few batches")
    operation = f"demo-{os.getpid()}"
    batches = [
        [{"id": 1, "subCategories": [{"id": 11, "subSubCategories": [{"id": 111}]}]}],
        [{"id": 1, "subCategories": [{"id": 12}]}, {"id": 2}],
        [{"id": 2, "subCategories": [{"id": 21, "subSubCategories": [{"id": 211}, {"id": 212}]}]}],
    ]
    for batch in batches:
        client.increment_category_counts(operation, batch)
    key = f"Mod:RetagOperations:{operation}:category_counts"
    counts = client.client.hgetall(key)
    print(f"hash {key}:")
    for field in sorted(counts, key=int):
        print(f"  category {field:>4}: {counts[field]}")
    print(f"expiry: {client.client.ttl(key)} s")
    assert counts["1"] == "2" and counts["2"] == "2" and counts["211"] == "1"
    client.client.delete(key)

    section("A Redis failure is logged (with its traceback) and turned into a fallback value")
    from veltrano_python_configuration.cache_access import DevelopmentRedisClient

    dead = DevelopmentRedisClient(f"127.0.0.1:{free_port()}", logger)  # nothing listens there
    result = dead.get("demo:greeting")
    sys.stderr.flush()
    print(f"get on an unreachable server returned {result!r} instead of raising")
    assert result is None


def messenger_walkthrough(logger):
    from veltrano_python_configuration import service_toolkit

    with WebhookSink() as sink:
        section("Google Chat alerts through the synchronous messenger")
        sync = service_toolkit.setup_google_chat_messenger(
            SERVICE, f"{sink.url}/alerts", f"{sink.url}/errors", "production", logger=logger
        )
        sync.send_message("nightly import finished", 1)
        sync.send_message("nightly import failed: 3 files rejected", 0)
        arrived = sink.show_and_clear("sync ")
        assert [a[0] for a in arrived] == ["/alerts", "/errors"]

        section("Google Chat alerts through the asynchronous messenger")

        async def post_async():
            messenger = service_toolkit.setup_google_chat_messenger(
                SERVICE, f"{sink.url}/alerts", f"{sink.url}/errors", "PRODUCTION", async_mode=True, logger=logger
            )
            messenger.send_message("cache warmed", 1)
            messenger.send_message("cache warm-up failed for 2 shards", 0)
            # send_message hands the message to the loop and returns at once:
            # wait until the consumer task has posted both.
            for _ in range(200):
                await asyncio.sleep(0.025)
                if len(sink.received) >= 2 and messenger.log_queue.empty():
                    break

        asyncio.run(post_async())
        arrived = sink.show_and_clear("async")
        assert [a[0] for a in arrived] == ["/alerts", "/errors"]


def async_logging_walkthrough():
    from veltrano_python_configuration import journal_setup

    section("Logging through the asynchronous logger")

    async def run():
        logger = journal_setup.setup_logger(f"{SERVICE}-async", True, "INFO")
        logger.info("records go through an asyncio queue")
        logger.debug("below the level: dropped")
        logger.warning("and are written by a consumer task")
        await asyncio.sleep(0.05)  # the records are handed to the loop; let the consumer write them
        await asyncio.wait_for(logger.log_queue.join(), 5)
        sys.stderr.flush()
        logger.print_queue_length()

    asyncio.run(run())


def kafka_walkthrough():
    from veltrano_python_configuration.broker_setup import KafkaConfigurationBuilder

    section("Kafka settings from a settings dictionary")

    class KafkaConfig:
        pass

    config = KafkaConfig()
    settings = {"broker": "127.0.0.1:9092", "push_topic": "orders.out", "read_topic": "orders.in"}
    KafkaConfigurationBuilder(config).build(settings)
    for name, value in vars(config).items():
        print(f"  {name} = {value!r}")
    assert config._broker == "127.0.0.1:9092" and config._dead_letter_topic_name is None


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument(
        "--redis-url",
        default=os.environ.get("VPC_REDIS_URL"),
        help="a real Redis instead of the throwaway one (host:port, or a redis:// URL)",
    )
    parser.add_argument(
        "--environ",
        default=os.environ.get("VPC_ENVIRON", "development"),
        help="environment name given to the client factory ('production' for a cluster node)",
    )
    args = parser.parse_args()

    sys.stdout.reconfigure(line_buffering=True)  # keep stdout and the log records on stderr in order
    started = time.monotonic()
    with ExitStack() as stack:
        url = args.redis_url or stack.enter_context(throwaway_redis())
        logger = logging_setup()
        redis_walkthrough(logger, url, args.environ)
        messenger_walkthrough(logger)
        async_logging_walkthrough()
        kafka_walkthrough()
    print(f"\nwalkthrough finished in {time.monotonic() - started:.1f} s: every step worked")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Exception as exc:  # a failed step: say which, exit non-zero
        import traceback

        traceback.print_exc()
        print(f"\nwalkthrough FAILED: {type(exc).__name__}: {exc}", file=sys.stderr)
        sys.exit(1)
