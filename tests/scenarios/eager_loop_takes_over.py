"""A loop stopped before its consumer could post, then closed; a loop with
asyncio's eager task factory takes the messenger over: the alert it took
over is posted, once.

    SINK=http://127.0.0.1:PORT python tests/scenarios/eager_loop_takes_over.py
"""

import asyncio

from prelude import messenger, new_loop

alerts = messenger()
first = new_loop()


async def one():
    alerts.send_message("taken over", 1)


first.run_until_complete(one())  # stops before the consumer posts it
first.close()
second = new_loop()
second.set_task_factory(asyncio.eager_task_factory)


async def two():
    alerts.send_message("second", 1)
    await alerts.log_queue.join()


second.run_until_complete(two())
second.run_until_complete(second.shutdown_asyncgens())
second.close()
