"""A loop left open in the middle of a post (an application that runs
run_until_complete at import), then another loop of the same thread takes
the messenger over, and the first loop is closed and collected: nothing is
reported on stderr, and every alert is posted (the one cut mid-post at
least once).

    SINK=http://127.0.0.1:PORT python -W ignore::ResourceWarning tests/scenarios/loop_abandoned_mid_post.py
"""

import asyncio
import gc

from prelude import messenger, new_loop

alerts = messenger()
first = new_loop()


async def at_import():
    alerts.send_message("at import", 1)
    await asyncio.sleep(0.01)  # the post is in flight when this step ends


first.run_until_complete(at_import())


async def serve():
    for i in range(3):
        alerts.send_message(f"served {i}", 1)
    await alerts.log_queue.join()


second = new_loop()
second.run_until_complete(serve())
first.close()
del first
gc.collect()
second.run_until_complete(second.shutdown_asyncgens())
second.close()
gc.collect()
