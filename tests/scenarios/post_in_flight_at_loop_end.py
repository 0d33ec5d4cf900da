"""Alerts are still being posted when the loop ends, as asyncio.run ends a
loop (its tasks cancelled, then shutdown_asyncgens) or as aiohttp's
gunicorn worker does (run_until_complete, then shutdown_asyncgens, nothing
cancelled): the post in flight finishes and each alert is posted once.

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/post_in_flight_at_loop_end.py --ending=run
"""

import asyncio

from prelude import RUN, arguments, messenger, new_loop

args = arguments(ending="run")
alerts = messenger()


async def main():
    for i in range(5):
        alerts.send_message(f"alert {i}", 1)
    await asyncio.sleep(0.02)  # alert 0 is in flight


if args.ending == "run":
    RUN(main())
else:
    loop = new_loop()
    loop.run_until_complete(main())
    loop.run_until_complete(loop.shutdown_asyncgens())
    loop.close()
