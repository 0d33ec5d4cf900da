"""The loop's end drains the messenger while a clean-up cancels its consumer
again: what the drain left is posted first at the next plain call.

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/drain_cut_short.py
"""

import asyncio

from prelude import RUN, messenger

alerts = messenger()


async def second_cancel():
    try:
        await asyncio.sleep(60)
    finally:  # while the loop's end drains the messenger, its consumer is cancelled again
        await asyncio.sleep(0.1)
        alerts.queue_task.cancel()


async def main():
    asyncio.get_running_loop().create_task(second_cancel())
    for i in range(3):
        alerts.send_message(f"left {i}", 1)


RUN(main())
alerts.send_message("next", 1)  # a plain call: what the drain left is posted first
