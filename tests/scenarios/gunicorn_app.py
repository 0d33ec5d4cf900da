"""An aiohttp application for gunicorn (with aiohttp.GunicornWebWorker):
each request logs a record and sends an alert; importing the application
logs one record and sends one alert (in gunicorn's master with --preload).

    SINK=http://127.0.0.1:PORT gunicorn gunicorn_app:app --preload -w 3 -k aiohttp.GunicornWebWorker
"""

from aiohttp import web

from prelude import messenger, setup_logger

log = setup_logger("svc", True, "INFO")
alerts = messenger(logger=log)
log.warning("imported")
alerts.send_message("imported", 1)


async def handle(request):
    n = request.query["n"]
    log.info(f"request {n}")
    alerts.send_message(f"request {n}", 1)
    return web.Response(text=n)


async def app():
    application = web.Application()
    application.router.add_get("/", handle)
    return application
