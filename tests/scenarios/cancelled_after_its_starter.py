"""The service cancels the messenger's consumer long after the task that
started it has ended; alerts sent afterwards from a worker thread and from
a loop callback are posted while the loop runs. Prints the time
(time.monotonic()) by which they should have been posted, a second later,
while the loop still runs.

    SINK=http://127.0.0.1:PORT LOOP=asyncio python tests/scenarios/cancelled_after_its_starter.py
"""

import asyncio
import time

from prelude import RUN, messenger

alerts = messenger()


async def main():
    async def starter():
        alerts.send_message("first", 1)  # starts the consumer; this task then ends

    await asyncio.create_task(starter())
    await asyncio.sleep(0.1)
    alerts.queue_task.cancel()
    await asyncio.sleep(0.01)
    await asyncio.to_thread(alerts.send_message, "from a worker", 1)
    asyncio.get_running_loop().call_soon(alerts.send_message, "from a callback", 1)
    await asyncio.sleep(1)
    print(time.monotonic(), flush=True)


RUN(main())
