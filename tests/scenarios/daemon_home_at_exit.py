"""The logger's and the messenger's home loop runs in a daemon thread (a
background loop thread) that is still busy when the program ends: the
exit has that loop drain, and the interpreter then ends the thread while it
writes. Records are numbered per producer; every alert accepted before the
exit is posted.

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/daemon_home_at_exit.py
"""

import asyncio
import threading

from prelude import RUN, messenger, new_loop, setup_logger

log = setup_logger("svc", True, "INFO")
alerts = messenger(logger=log)
background = new_loop()
threading.Thread(target=background.run_forever, daemon=True).start()


async def keep_logging():  # busy until the interpreter ends the thread
    i = 0
    while True:
        log.info(f"background record {i}")
        i += 1
        await asyncio.sleep(0)


async def background_alerts():
    for i in range(10):
        alerts.send_message(f"background alert {i}", 1)


asyncio.run_coroutine_threadsafe(background_alerts(), background).result()
asyncio.run_coroutine_threadsafe(keep_logging(), background)


async def main():  # alerts handed to the background loop from another loop
    for i in range(10):
        alerts.send_message(f"main alert {i}", 1)


RUN(main())
for i in range(5):  # and from plain code
    alerts.send_message(f"plain alert {i}", 1)
