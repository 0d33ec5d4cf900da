"""A web service (aiohttp) whose logger and messenger are built at import,
before any loop: each GET /order sets a Redis key and logs, every 50th
posts a milestone alert. Prints its port on the first line of stdout; on
SIGTERM it logs, alerts and stops.

    SINK=http://127.0.0.1:PORT REDIS_URL=redis://127.0.0.1:PORT/0 LOOP=asyncio python tests/scenarios/web_service.py
"""

import asyncio
import os
import signal

from aiohttp import web

from prelude import RUN, messenger, setup_logger
from veltrano_python_configuration.cache_access import DevelopmentRedisClient

log = setup_logger("orders", True, "INFO")  # built at import, before any loop
alerts = messenger(logger=log)


async def main():
    cache = DevelopmentRedisClient(os.environ["REDIS_URL"], log)
    served = 0

    async def order(request):
        nonlocal served
        served += 1
        n = served
        cache.set(f"order:{n}", "1")
        log.info(f"served order {n}")
        if n % 50 == 0:
            alerts.send_message(f"milestone {n}", 1)
        return web.Response(text="ok")

    app = web.Application()
    app.router.add_get("/order", order)
    runner = web.AppRunner(app)
    await runner.setup()
    site = web.TCPSite(runner, "127.0.0.1", 0)
    await site.start()
    print(site._server.sockets[0].getsockname()[1], flush=True)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    await stop.wait()
    log.warning("shutting down")
    alerts.send_message("stopping", 0)
    await runner.cleanup()
    cache.client.close()


RUN(main())
