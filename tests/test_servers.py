"""The asynchronous logger and messenger in a real server: gunicorn with
aiohttp's worker, preloading the application, stopped by SIGTERM while
requests go on. Every answered request's record and alert arrive once, and
so do the ones logged at import (in gunicorn's master)."""

import asyncio
import collections
import os
import re
import signal
import socket
import subprocess
import sys

import aiohttp
import pytest

from support.programs import SCENARIOS, env_for, written

pytest.importorskip("gunicorn")

REQUESTS = 600


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def requests_then_sigterm(port, server):
    """REQUESTS requests, SIGTERM to the server half-way through; the numbers answered."""
    answered = []
    async with aiohttp.ClientSession() as session:
        for _ in range(200):  # until the workers listen
            try:
                async with session.get(f"http://127.0.0.1:{port}/?n=ready"):
                    break
            except aiohttp.ClientError:
                await asyncio.sleep(0.05)

        async def one(n):
            try:
                async with session.get(f"http://127.0.0.1:{port}/?n={n}") as response:
                    if response.status == 200:
                        answered.append(n)
            except aiohttp.ClientError:
                pass  # refused once the workers stopped listening

        tasks = []
        for n in range(REQUESTS):
            tasks.append(asyncio.create_task(one(n)))
            if n == REQUESTS // 2:
                server.send_signal(signal.SIGTERM)
            await asyncio.sleep(0.001)
        await asyncio.gather(*tasks)
    return answered


def test_gunicorn_aiohttp_workers_stopped_by_sigterm_lose_and_repeat_nothing(sink, tmp_path):
    sink.delay = 0.01  # posts queue up: the workers' loops end with alerts left to post
    port = free_port()
    env = env_for(sink, env={"PYTHONPATH": os.pathsep.join(filter(None, [SCENARIOS, os.environ.get("PYTHONPATH")]))})
    server = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "gunicorn",
            "gunicorn_app:app",
            "--preload",
            "--workers",
            "3",
            "--worker-class",
            "aiohttp.GunicornWebWorker",
            "--bind",
            f"127.0.0.1:{port}",
            "--error-logfile",
            os.fspath(tmp_path / "gunicorn.log"),
            "--graceful-timeout",
            "30",
        ],
        env=env,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        answered = asyncio.run(requests_then_sigterm(port, server))
        _, err = server.communicate(timeout=60)
    finally:
        server.kill()
    assert server.returncode == 0, err
    records = collections.Counter(written(err, "INFO")) + collections.Counter(written(err, "WARNING"))
    alerts = collections.Counter(re.search(rb">(.*)</font>", r.body)[1].decode() for r in sink.received)
    assert answered and records["imported"] == alerts["imported"] == 1
    assert all(records[f"request {n}"] == alerts[f"request {n}"] == 1 for n in answered)
    assert max(records.values()) == max(alerts.values()) == 1  # nothing twice, unanswered requests included
